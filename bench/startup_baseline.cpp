// The start-up benchmark's yardstick: the least a Qt Widgets program of the launcher's
// kind does before its window appears. One main window of the launcher's fixed size
// with one button, built with the same Qt and the same flags, and nothing else.

#include <QApplication>
#include <QMainWindow>
#include <QPushButton>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Start-up baseline"));
    window.setCentralWidget(new QPushButton(QStringLiteral("Button"), &window));
    window.setFixedSize(384, 320);
    window.show();
    return app.exec();
}
