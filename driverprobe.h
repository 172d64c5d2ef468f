#ifndef DRIVERPROBE_H
#define DRIVERPROBE_H

#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

QT_BEGIN_NAMESPACE
class QEvent;
class QProcess;
class QTimer;
class QWidget;
QT_END_NAMESPACE

// What probing found out about one rendering driver: whether the game could start with
// it on this computer, and a short English detail.
enum class DriverStatus { Unknown, Found, Missing };

struct DriverProbe
{
    QString driver; // a value of the driver table, such as "vulkan"
    DriverStatus status = DriverStatus::Unknown;
    QString detail;
};

// An answer is four short lines: a child that writes more is not answering.
constexpr qint64 maxAnswerSize = 16 * 1024;

// `--probe-drivers [DRIVER]`: probes the given drivers, or only DRIVER when one of them is
// named, and writes one line for each to standard output, in their order:
// "DRIVER<tab>found|missing|unknown<tab>DETAIL". Returns the exit status: 0, or 2 for a
// name that is not one of them.
int runDriverProbe(const QStringList &drivers, const QStringList &arguments);

// The probes of an answer to `--probe-drivers`, in the order of `drivers`, when it is a
// valid one: in UTF-8, no longer than maxAnswerSize, exactly one line for each driver,
// each ended by LF or CR LF.
std::optional<QList<DriverProbe>> parseDriverProbeAnswer(QByteArrayView answer, const QStringList &drivers);

// The platform's probes, for runDriverProbe(): one driver in this process, and several,
// each in a child process of its own (on Windows in driverprobe_windows.cpp; elsewhere
// every driver is `unknown`, for the game is a Windows program).
DriverProbe probeDriverHere(const QString &driver);
QList<DriverProbe> probeDriversApart(const QStringList &drivers);

// Once `window` has first painted, runs `program` with `arguments` as a child process and
// reads its answer without blocking. Only a valid answer (see parseDriverProbeAnswer) of
// a child that ends with status 0 within `timeLimit` is passed on, through answered();
// a child still running then is killed. The reader deletes itself once its child has
// ended; deleted earlier, it kills the child and does not wait for it.
class DriverProbeReader : public QObject
{
    Q_OBJECT

public:
    DriverProbeReader(const QStringList &drivers, const QString &program, const QStringList &arguments,
                      std::chrono::milliseconds timeLimit, QWidget *window);

    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    void answered(const QList<DriverProbe> &probes);

private:
    void start();
    void onFinished();

    QStringList m_drivers;
    QString m_program;
    QStringList m_arguments;
    std::chrono::milliseconds m_timeLimit;
    QProcess *m_process = nullptr;
    QTimer *m_deadline = nullptr;
};

#endif // DRIVERPROBE_H
