#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "configfile.h"
#include "configtext.h"
#include "driverchoices.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QPalette>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>

#include <iterator>
#include <utility>

// Relative on purpose: the game reads override.cfg from the folder it is started in,
// which is the launcher's working directory.
static const QString configFileName = QStringLiteral("override.cfg");

namespace {

// The radio buttons of the driver choice table's rows, in its order.
QRadioButton *Ui_MainWindow::*const driverButtonOf[] = {
    &Ui_MainWindow::radio_vulkan,
    &Ui_MainWindow::radio_d3d12,
    &Ui_MainWindow::radio_opengl3,
    &Ui_MainWindow::radio_angle,
};
static_assert(std::size(driverButtonOf) == std::size(driverChoices));

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

// Where the game keeps its per-user folder: on Windows the roaming application-data
// folder, which holds the launcher's own per-user folder; elsewhere $XDG_DATA_HOME, or
// ~/.local/share where that is unset or relative (the base directory rules say to
// ignore a relative one; Qt would take it from the working folder). Nothing without a
// HOME.
QString perUserDataFolder()
{
#ifdef Q_OS_WIN
    const QString own = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return own.isEmpty() ? QString() : QFileInfo(own).path();
#else
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (QDir::isAbsolutePath(dataHome))
        return dataHome;
    // Qt takes "/" for a HOME that is unset or empty: that is no home at all.
    return qEnvironmentVariableIsEmpty("HOME") ? QString() : QDir::homePath() + QStringLiteral("/.local/share");
#endif
}

// The game's per-user folder, when it exists; see gameDataFolder().
bool enterGameDataDirectory(QDir &dir)
{
    const QString folder = gameDataFolder();
    dir.setPath(folder);
    return !folder.isEmpty() && dir.exists();
}

// Several keys at once, in one write of the file; keys that have no entry are added in
// the order given.
bool setSettings(const QList<ConfigSetting> &settings, QString *problem)
{
    return rewriteConfigFile(configFileName, QByteArray("[rendering]") + newFileLineEnd,
                             [&](QByteArrayView text, QString *refusal) {
                                 return configWithValues(text, settings, refusal);
                             },
                             problem);
}

} // namespace

QString gameDataFolder()
{
    const QString base = perUserDataFolder();
    return QDir::isAbsolutePath(base) ? base + QStringLiteral("/Quillmont") : QString();
}

QStringList renderingDrivers()
{
    QStringList drivers;
    for (const DriverChoice &choice : driverChoices)
        drivers.append(QLatin1String(choice.driverValue));
    return drivers;
}

QString getSetting(const QString &key, const QString &defaultValue)
{
    const std::optional<QByteArray> text = readConfigFile(configFileName);
    const std::optional<QByteArray> value = text ? configValue(*text, key.toUtf8()) : std::nullopt;
    return value ? QString::fromUtf8(*value) : defaultValue;
}

bool setSetting(const QString &key, const QString &value, QString *problem)
{
    return setSettings({ { key.toUtf8(), value.toUtf8() } }, problem);
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_MainWindow), m_startFolder(QDir::currentPath())
{
    ui->setupUi(this);
    setFixedSize(384, 320);

    QList<QRadioButton *> driverButtons;
    for (QRadioButton *Ui_MainWindow::*button : driverButtonOf)
        driverButtons.append(ui->*button);
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

void MainWindow::probeDrivers(const QString &program, const QStringList &arguments,
                              std::chrono::milliseconds timeLimit)
{
    const auto reader = new DriverProbeReader(renderingDrivers(), program, arguments, timeLimit, this);
    connect(reader, &DriverProbeReader::answered, this,
            [this](const QList<DriverProbe> &probes) { onDriversProbed(probes); });
}

// A driver not found stays enabled and keeps its text: the probe's word takes no choice
// away. Its text is drawn in the colour of a disabled one.
void MainWindow::onDriversProbed(const QList<DriverProbe> &probes)
{
    m_driverProbes = probes;
    for (qsizetype row = 0; row < probes.size(); ++row) {
        QRadioButton *button = ui->*driverButtonOf[row];
        const QString &detail = probes[row].detail;
        if (probes[row].status == DriverStatus::Found) {
            button->setToolTip(QStringLiteral("Found: %1").arg(detail));
        } else if (probes[row].status == DriverStatus::Missing) {
            const QString description =
                QStringLiteral("Not found on this computer: %1. The game may not start with this driver.").arg(detail);
            button->setToolTip(description);
            button->setAccessibleDescription(description);
            QPalette palette = button->palette();
            for (const QPalette::ColorGroup group : { QPalette::Active, QPalette::Inactive })
                palette.setColor(group, QPalette::WindowText, palette.color(QPalette::Disabled, QPalette::WindowText));
            button->setPalette(palette);
        }
    }
}

void MainWindow::reportStartupProblem()
{
    const auto [what, reason] = std::exchange(m_startupProblem, {});
    if (!what.isEmpty())
        warnInFolder(what, reason);
}

// The row of the driver that override.cfg expresses to the game.
int MainWindow::driverRowInFile() const
{
    const std::optional<QByteArray> text = readConfigFile(configFileName);
    return gameDriverChoice(text ? readConfig(*text) : ConfigReading());
}

// The folder the launcher works in, for the messages; once it has been deleted the
// system names it no more, so the one it was started in. Nothing where the system names
// neither, such as a path too long for it.
QString MainWindow::workingFolder() const
{
    const QString current = QDir::currentPath();
    return QDir::toNativeSeparators(current.isEmpty() ? m_startFolder : current);
}

// What went wrong, in a sentence, and the system's reason on a line of its own.
void MainWindow::warn(const QString &what, const QString &reason, const QString &details)
{
    QMessageBox box(QMessageBox::Warning, windowTitle(),
                    reason.isEmpty() ? what : what + QStringLiteral("\n\n") + reason, QMessageBox::Ok, this);
    box.setDetailedText(details);
    box.exec();
}

// The same for a sentence whose last placeholder names the launcher's folder. A long
// path has no blank to wrap at and would take the box past the screen: it is shortened
// in the middle to half the screen's width, and given whole as the details.
void MainWindow::warnInFolder(const QString &what, const QString &reason)
{
    const QString folder = workingFolder();
    if (folder.isEmpty())
        return warn(what.arg(QStringLiteral("the launcher's folder")), reason);
    const int room = screen()->availableGeometry().width() / 2;
    const QString shown = QFontMetrics(QApplication::font("QMessageBoxLabel")).elidedText(folder, Qt::ElideMiddle, room);
    warn(what.arg(shown), reason, shown == folder ? QString() : folder);
}

void MainWindow::onRenderingDriverChanged(bool checked, int index)
{
    if (!checked)
        return;
    const DriverChoice &choice = driverChoices[index];
    // The game reads each key through its Windows variant where the file has one: both
    // are set, in one write. At start-up the window shows what the file expresses, which
    // may be worded otherwise (another method of the family, a driver's name in capitals):
    // that is kept, and only what the game would read otherwise is written.
    QList<ConfigSetting> settings;
    for (const auto &[key, value] :
         { std::pair(renderingMethodKey, choice.method), std::pair(choice.driverKey, choice.driverValue) }) {
        settings.append({ key, value, m_constructing });
        settings.append({ QByteArray(key) + windowsVariantSuffix, value, m_constructing });
    }
    QString problem;
    if (setSettings(settings, &problem))
        return;
    const QString what = QStringLiteral("The rendering driver could not be saved to %1 in %2.").arg(configFileName);
    // The reason as a sentence; a system's own may already end in a full stop.
    if (!problem.endsWith(u'.'))
        problem += u'.';
    if (m_constructing) {
        // The selection already is what the file expresses; main() shows the message.
        m_startupProblem = { what, problem };
        return;
    }
    // Show the driver the game will really use. Signals are blocked so that this neither
    // writes again nor brings a second message.
    for (QRadioButton *Ui_MainWindow::*button : driverButtonOf)
        (ui->*button)->blockSignals(true);
    (ui->*driverButtonOf[driverRowInFile()])->setChecked(true);
    for (QRadioButton *Ui_MainWindow::*button : driverButtonOf)
        (ui->*button)->blockSignals(false);
    warnInFolder(what, problem);
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
    // With a driver that the probe did not find, ask first; Cancel is the default.
    for (qsizetype row = 0; row < m_driverProbes.size(); ++row) {
        const QRadioButton *button = ui->*driverButtonOf[row];
        if (!button->isChecked() || m_driverProbes[row].status != DriverStatus::Missing)
            continue;
        const QString name = button->text().section(QStringLiteral(" ("), 0, 0);
        QMessageBox question(QMessageBox::Question, windowTitle(),
                             QStringLiteral("The game is set to use %1, which was not found on this computer, so it "
                                            "may not start. Start it anyway?").arg(name),
                             QMessageBox::Cancel, this);
        const QAbstractButton *startAnyway = question.addButton(QStringLiteral("Start anyway"), QMessageBox::AcceptRole);
        question.setDefaultButton(QMessageBox::Cancel);
        question.exec();
        if (question.clickedButton() != startAnyway)
            return;
    }
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
    warnInFolder(QStringLiteral("Quillmont.exe could not be started from %1."), reason);
}
