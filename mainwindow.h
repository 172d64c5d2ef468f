#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>

QT_BEGIN_NAMESPACE
class Ui_MainWindow;
QT_END_NAMESPACE

// Reads one key of the [rendering] section of override.cfg, or returns the default.
QString getSetting(const QString &key, const QString &defaultValue);
// Writes one key into the [rendering] section of override.cfg, creating what is missing.
// Returns whether the file now holds the value; a failure is also logged.
bool setSetting(const QString &key, const QString &value);

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private:
    void onRenderingDriverChanged(bool checked, int index);
    void onClearData(int index);
    void onRunGame();

    Ui_MainWindow *ui;
};

#endif // MAINWINDOW_H
