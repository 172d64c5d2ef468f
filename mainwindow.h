#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "driverprobe.h"

#include <QList>
#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <chrono>
#include <utility>

QT_BEGIN_NAMESPACE
class Ui_MainWindow;
QT_END_NAMESPACE

// Reads one key of the [rendering] section of override.cfg, or returns the default.
QString getSetting(const QString &key, const QString &defaultValue);
// Writes one key into the [rendering] section of override.cfg, creating what is missing.
// Returns whether the file now holds the value; when it does not, `problem` (if given)
// receives why, in the system's words or the launcher's own.
bool setSetting(const QString &key, const QString &value, QString *problem = nullptr);

// The game's per-user folder "Quillmont", whether or not it exists; nothing when it is
// not an absolute path (a relative or missing HOME), so that no file of the same name in
// some other folder, such as the working folder, is ever tested for or removed.
QString gameDataFolder();

// The values of the rendering driver choices, in the order of their buttons.
QStringList renderingDrivers();

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Tells the player, once, when the driver selected at start-up could not be saved.
    void reportStartupProblem();

    // Once the window has first painted, runs `program` with `arguments` (the launcher
    // itself with --probe-drivers) as a child, and marks the driver buttons by its answer
    // when a valid one comes within `timeLimit`.
    void probeDrivers(const QString &program, const QStringList &arguments, std::chrono::milliseconds timeLimit);

private:
    void onRenderingDriverChanged(bool checked, int index);
    void onClearData(int index);
    void onRunGame();
    void onDriversProbed(const QList<DriverProbe> &probes);

    int driverRowInFile() const;
    QString workingFolder() const;
    void warn(const QString &what, const QString &reason, const QString &details = QString());
    void warnInFolder(const QString &what, const QString &reason);

    Ui_MainWindow *ui;
    QString m_startFolder;
    bool m_constructing = true;
    std::pair<QString, QString> m_startupProblem; // what failed and why, for main() to show
    QList<DriverProbe> m_driverProbes; // by row, once the probe has answered
};

#endif // MAINWINDOW_H
