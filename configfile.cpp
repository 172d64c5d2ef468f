#include "configfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>

#include <string>
#else
#include <climits>
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

// The path that a chain of links ends in, followed as text: where a dangling link has
// its target made.
QString linkTarget(const QString &path)
{
    QFileInfo info(path);
    for (int depth = 0; depth < 128 && info.isSymLink(); ++depth)
        info.setFile(info.symLinkTarget());
    return info.filePath();
}

// Which file an open handle or a path is, by volume and file number.
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

#ifdef Q_OS_WIN
// MinGW's stat() numbers no file, so ask Windows through a handle.
FileIdentity identityOfHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return {};
    return { info.dwVolumeSerialNumber, (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow, true };
}

FileIdentity identityOf(const QFile &file)
{
    return identityOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())));
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

FileIdentity identityOf(const QString &path)
{
    // No access asked for: only the file's attributes are read.
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FileIdentity identity = identityOfHandle(handle);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return identity;
}
#else
QString finalPathOf(const QFile &file)
{
#ifdef Q_OS_LINUX
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(file.handle());
    char path[PATH_MAX];
    const ssize_t length = readlink(link.constData(), path, sizeof path);
    return length > 0 && length < ssize_t(sizeof path) ? QFile::decodeName(QByteArray(path, length)) : QString();
#else
    return QFileInfo(file.fileName()).canonicalFilePath();
#endif
}

FileIdentity identityOf(const QFile &file)
{
    struct stat info;
    if (fstat(file.handle(), &info) != 0)
        return {};
    return { quint64(info.st_dev), quint64(info.st_ino), true };
}

FileIdentity identityOf(const QString &path)
{
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return { quint64(info.st_dev), quint64(info.st_ino), true };
}
#endif

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

// For a folder that refuses new files: writes the new text over the old one so that the
// file never holds fewer bytes than the shorter of the two. What the new text adds goes
// first, at the old end, so that a full disk fails before any old byte is overwritten;
// the file is cut to its new length last. Returns why it failed, or nothing.
QString writeInPlace(const QString &path, qint64 oldSize, const QByteArray &newText)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return file.errorString();
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

    // A missing file is made by the same single write as any change, so that a crash
    // cannot leave a half-made file. A dangling link gets its target made.
    QString refusal;
    if (!QFileInfo::exists(fileName)) {
        const std::optional<QByteArray> newText = edit(newFileText, &refusal);
        if (!newText)
            return refusal.isEmpty() || fail("Cannot create config file:", refusal);
        QSaveFile created(linkTarget(fileName));
        const QString reason = created.open(QIODevice::WriteOnly) ? commitText(created, *newText) : created.errorString();
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
        return refusal.isEmpty() || fail("Cannot write to config file:", refusal);

    // The new text replaces the file that was read, named as the system reached it: a
    // link stays a link, and ".." after a linked folder leads where it led the system.
    // A path that no longer leads to that file (a link into /proc/self/fd to a file
    // without a name, say) is refused: the replace would make some other file.
    const QString target = finalPathOf(file);
    if (!identityOf(file).isSameFileAs(identityOf(target)))
        return fail("Cannot write to config file:", QStringLiteral("The file changed while it was written"));
    file.close();
    // Asked for write access as well, so that a file the player made read-only is
    // refused here and never replaced behind the player's back.
    if (QFile writable(target); !writable.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return fail("Cannot open config file:", writable.errorString());

    QSaveFile replacement(target);
    QString reason = replacement.open(QIODevice::WriteOnly) ? commitText(replacement, *newText)
        // Only a folder that refuses new files gets the file written in place: the file
        // itself was just opened for writing. Any other failure, such as a full disk,
        // leaves the old file as it is. Qt's own fallback covers fewer errors than this.
        : QFileInfo(QFileInfo(target).absolutePath()).isWritable() ? replacement.errorString()
                                                                   : writeInPlace(target, oldText.size(), *newText);
    return reason.isEmpty() || fail("Cannot write to config file:", reason);
}
