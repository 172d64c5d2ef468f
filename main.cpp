#include "driverprobe.h"
#include "mainwindow.h"

#include <QApplication>

#include <chrono>

int main(int argc, char *argv[])
{
    // Which drivers this computer can run, as the window asks it of a child: answered
    // before any of Qt's GUI is made, so that nothing shows.
    if (argc > 1 && qstrcmp(argv[1], "--probe-drivers") == 0) {
        QStringList arguments;
        for (int i = 2; i < argc; ++i)
            arguments.append(QString::fromLocal8Bit(argv[i]));
        return runDriverProbe(renderingDrivers(), arguments);
    }

    QApplication app(argc, argv);
    // Named here rather than after the program file, so that the per-user folder Qt
    // derives from it, beside which the game keeps its data, does not depend on the name
    // the launcher was started under.
    QApplication::setApplicationName(QStringLiteral("QuillmontHelper"));
    // The name every window and message box carries, also those given no title.
    QApplication::setApplicationDisplayName(QStringLiteral("Quillmont Helper"));
    MainWindow window;
#ifdef Q_OS_WIN
    // The game is a Windows program: elsewhere there is nothing to probe.
    window.probeDrivers(QCoreApplication::applicationFilePath(), { QStringLiteral("--probe-drivers") },
                        std::chrono::seconds(10));
#endif
    window.show();
    // Shown here, not from the constructor, so that building a window never waits on a box.
    window.reportStartupProblem();
    return app.exec();
}
