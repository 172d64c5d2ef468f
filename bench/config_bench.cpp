// Times setSetting and getSetting on override.cfg files of about 1 KB, 100 KB, 1 MB and
// 10 MB, with the key present (the last entry of a rendering section that fills the
// file, so that both functions pass over all of it) and absent. Runs in a temporary
// folder and prints the median of several runs per case.
//
//   config_bench [runs]

#include "mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString key = QStringLiteral("rendering_device/driver");

QByteArray makeFile(qsizetype size, bool withKey)
{
    QByteArray text = "; tuned by hand\n[rendering]\n";
    for (int i = 0; text.size() < size - 64; ++i)
        text += "textures/option_" + QByteArray::number(i) + "=\"" + QByteArray::number(i * 7919) + "\"\n";
    if (withKey)
        text += "rendering_device/driver=\"vulkan\"\n";
    text += "[display]\nwindow/size/mode=2\n";
    return text;
}

void store(const QByteArray &text)
{
    QFile file(QStringLiteral("override.cfg"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        qFatal("cannot prepare override.cfg");
}

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(1, atoi(argv[1])) : 11;
    QTemporaryDir folder;
    if (!folder.isValid() || !QDir::setCurrent(folder.path()))
        qFatal("no temporary folder");

    std::printf("%-8s %-7s %10s %10s %12s %12s\n", "size", "key", "set ms", "get ms", "set ns/byte",
                "get ns/byte");
    const struct { const char *name; qsizetype bytes; } sizes[] = {
        { "1 KB", 1024 }, { "100 KB", 100 * 1024 }, { "1 MB", 1024 * 1024 }, { "10 MB", 10 * 1024 * 1024 },
    };
    for (const auto &size : sizes) {
        for (const bool withKey : { true, false }) {
            const QByteArray text = makeFile(size.bytes, withKey);
            std::vector<double> setTimes;
            std::vector<double> getTimes;
            for (int run = 0; run < runs; ++run) {
                store(text);
                QElapsedTimer timer;
                timer.start();
                setSetting(key, QStringLiteral("d3d12"));
                setTimes.push_back(timer.nsecsElapsed() / 1e6);

                store(text);
                timer.restart();
                const QString value = getSetting(key, QStringLiteral("vulkan"));
                getTimes.push_back(timer.nsecsElapsed() / 1e6);
                if (value != QLatin1String("vulkan"))
                    qFatal("unexpected value read");
            }
            const double setMs = median(setTimes);
            const double getMs = median(getTimes);
            std::printf("%-8s %-7s %10.3f %10.3f %12.2f %12.2f\n", size.name, withKey ? "present" : "absent",
                        setMs, getMs, setMs * 1e6 / text.size(), getMs * 1e6 / text.size());
        }
    }
    return 0;
}
