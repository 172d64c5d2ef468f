#include "driverprobe.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

// The middle field of an answer's line, by DriverStatus.
const char *const statusWords[] = { "unknown", "found", "missing" };

} // namespace

int runDriverProbe(const QStringList &drivers, const QStringList &arguments)
{
    QList<DriverProbe> probes;
    if (arguments.isEmpty()) {
        probes = probeDriversApart(drivers);
    } else if (arguments.size() == 1 && drivers.contains(arguments[0])) {
        probes = { probeDriverHere(arguments[0]) };
    } else {
        std::fprintf(stderr, "usage: --probe-drivers [%s]\n", qPrintable(drivers.join(u'|')));
        return 2;
    }
    for (const DriverProbe &probe : probes) {
        // A detail stays in its field and on its line, whatever a driver's strings hold.
        const QByteArray line = probe.driver.toUtf8() + '\t' + statusWords[int(probe.status)] + '\t'
                                + probe.detail.simplified().toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    }
    // Now, before the drivers' own clean-up at exit, which may crash.
    std::fflush(stdout);
    return 0;
}

std::optional<QList<DriverProbe>> parseDriverProbeAnswer(QByteArrayView answer, const QStringList &drivers)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(answer);
    if (utf8.hasError() || !text.endsWith(u'\n'))
        return std::nullopt;
    text.chop(1);
    const QStringList lines = text.split(u'\n');
    if (lines.size() != drivers.size())
        return std::nullopt;
    QList<DriverProbe> probes(drivers.size());
    for (QStringView line : lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        const QList<QStringView> fields = line.split(u'\t');
        if (fields.size() != 3)
            return std::nullopt;
        const qsizetype row = drivers.indexOf(fields[0]);
        const auto word = std::find_if(std::begin(statusWords), std::end(statusWords),
                                       [&](const char *status) { return fields[1] == QLatin1String(status); });
        if (row < 0 || word == std::end(statusWords) || !probes[row].driver.isEmpty())
            return std::nullopt;
        probes[row] = { drivers[row], DriverStatus(word - std::begin(statusWords)), fields[2].toString() };
    }
    return probes;
}

#ifndef Q_OS_WIN
DriverProbe probeDriverHere(const QString &driver)
{
    return { driver, DriverStatus::Unknown, QStringLiteral("probed on Windows only, where the game runs") };
}

QList<DriverProbe> probeDriversApart(const QStringList &drivers)
{
    QList<DriverProbe> probes;
    for (const QString &driver : drivers)
        probes.append(probeDriverHere(driver));
    return probes;
}
#endif
