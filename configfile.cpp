#include "configfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

// In the "default" category, as qWarning() logs, but with no source position. Always
// returns false, for the failure paths of rewriteConfigFile.
bool warnAboutConfigFile(const char *message, const QString &fileName, QString *problem = nullptr)
{
    QMessageLogger(nullptr, 0, nullptr).warning() << message << fileName;
    if (problem)
        *problem = QString::fromLatin1(message).chopped(1);
    return false;
}

// Far more than any override.cfg holds; refusing more keeps a huge file or a link to a
// device from filling the memory.
constexpr qint64 maxConfigSize = 64 * 1024 * 1024;

// Reads the whole file, but only a regular file (after following links) of sane size:
// opening a FIFO would block before the window shows, and a device may never end.
bool readRegularFile(QFile &file, QByteArray *text)
{
    const QFileInfo info(file.fileName());
    if (!info.isFile() || info.size() > maxConfigSize || !file.open(QIODevice::ReadOnly))
        return false;
    *text = file.readAll();
    return file.error() == QFileDevice::NoError && text->size() <= maxConfigSize;
}

// The path that a chain of links ends in: the safe replace renames onto it, so that
// a link stays a link.
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
// ends, so it is written byte for byte.
bool commitText(QSaveFile &file, const QByteArray &text)
{
    return file.write(text) == text.size() && file.flush() && file.commit();
}

// For a folder that refuses new files: writes the new text over the old one so that the
// file never holds fewer bytes than the shorter of the two. What the new text adds goes
// first, at the old end, so that a full disk fails before any old byte is overwritten;
// the file is cut to its new length last.
bool writeInPlace(const QString &path, qint64 oldSize, const QByteArray &newText)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return false;
    if (newText.size() > oldSize) {
        const qint64 added = newText.size() - oldSize;
        if (!file.seek(oldSize) || file.write(newText.constData() + oldSize, added) != added || !file.flush()) {
            file.resize(oldSize);
            return false;
        }
    }
    const qint64 overwritten = qMin(qint64(newText.size()), oldSize);
    return file.seek(0) && file.write(newText.constData(), overwritten) == overwritten && file.flush()
        && file.resize(newText.size());
}

} // namespace

std::optional<QByteArray> readConfigFile(const QString &fileName)
{
    if (!QFileInfo::exists(fileName))
        return QByteArray();
    QFile file(fileName);
    QByteArray text;
    if (!readRegularFile(file, &text)) {
        warnAboutConfigFile("Cannot open config file:", fileName);
        return std::nullopt;
    }
    return text;
}

bool rewriteConfigFile(const QString &fileName, QByteArrayView newFileText, const ConfigEdit &edit, QString *problem)
{
    // A missing file is made by the same single write as any change, so that a crash
    // cannot leave a half-made file. A dangling link gets its target made.
    if (!QFileInfo::exists(fileName)) {
        const std::optional<QByteArray> newText = edit(newFileText);
        if (!newText)
            return true;
        QSaveFile created(linkTarget(fileName));
        if (!created.open(QIODevice::WriteOnly) || !commitText(created, *newText))
            return warnAboutConfigFile("Cannot create config file:", fileName, problem);
        return true;
    }

    // Read only: a file that already holds the value is left alone, time stamp and all,
    // and needs no write access.
    QFile file(fileName);
    QByteArray oldText;
    if (!readRegularFile(file, &oldText))
        return warnAboutConfigFile("Cannot open config file:", fileName, problem);
    const std::optional<QByteArray> newText = edit(oldText);
    if (!newText)
        return true;

    // The new text may only replace the file that was read. A link whose target cannot
    // be named again (one into /proc/self/fd, say) would otherwise have the replace
    // create some other file and report success.
    const QString target = linkTarget(fileName);
    if (!identityOf(file).isSameFileAs(identityOf(target)))
        return warnAboutConfigFile("Cannot write to config file:", fileName, problem);
    file.close();
    // Asked for write access as well, so that a file the player made read-only is
    // refused here and never replaced behind the player's back.
    if (QFile writable(target); !writable.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return warnAboutConfigFile("Cannot open config file:", fileName, problem);

    QSaveFile replacement(target);
    if (replacement.open(QIODevice::WriteOnly)) {
        if (!commitText(replacement, *newText))
            return warnAboutConfigFile("Cannot write to config file:", fileName, problem);
        return true;
    }
    // Only a folder that refuses new files gets the file written in place: the file
    // itself was just opened for writing. Any other failure, such as a full disk,
    // leaves the old file as it is. Qt's own fallback covers fewer errors than this.
    const QFileInfo folder(QFileInfo(target).absolutePath());
    if (folder.isWritable() || !writeInPlace(target, oldText.size(), *newText))
        return warnAboutConfigFile("Cannot write to config file:", fileName, problem);
    return true;
}
