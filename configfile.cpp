#include "configfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#ifdef Q_OS_WIN
#include <QSaveFile>

#include <io.h>
#include <windows.h>

#include <string>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Logs in the "default" category, as qWarning() does but with no source position, and
// hands the reason on to the caller. Always returns false, for the failure paths of
// rewriteConfigFile.
bool warnAboutConfigFile(const char *message, const QString &fileName, const QString &reason, QString *problem)
{
    QMessageLogger(nullptr, 0, nullptr).warning() << message << fileName;
    if (problem)
        *problem = reason;
    return false;
}

// Far more than any override.cfg holds; refusing more keeps a huge file or a link to a
// device from filling the memory.
constexpr qint64 maxConfigSize = 64 * 1024 * 1024;
const QString tooLarge = QStringLiteral("Larger than 64 MiB");

// Reads the whole file, but only a regular file (after following links) of sane size:
// opening a FIFO would block before the window shows, and a device may never end.
// Returns why the file was not read, or nothing.
QString readRegularFile(QFile &file, QByteArray *text)
{
    const QFileInfo info(file.fileName());
    if (!info.isFile())
        return QStringLiteral("Not a regular file");
    if (info.size() > maxConfigSize)
        return tooLarge;
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    // By the size the file reports, then on in chunks up to one byte past the limit: a
    // file that reports no size, such as /proc/self/pagemap, may never end.
    *text = file.read(info.size());
    char chunk[16384];
    for (qint64 got = 1; got > 0 && text->size() <= maxConfigSize;) {
        got = file.read(chunk, qMin(qint64(sizeof chunk), maxConfigSize + 1 - text->size()));
        if (got > 0)
            text->append(chunk, got);
    }
    if (file.error() != QFileDevice::NoError)
        return file.errorString();
    return text->size() > maxConfigSize ? tooLarge : QString();
}

const char cannotWrite[] = "Cannot write to config file:";
const QString locationUnknown = QStringLiteral("The file's location could not be determined");

// Why a replace failed: the warning to log and the reason, or nothing.
struct Failure
{
    const char *message = nullptr;
    QString reason;
};

// Writes all the bytes or fails: a short write is tried again, so that a full disk fails
// with the system's reason.
bool writeAll(QFile &file, const char *data, qint64 size)
{
    for (qint64 written = 0; size > 0; data += written, size -= written) {
        written = file.write(data, size);
        if (written <= 0)
            return false;
    }
    return true;
}

// For a folder that refuses new files: writes the new text over the old one, in the file
// open for reading and writing, so that the file never holds fewer bytes than the shorter
// of the two. What the new text adds goes first, at the old end, so that a full disk
// fails before any old byte is overwritten; the file is cut to its new length last.
// Returns why it failed, or nothing.
QString writeInPlace(QFile &file, qint64 oldSize, const QByteArray &newText)
{
    if (newText.size() > oldSize) {
        const qint64 added = newText.size() - oldSize;
        if (!file.seek(oldSize) || !writeAll(file, newText.constData() + oldSize, added) || !file.flush()) {
            const QString reason = file.errorString();
            file.resize(oldSize);
            return reason;
        }
    }
    const qint64 overwritten = qMin(qint64(newText.size()), oldSize);
    if (file.seek(0) && writeAll(file, newText.constData(), overwritten) && file.flush()
        && file.resize(newText.size())) {
        return QString();
    }
    return file.errorString();
}

#ifdef Q_OS_WIN
// The path that a chain of links ends in, followed as text: where a dangling link has
// its target made.
QString linkTarget(const QString &path)
{
    QFileInfo info(path);
    for (int depth = 0; depth < 63 && info.isSymLink(); ++depth)
        info.setFile(info.symLinkTarget());
    return info.filePath();
}

// Which file an open handle is, by volume and file number: MinGW's stat() numbers no file.
struct FileIdentity
{
    quint64 volume = 0;
    quint64 index = 0;
    bool valid = false;
    bool isSameFileAs(const FileIdentity &other) const
    {
        return valid && other.valid && volume == other.volume && index == other.index;
    }
};

FileIdentity identityOf(const QFile &file)
{
    BY_HANDLE_FILE_INFORMATION info;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return {};
    return { info.dwVolumeSerialNumber, (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow, true };
}

// The path by which the system reached an open file, links and ".." resolved as it
// resolved them.
QString finalPathOf(const QFile &file)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), DWORD(path.size()), FILE_NAME_NORMALIZED);
    if (length >= path.size()) {
        path.resize(length);
        length = GetFinalPathNameByHandleW(handle, path.data(), DWORD(path.size()), FILE_NAME_NORMALIZED);
    }
    if (length == 0 || length >= path.size())
        return QString();
    // Named in the long form, \\?\C:\... or \\?\UNC\server\share\...
    QString name = QString::fromWCharArray(path.data(), length);
    if (name.startsWith(QLatin1String("\\\\?\\UNC\\")))
        name.replace(0, 8, QStringLiteral("\\\\"));
    else if (name.startsWith(QLatin1String("\\\\?\\")))
        name.remove(0, 4);
    return QDir::fromNativeSeparators(name);
}

// Puts the file in place only once the new text is complete, so that a full disk or a
// crash cannot leave the player with a truncated file. The text is flushed before the
// commit because a commit does not notice when that last write fails, and would put the
// truncated text in place of the old file. The text already has this platform's line
// ends, so it is written byte for byte. Returns why it failed, or nothing.
QString commitText(QSaveFile &file, const QByteArray &text)
{
    if (file.write(text) == text.size() && file.flush() && file.commit())
        return QString();
    return file.errorString();
}

QString createFile(const QString &fileName, const QByteArray &text)
{
    QSaveFile created(linkTarget(fileName));
    return created.open(QIODevice::WriteOnly) ? commitText(created, text) : created.errorString();
}

// Qt names long paths in the form Windows takes past 260 characters, so the file is named
// as it was opened; only a link needs the name of its target.
Failure replaceFile(QFile &file, const QString &fileName, qint64 oldSize, const QByteArray &newText)
{
    // A link is replaced at the file it leads to now, else where the system reached the
    // open file; either must be the file that was read: a link pointed elsewhere meanwhile
    // leads to a file the choice would not reach the game through.
    QString target = fileName;
    if (QFileInfo(fileName).isSymLink()) {
        target = linkTarget(fileName);
        if (!QFileInfo::exists(target))
            target = finalPathOf(file);
    }
    QFile named(target);
    if (!named.open(QIODevice::ReadOnly))
        return { cannotWrite, locationUnknown };
    if (!identityOf(file).isSameFileAs(identityOf(named)))
        return { cannotWrite, QStringLiteral("The file changed while it was written") };
    named.close();
    file.close();
    // Asked for write access as well, so that a file the player made read-only is
    // refused here and never replaced behind the player's back.
    QFile writable(target);
    if (!writable.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return { "Cannot open config file:", writable.errorString() };
    writable.close();

    QSaveFile replacement(target);
    QString reason;
    if (replacement.open(QIODevice::WriteOnly)) {
        reason = commitText(replacement, newText);
    } else if (QFileInfo(QFileInfo(target).absolutePath()).isWritable()) {
        // Any other failure, such as a full disk, leaves the old file as it is.
        reason = replacement.errorString();
    } else {
        // Only a folder that refuses new files gets the file written in place.
        reason = writable.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered)
            ? writeInPlace(writable, oldSize, newText)
            : writable.errorString();
    }
    return reason.isEmpty() ? Failure() : Failure { cannotWrite, reason };
}
#else
// Paths here are the system's bytes, relative to the working folder where they can be:
// decoding them could change a name that is not UTF-8, and an absolute path may be too
// long for the system or run through folders the player may not enter.

// The text of a link, or nothing for anything else.
std::optional<QByteArray> linkText(const QByteArray &path)
{
    QByteArray text(256, Qt::Uninitialized);
    for (;;) {
        const ssize_t length = readlink(path.constData(), text.data(), size_t(text.size()));
        if (length < 0)
            return std::nullopt;
        if (length < text.size())
            return text.first(length);
        if (text.size() > 64 * 1024)
            return std::nullopt;
        text.resize(text.size() * 2);
    }
}

// Where a chain of links leads: each link's text taken from the folder that holds it, so
// that the system resolves "..", linked folders and all, as it does for the link itself.
// No further than the system follows links: a longer chain ends in a link, which is never
// replaced.
QByteArray followLinks(QByteArray path)
{
    for (int depth = 0; depth < 40; ++depth) {
        const std::optional<QByteArray> text = linkText(path);
        if (!text)
            break;
        path = text->startsWith('/') ? *text : path.first(path.lastIndexOf('/') + 1) + *text;
    }
    return path;
}

// Puts a new name in place of the temporary file, never in place of anything already
// there: a name the system cannot follow, such as a loop of links, must not lose a file.
int renameToNewName(const QByteArray &from, const QByteArray &to)
{
    if (renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system that cannot do that in one step.
    if (link(from.constData(), to.constData()) != 0)
        return errno;
    unlink(from.constData());
    return 0;
}

// Makes a file of the text beside the target and renames it onto the target (or only to
// a new name, `replace` false), so that a full disk or a crash cannot leave the player
// with a truncated file. `folderRefuses` tells whether the failure was that the folder
// takes no new files.
QString writeAtomically(const QByteArray &target, const QByteArray &text, mode_t mode, bool replace,
                        bool *folderRefuses)
{
    QByteArray temporary = target + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    *folderRefuses = fd < 0 && (errno == EACCES || errno == EPERM);
    if (fd < 0)
        return qt_error_string(errno);
    // The old file's mode where the file system keeps one; a drive that keeps none, such
    // as one mounted for any user, refuses it and still takes the text.
    fchmod(fd, mode);
    int error = 0;
    for (qsizetype written = 0; !error && written < text.size();) {
        const ssize_t count = write(fd, text.constData() + written, size_t(text.size() - written));
        if (count > 0)
            written += count;
        else if (count == 0 || errno != EINTR)
            error = count == 0 ? ENOSPC : errno;
    }
    if (!error && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && !error)
        error = errno;
    if (!error)
        error = replace ? (rename(temporary.constData(), target.constData()) == 0 ? 0 : errno)
                        : renameToNewName(temporary, target);
    if (!error)
        return QString();
    unlink(temporary.constData());
    return qt_error_string(error);
}

QString createFile(const QString &fileName, const QByteArray &text)
{
    const mode_t mask = umask(0);
    umask(mask);
    bool folderRefuses = false;
    return writeAtomically(followLinks(QFile::encodeName(fileName)), text, 0666 & ~mask, false, &folderRefuses);
}

Failure replaceFile(QFile &file, const QString &fileName, qint64 oldSize, const QByteArray &newText)
{
    // A file is replaced through the name it was opened by; only a link needs the path
    // of its target: the link followed as the system follows it, relative where it can
    // be, else the path by which the system reached the open file. That name must still
    // lead to the file that was read: a link into /proc/self/fd to a file without a name,
    // say, would make some other file.
    const QByteArray name = QFile::encodeName(fileName);
    QByteArrayList candidates = { name };
    if (struct stat entry; lstat(name.constData(), &entry) == 0 && S_ISLNK(entry.st_mode)) {
        candidates = { followLinks(name) };
#ifdef Q_OS_LINUX
        if (std::optional<QByteArray> reached = linkText("/proc/self/fd/" + QByteArray::number(file.handle())))
            candidates.append(*reached);
#endif
    }
    struct stat opened;
    struct stat named;
    if (fstat(file.handle(), &opened) != 0)
        return { cannotWrite, locationUnknown };
    // The first name that leads anywhere decides: a link pointed elsewhere meanwhile
    // leads to a file that was not read, and the choice would not reach the game.
    const auto located = std::find_if(candidates.cbegin(), candidates.cend(), [&](const QByteArray &candidate) {
        return stat(candidate.constData(), &named) == 0;
    });
    if (located == candidates.cend())
        return { cannotWrite, locationUnknown };
    if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
        return { cannotWrite, QStringLiteral("The file changed while it was written") };
    const QByteArray target = *located;
    file.close();
    // Asked for write access as well, so that a file the player made read-only is
    // refused here and never replaced behind the player's back.
    QFile writable;
    const int fd = open(target.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return { "Cannot open config file:", qt_error_string(errno) };
    writable.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle);

    bool folderRefuses = false;
    QString reason = writeAtomically(target, newText, named.st_mode & 07777, true, &folderRefuses);
    // Only a folder that refuses new files gets the file written in place; any other
    // failure, such as a full disk, leaves the old file as it is.
    if (folderRefuses)
        reason = writeInPlace(writable, oldSize, newText);
    return reason.isEmpty() ? Failure() : Failure { cannotWrite, reason };
}
#endif

} // namespace

std::optional<QByteArray> readConfigFile(const QString &fileName)
{
    if (!QFileInfo::exists(fileName))
        return QByteArray();
    QFile file(fileName);
    QByteArray text;
    if (const QString reason = readRegularFile(file, &text); !reason.isEmpty()) {
        warnAboutConfigFile("Cannot open config file:", fileName, reason, nullptr);
        return std::nullopt;
    }
    return text;
}

bool rewriteConfigFile(const QString &fileName, QByteArrayView newFileText, const ConfigEdit &edit, QString *problem)
{
    const auto fail = [&](const char *message, const QString &reason) {
        return warnAboutConfigFile(message, fileName, reason, problem);
    };
    // Never written past what is read back: the next start would refuse the file.
    const QString wouldBeTooLarge = QStringLiteral("The new text would be larger than 64 MiB");

    // A missing file is made by the same single write as any change, so that a crash
    // cannot leave a half-made file. A dangling link gets its target made.
    QString refusal;
    if (!QFileInfo::exists(fileName)) {
        const std::optional<QByteArray> newText = edit(newFileText, &refusal);
        if (!newText)
            return refusal.isEmpty() || fail("Cannot create config file:", refusal);
        if (newText->size() > maxConfigSize)
            return fail("Cannot create config file:", wouldBeTooLarge);
        const QString reason = createFile(fileName, *newText);
        return reason.isEmpty() || fail("Cannot create config file:", reason);
    }

    // Read only: a file that already holds the value is left alone, time stamp and all,
    // and needs no write access.
    QFile file(fileName);
    QByteArray oldText;
    if (const QString reason = readRegularFile(file, &oldText); !reason.isEmpty())
        return fail("Cannot open config file:", reason);
    const std::optional<QByteArray> newText = edit(oldText, &refusal);
    if (!newText)
        return refusal.isEmpty() || fail(cannotWrite, refusal);
    if (newText->size() > maxConfigSize)
        return fail(cannotWrite, wouldBeTooLarge);
    const Failure failure = replaceFile(file, fileName, oldText.size(), *newText);
    return !failure.message || fail(failure.message, failure.reason);
}
