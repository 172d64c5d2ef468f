#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // No application or organisation name: the game data folder is found
    // relative to the default per-user location, which depends on that.
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
