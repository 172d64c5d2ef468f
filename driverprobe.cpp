#include "driverprobe.h"

#include <QEvent>
#include <QProcess>
#include <QStringDecoder>
#include <QTimer>
#include <QWidget>
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

// The middle field of an answer's line, by DriverStatus.
const char *const statusWords[] = { "unknown", "found", "missing" };

// A QProcess that never waits for its child. ~QProcess kills a running child and then
// waits up to 30 seconds for it to end, which one stuck in a graphics driver may take;
// the launcher must quit at once. Killed, the child ends on its own.
class UnwaitedProcess : public QProcess
{
public:
    using QProcess::QProcess;
    ~UnwaitedProcess() override
    {
        if (state() == NotRunning)
            return;
        kill();
        // What ~QProcess looks at before it waits.
        setProcessState(NotRunning);
    }
};

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
    if (answer.size() > maxAnswerSize)
        return std::nullopt;
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

DriverProbeReader::DriverProbeReader(const QStringList &drivers, const QString &program,
                                     const QStringList &arguments, std::chrono::milliseconds timeLimit,
                                     QWidget *window)
    : QObject(window), m_drivers(drivers), m_program(program), m_arguments(arguments), m_timeLimit(timeLimit)
{
    window->installEventFilter(this);
}

bool DriverProbeReader::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint) {
        watched->removeEventFilter(this);
        // Once this first frame is on the screen: the child costs it nothing.
        QTimer::singleShot(0, this, &DriverProbeReader::start);
    }
    return false;
}

void DriverProbeReader::start()
{
    m_process = new UnwaitedProcess(this);
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setStandardErrorFile(QProcess::nullDevice());
#ifdef Q_OS_WIN
    // It shows no window that would end Windows' busy cursor of a starting program.
    m_process->setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *arguments) {
        arguments->startupInfo->dwFlags |= STARTF_FORCEOFFFEEDBACK;
    });
#endif
    m_deadline = new QTimer(this);
    m_deadline->setSingleShot(true);
    // A deadline no longer running marks a child whose answer does not count.
    const auto abandon = [this] {
        m_deadline->stop();
        m_process->kill();
    };
    connect(m_deadline, &QTimer::timeout, this, abandon);
    connect(m_process, &QProcess::readyReadStandardOutput, this, [this, abandon] {
        if (m_process->bytesAvailable() > maxAnswerSize)
            abandon();
    });
    connect(m_process, &QProcess::finished, this, &DriverProbeReader::onFinished);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            deleteLater();
    });
    m_deadline->start(m_timeLimit);
    m_process->start(m_program, m_arguments, QIODevice::ReadOnly);
}

void DriverProbeReader::onFinished()
{
    const bool inTime = m_deadline->isActive();
    m_deadline->stop();
    deleteLater();
    if (!inTime || m_process->exitStatus() != QProcess::NormalExit || m_process->exitCode() != 0)
        return;
    if (const auto probes = parseDriverProbeAnswer(m_process->readAllStandardOutput(), m_drivers))
        emit answered(*probes);
}
