#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "configtext.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#include <iterator>
#include <utility>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

// Relative on purpose: the game reads override.cfg from the folder it is started in,
// which is the launcher's working directory.
static const QString configFileName = QStringLiteral("override.cfg");

namespace {

// The rendering driver choices, in the order of the radio buttons. Rows of one family
// share the rendering method and the driver key; the first row of each family holds
// the driver key's default value.
struct DriverChoice
{
    QRadioButton *Ui_MainWindow::*button;
    const char *method;
    const char *driverKey;
    const char *driverValue;
};

const char methodKey[] = "renderer/rendering_method";

const DriverChoice driverChoices[] = {
    { &Ui_MainWindow::radio_vulkan, "forward_plus", "rendering_device/driver", "vulkan" },
    { &Ui_MainWindow::radio_d3d12, "forward_plus", "rendering_device/driver", "d3d12" },
    { &Ui_MainWindow::radio_opengl3, "gl_compatibility", "gl_compatibility/driver", "opengl3" },
    { &Ui_MainWindow::radio_angle, "gl_compatibility", "gl_compatibility/driver", "opengl3_angle" },
};

// The per-user files of the game that the player may clear, in the order of the buttons.
struct ClearAction
{
    QPushButton *Ui_MainWindow::*button;
    const char *fileName;
    const char *confirmation;
};

const ClearAction clearActions[] = {
    { &Ui_MainWindow::pb_settings, "settings.cfg",
      "Are you sure you want to reset all your game settings to default?" },
    { &Ui_MainWindow::pb_version, "version.dat",
      "Are you sure you want to clear your game version information?" },
    { &Ui_MainWindow::pb_subscription, "subscription.dat",
      "Are you sure you want to log out from your Patreon/Subscribestar account?" },
};

// In the "default" category, as qWarning() logs, but with no source position. Always
// returns false, for the failure paths of setSetting.
bool warnAboutConfigFile(const char *message, QString *problem = nullptr)
{
    QMessageLogger(nullptr, 0, nullptr).warning() << message << configFileName;
    if (problem)
        *problem = QString::fromLatin1(message).chopped(1);
    return false;
}

// Where the game keeps its per-user folder: on Windows the roaming application-data
// folder, which holds the launcher's own per-user folder; elsewhere $XDG_DATA_HOME, or
// ~/.local/share where that is unset or relative (the base directory rules say to
// ignore a relative one; Qt would take it from the working folder).
QString perUserDataFolder()
{
#ifdef Q_OS_WIN
    const QString own = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return own.isEmpty() ? QString() : QFileInfo(own).path();
#else
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    return QDir::isAbsolutePath(dataHome) ? dataHome : QDir::homePath() + QStringLiteral("/.local/share");
#endif
}

// The game's per-user folder "Quillmont". Returns false when it cannot be entered, or
// when it is not an absolute path (a relative HOME): no file of the same name in some
// other folder, such as the working folder, is ever tested for or removed.
bool enterGameDataDirectory(QDir &dir)
{
    const QString base = perUserDataFolder();
    if (!QDir::isAbsolutePath(base))
        return false;
    dir.setPath(base);
    return dir.cd(QStringLiteral("Quillmont"));
}

// Far more than any override.cfg holds; refusing more keeps a huge file or a link to a
// device from filling the memory.
constexpr qint64 maxConfigSize = 64 * 1024 * 1024;

// Reads the whole file, but only a regular file (after following links) of sane size:
// opening a FIFO would block before the window shows, and a device may never end.
bool readConfigFile(QFile &file, QByteArray *text)
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

QString getSetting(const QString &key, const QString &defaultValue)
{
    if (!QFileInfo::exists(configFileName))
        return defaultValue;
    QFile file(configFileName);
    QByteArray text;
    if (!readConfigFile(file, &text)) {
        warnAboutConfigFile("Cannot open config file:");
        return defaultValue;
    }
    const std::optional<QByteArray> value = configValue(text, key.toUtf8());
    return value ? QString::fromUtf8(*value) : defaultValue;
}

bool setSetting(const QString &key, const QString &value, QString *problem)
{
    if (!QFileInfo::exists(configFileName)) {
        QFile file(configFileName);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
            return warnAboutConfigFile("Cannot create config file:", problem);
        file.write("[rendering]\n");
    }

    // Read only: a file that already holds the value is left alone, time stamp and all,
    // and needs no write access.
    QFile file(configFileName);
    QByteArray oldText;
    if (!readConfigFile(file, &oldText))
        return warnAboutConfigFile("Cannot open config file:", problem);
    const QByteArray newText = configWithValue(oldText, key.toUtf8(), value.toUtf8());
    if (newText == oldText)
        return true;

    // The new text may only replace the file that was read. A link whose target cannot
    // be named again (one into /proc/self/fd, say) would otherwise have the replace
    // create some other file and report success.
    const QString target = linkTarget(configFileName);
    if (!identityOf(file).isSameFileAs(identityOf(target)))
        return warnAboutConfigFile("Cannot write to config file:", problem);
    file.close();
    // Asked for write access as well, so that a file the player made read-only is
    // refused here and never replaced behind the player's back.
    if (QFile writable(target); !writable.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return warnAboutConfigFile("Cannot open config file:", problem);

    // Replace the file only once the new text is complete, so that a full disk or a
    // crash cannot leave the player with a truncated file. The text is flushed before
    // the commit because a commit does not notice when that last write fails, and
    // would put the truncated text in place of the old file. The text already has this
    // platform's line ends, so it is written byte for byte.
    QSaveFile replacement(target);
    if (replacement.open(QIODevice::WriteOnly)) {
        if (replacement.write(newText) == newText.size() && replacement.flush() && replacement.commit())
            return true;
        return warnAboutConfigFile("Cannot write to config file:", problem);
    }
    // Only a folder that refuses new files gets the file written in place: the file
    // itself was just opened for writing. Any other failure, such as a full disk,
    // leaves the old file as it is. Qt's own fallback covers fewer errors than this.
    const QFileInfo folder(QFileInfo(target).absolutePath());
    if (folder.isWritable() || !writeInPlace(target, oldText.size(), newText))
        return warnAboutConfigFile("Cannot write to config file:", problem);
    return true;
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_MainWindow)
{
    ui->setupUi(this);
    setFixedSize(384, 320);

    QList<QRadioButton *> driverButtons;
    for (const DriverChoice &choice : driverChoices)
        driverButtons.append(ui->*choice.button);
    QList<QPushButton *> clearButtons;
    for (const ClearAction &action : clearActions)
        clearButtons.append(ui->*action.button);

    for (int i = 0; i < driverButtons.size(); ++i) {
        connect(driverButtons[i], &QAbstractButton::toggled, driverButtons[i],
                [this, i](bool checked) { onRenderingDriverChanged(checked, i); },
                Qt::DirectConnection);
    }
    for (int i = 0; i < clearButtons.size(); ++i) {
        connect(clearButtons[i], &QAbstractButton::clicked, clearButtons[i],
                [this, i] { onClearData(i); }, Qt::DirectConnection);
    }
    connect(ui->pb_start, &QAbstractButton::clicked, this, &MainWindow::onRunGame);

    // Select the driver that override.cfg expresses; the connection made above writes
    // the selection back, and keeps for reportStartupProblem() what that write failed on.
    driverButtons[driverRowInFile()]->setChecked(true);
    m_constructing = false;

    QDir gameData;
    const bool haveGameData = enterGameDataDirectory(gameData);
    for (int i = 0; i < clearButtons.size(); ++i)
        clearButtons[i]->setEnabled(haveGameData && gameData.exists(QLatin1String(clearActions[i].fileName)));

    setWindowIcon(QIcon(QStringLiteral(":/assets/gear.ico")));
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::reportStartupProblem()
{
    const auto [what, reason] = std::exchange(m_startupProblem, {});
    if (!what.isEmpty())
        warn(what, reason);
}

// The row of the driver that override.cfg expresses. An unknown method falls to the
// compatibility family, and an unknown driver to the second row of its family.
int MainWindow::driverRowInFile() const
{
    const QString method = getSetting(QLatin1String(methodKey), QLatin1String(driverChoices[0].method));
    const QString deviceDriver = getSetting(QLatin1String(driverChoices[0].driverKey),
                                            QLatin1String(driverChoices[0].driverValue));
    const QString compatibilityDriver = getSetting(QLatin1String(driverChoices[2].driverKey),
                                                   QLatin1String(driverChoices[2].driverValue));
    const bool forwardPlus = method == QLatin1String(driverChoices[0].method);
    const int family = forwardPlus ? 0 : 2;
    const QString &driver = forwardPlus ? deviceDriver : compatibilityDriver;
    return driver == QLatin1String(driverChoices[family].driverValue) ? family : family + 1;
}

// What went wrong, in a sentence, and the system's reason on a line of its own.
void MainWindow::warn(const QString &what, const QString &reason)
{
    QMessageBox::warning(this, windowTitle(), reason.isEmpty() ? what : what + QStringLiteral("\n\n") + reason);
}

void MainWindow::onRenderingDriverChanged(bool checked, int index)
{
    if (!checked)
        return;
    const DriverChoice &choice = driverChoices[index];
    QString problem;
    if (setSetting(QLatin1String(methodKey), QLatin1String(choice.method), &problem)
        && setSetting(QLatin1String(choice.driverKey), QLatin1String(choice.driverValue), &problem)) {
        return;
    }
    const QString what = QStringLiteral("The rendering driver could not be saved to %1 in %2.")
                             .arg(configFileName, QDir::toNativeSeparators(QDir::currentPath()));
    if (m_constructing) {
        // The selection already is what the file expresses; main() shows the message.
        m_startupProblem = { what, problem + u'.' };
        return;
    }
    // Show the driver the game will really use. Signals are blocked so that this neither
    // writes again nor brings a second message.
    for (const DriverChoice &row : driverChoices)
        (ui->*row.button)->blockSignals(true);
    (ui->*driverChoices[driverRowInFile()].button)->setChecked(true);
    for (const DriverChoice &row : driverChoices)
        (ui->*row.button)->blockSignals(false);
    warn(what, problem + u'.');
}

void MainWindow::onClearData(int index)
{
    if (index < 0 || index >= int(std::size(clearActions)))
        return;
    const ClearAction &action = clearActions[index];
    const auto answer = QMessageBox::information(this, QString(), QString::fromUtf8(action.confirmation),
                                                 QMessageBox::Ok | QMessageBox::Cancel,
                                                 QMessageBox::NoButton);
    if (answer != QMessageBox::Ok)
        return;
    // Found afresh after the question: the folder may have gone meanwhile.
    QDir gameData;
    if (enterGameDataDirectory(gameData)) {
        QFile file(gameData.filePath(QLatin1String(action.fileName)));
        // A file the running game holds open, or one in a folder the player may not
        // change, stays: say so, and leave the button for another try.
        if (!file.remove() && file.exists()) {
            warn(QDir::toNativeSeparators(file.fileName()) + QStringLiteral(" could not be removed."),
                 file.errorString());
            return;
        }
    }
    (ui->*action.button)->setEnabled(false);
}

void MainWindow::onRunGame()
{
#ifdef Q_OS_WIN
    // Windows' own program search finds the game beside the launcher, which in the
    // game's folder is also the working directory.
    const QString program = QStringLiteral("Quillmont.exe");
#else
    // Elsewhere a bare name is searched on PATH only, so name the file in the working
    // directory; a program of that name on PATH must never be the one started.
    const QString program = QStringLiteral("./Quillmont.exe");
#endif
    QProcess game;
    game.setProgram(program);
    if (game.startDetached()) {
        QCoreApplication::quit();
        return;
    }
    // Qt puts the failed call before the system's reason ("execv: Permission denied");
    // its generic text adds nothing to the sentence.
    QString reason = game.errorString().section(QStringLiteral(": "), -1);
    if (reason == QCoreApplication::translate("QProcess", "Process failed to start"))
        reason.clear();
    warn(QStringLiteral("Quillmont.exe could not be started from %1.").arg(QDir::toNativeSeparators(QDir::currentPath())),
         reason);
}
