#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Named here rather than after the program file, so that the per-user folder Qt
    // derives from it, beside which the game keeps its data, does not depend on the name
    // the launcher was started under.
    QApplication::setApplicationName(QStringLiteral("QuillmontHelper"));
    // The name every window and message box carries, also those given no title.
    QApplication::setApplicationDisplayName(QStringLiteral("Quillmont Helper"));
    MainWindow window;
    window.show();
    // Shown here, not from the constructor, so that building a window never waits on a box.
    window.reportStartupProblem();
    return app.exec();
}
