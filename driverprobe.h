#ifndef DRIVERPROBE_H
#define DRIVERPROBE_H

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What probing found out about one rendering driver: whether the game could start with
// it on this computer, and a short English detail.
enum class DriverStatus { Unknown, Found, Missing };

struct DriverProbe
{
    QString driver; // a value of the driver table, such as "vulkan"
    DriverStatus status = DriverStatus::Unknown;
    QString detail;
};

// `--probe-drivers [DRIVER]`: probes the given drivers, or only DRIVER when one of them is
// named, and writes one line for each to standard output, in their order:
// "DRIVER<tab>found|missing|unknown<tab>DETAIL". Returns the exit status: 0, or 2 for a
// name that is not one of them.
int runDriverProbe(const QStringList &drivers, const QStringList &arguments);

// The probes of an answer to `--probe-drivers`, in the order of `drivers`, when it is a
// valid one: in UTF-8, exactly one line for each driver, each ended by LF or CR LF.
std::optional<QList<DriverProbe>> parseDriverProbeAnswer(QByteArrayView answer, const QStringList &drivers);

// The platform's probes, for runDriverProbe(): one driver in this process, and several,
// each in a child process of its own (on Windows in driverprobe_windows.cpp; elsewhere
// every driver is `unknown`, for the game is a Windows program).
DriverProbe probeDriverHere(const QString &driver);
QList<DriverProbe> probeDriversApart(const QStringList &drivers);

#endif // DRIVERPROBE_H
