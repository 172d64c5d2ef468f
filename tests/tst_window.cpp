// The launcher's window class: its fixed size, its title, its bare meta-object, and
// which handler index each button delivers.

#include "mainwindow.h"
#include "messageboxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <functional>
#include <memory>

namespace {

// QObject::receivers() is protected; a member pointer taken through a derived class
// reaches it on any object without pretending the object is of that class.
struct ReceiverCount : QObject
{
    static int of(const QObject *sender, const char *signal)
    {
        int (QObject::*receivers)(const char *) const = &ReceiverCount::receivers;
        return (sender->*receivers)(signal);
    }
};

} // namespace

using namespace messageboxes;

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void sizeIsFixed_data();
    void sizeIsFixed();
    void title();
    void metaObjectAddsNothing();
    void eachSignalHasOneHandler();
    void clearButtonIndices_data();
    void clearButtonIndices();
    void radioIndices_data();
    void radioIndices();
    void gameThatCannotStart_data();
    void gameThatCannotStart();
    void driverProbe_data();
    void driverProbe();
    void quitWhileProbing();

private:
    QTemporaryDir m_dataHome;
    std::unique_ptr<QTemporaryDir> m_workDir;
    QString m_originalDir;
};

void TestWindow::initTestCase()
{
    // Whatever the window looks for in the per-user location, it finds an empty folder.
    QVERIFY(m_dataHome.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome.path()));
    m_originalDir = QDir::currentPath();
}

void TestWindow::init()
{
    // A fresh working directory each time: the window writes override.cfg there.
    m_workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_workDir->isValid());
    QVERIFY(QDir::setCurrent(m_workDir->path()));
}

void TestWindow::cleanup()
{
    QDir::setCurrent(m_originalDir);
    m_workDir.reset();
}

void TestWindow::sizeIsFixed_data()
{
    QTest::addColumn<int>("attempt");
    QTest::newRow("constructed") << 0;
    QTest::newRow("resize") << 1;
    QTest::newRow("setGeometry") << 2;
    QTest::newRow("adjustSize") << 3;
    QTest::newRow("shown") << 4;
    QTest::newRow("shown, then resized") << 5;
}

void TestWindow::sizeIsFixed()
{
    QFETCH(int, attempt);
    MainWindow window;
    switch (attempt) {
    case 1:
        window.resize(600, 500);
        break;
    case 2:
        window.setGeometry(10, 10, 100, 80);
        break;
    case 3:
        window.adjustSize();
        break;
    case 4:
    case 5:
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        if (attempt == 5)
            window.resize(376, 340);
        QCOMPARE(window.windowHandle()->geometry().size(), QSize(384, 320));
        break;
    }
    QCOMPARE(window.size(), QSize(384, 320));
    QCOMPARE(window.minimumSize(), QSize(384, 320));
    QCOMPARE(window.maximumSize(), QSize(384, 320));
}

void TestWindow::title()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Quillmont Helper"));
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
}

void TestWindow::metaObjectAddsNothing()
{
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta.methodOffset(), meta.methodCount());
    QCOMPARE(meta.propertyOffset(), meta.propertyCount());
    QCOMPARE(meta.enumeratorOffset(), meta.enumeratorCount());
    QCOMPARE(meta.classInfoOffset(), meta.classInfoCount());
    QCOMPARE(meta.constructorCount(), 0);

    MainWindow window;
    QCOMPARE(window.qt_metacast("MainWindow"), static_cast<void *>(&window));
    QCOMPARE(window.qt_metacast("QMainWindow"), static_cast<void *>(static_cast<QMainWindow *>(&window)));
    QCOMPARE(window.qt_metacast("Ui_MainWindow"), nullptr);
}

// The form's by-name connection pass must add nothing to the explicit connections: one
// click runs one handler once.
void TestWindow::eachSignalHasOneHandler()
{
    MainWindow window;
    for (const char *name : { "radio_vulkan", "radio_d3d12", "radio_opengl3", "radio_angle" }) {
        const auto radio = window.findChild<QRadioButton *>(QLatin1String(name));
        QVERIFY(radio);
        QCOMPARE(ReceiverCount::of(radio, SIGNAL(toggled(bool))), 1);
        QCOMPARE(ReceiverCount::of(radio, SIGNAL(clicked(bool))), 0);
    }
    for (const char *name : { "pb_settings", "pb_version", "pb_subscription", "pb_start" }) {
        const auto button = window.findChild<QPushButton *>(QLatin1String(name));
        QVERIFY(button);
        QCOMPARE(ReceiverCount::of(button, SIGNAL(clicked(bool))), 1);
        QCOMPARE(ReceiverCount::of(button, SIGNAL(toggled(bool))), 0);
        QCOMPARE(ReceiverCount::of(button, SIGNAL(pressed())), 0);
        QCOMPARE(ReceiverCount::of(button, SIGNAL(released())), 0);
    }
}

void TestWindow::clearButtonIndices_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("question");
    QTest::newRow("pb_settings") << "pb_settings"
                                 << "Are you sure you want to reset all your game settings to default?";
    QTest::newRow("pb_version") << "pb_version"
                                << "Are you sure you want to clear your game version information?";
    QTest::newRow("pb_subscription")
        << "pb_subscription" << "Are you sure you want to log out from your Patreon/Subscribestar account?";
}

// Which row each clear button asks about. The buttons are enabled by hand and every
// question is declined, so that no game data is needed and none is touched.
void TestWindow::clearButtonIndices()
{
    QFETCH(QString, button);
    QFETCH(QString, question);
    MainWindow window;
    const auto clicked = window.findChild<QPushButton *>(button);
    QVERIFY(clicked);
    clicked->setEnabled(true);
    const QList<ShownBox> boxes = answerBoxes(&window, Answer::Cancel, [clicked] { clicked->click(); });
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, question);
}

void TestWindow::radioIndices_data()
{
    QTest::addColumn<QString>("radio");
    QTest::addColumn<QString>("other");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("driver");
    QTest::newRow("radio_vulkan") << "radio_vulkan" << "radio_opengl3" << QByteArray("forward_plus")
                                  << QByteArray("rendering_device/driver=\"vulkan\"");
    QTest::newRow("radio_d3d12") << "radio_d3d12" << "radio_vulkan" << QByteArray("forward_plus")
                                 << QByteArray("rendering_device/driver=\"d3d12\"");
    QTest::newRow("radio_opengl3") << "radio_opengl3" << "radio_angle" << QByteArray("gl_compatibility")
                                   << QByteArray("gl_compatibility/driver=\"opengl3\"");
    QTest::newRow("radio_angle") << "radio_angle" << "radio_d3d12" << QByteArray("gl_compatibility")
                                 << QByteArray("gl_compatibility/driver=\"opengl3_angle\"");
}

// Which choice each radio button writes: another choice first, then this one.
void TestWindow::radioIndices()
{
    QFETCH(QString, radio);
    QFETCH(QString, other);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, driver);
    MainWindow window;
    window.findChild<QRadioButton *>(other)->click();
    window.findChild<QRadioButton *>(radio)->click();

    QFile file(QStringLiteral("override.cfg"));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QVERIFY2(lines.contains("renderer/rendering_method=\"" + method + '"'), lines.join('\n'));
    QVERIFY2(lines.contains(driver), lines.join('\n'));
}

void TestWindow::gameThatCannotStart_data()
{
    QTest::addColumn<QString>("game");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QString() << "No such file or directory";
    QTest::newRow("a folder") << "folder" << "Permission denied";
    QTest::newRow("not a program") << "text" << "Exec format error";
#ifndef Q_OS_WIN
    QTest::newRow("working folder deleted") << "deleted" << "No such file or directory";
#endif
}

// When the game cannot be started, the launcher says why. (That it then stays open is
// seen on the real program: quit() does nothing outside the event loop.)
void TestWindow::gameThatCannotStart()
{
    QFETCH(QString, game);
    QFETCH(QString, reason);
    const QString gamePath = QStringLiteral("Quillmont.exe");
    if (game == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(gamePath));
    } else if (game == QLatin1String("text")) {
        QFile file(gamePath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("no program\n");
        file.close();
        QVERIFY(file.setPermissions(file.permissions() | QFile::ExeOwner));
    }
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Named as it was, also once it is gone.
    const QString folder = QDir::currentPath();
    if (game == QLatin1String("deleted"))
        QVERIFY(QDir(folder).removeRecursively());
    const auto start = window.findChild<QPushButton *>(QStringLiteral("pb_start"));
    const QList<ShownBox> boxes = answerBoxes(&window, Answer::Ok, [start] { start->click(); });

    QCOMPARE(boxes.size(), 1);
    QString expected = QStringLiteral("Quillmont.exe could not be started from %1.")
                           .arg(QDir::toNativeSeparators(folder));
#ifndef Q_OS_WIN
    expected += QStringLiteral("\n\n") + reason; // Windows gives no reason of its own
#endif
    QCOMPARE(boxes[0].text, expected);
    QCOMPARE(boxes[0].title, QStringLiteral("Quillmont Helper"));
    QCOMPARE(boxes[0].icon, QMessageBox::Warning);
    QCOMPARE(boxes[0].standardButtons, QMessageBox::Ok);
    QVERIFY(boxes[0].parentedToWindow);
}

void TestWindow::driverProbe_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("missing"); // the one button marked, if any
    const QString answer = "printf 'vulkan\\tfound\\tV\\nd3d12\\tmissing\\tD\\r\\nopengl3\\tunknown\\tO\\n"
                           "opengl3_angle\\tfound\\tA\\n'";
    QTest::newRow("valid") << answer << "radio_d3d12";
    QTest::newRow("three lines") << QString(answer).remove("opengl3_angle\\tfound\\tA\\n") << QString();
    QTest::newRow("a driver twice") << QString(answer).replace("opengl3\\t", "vulkan\\t") << QString();
    QTest::newRow("unknown word") << QString(answer).replace("missing", "absent") << QString();
    QTest::newRow("not UTF-8") << QString(answer).replace("\\tD", "\\t\\377") << QString();
    QTest::newRow("exit status 1") << answer + "; exit 1" << QString();
    QTest::newRow("crash") << answer + "; kill -SEGV $$" << QString();
    QTest::newRow("silent") << "exit 0" << QString();
    QTest::newRow("overdue") << answer + "; exec sleep 30" << QString();
    QTest::newRow("no final line feed") << QString(answer).replace("A\\n'", "A'") << QString();
    // Longer than an answer may be, whether the child is still there to be killed or not.
    const QString longDetail = QString(answer).replace("\\tV", "\\t'\"$(printf %17000s | tr ' ' x)\"'");
    QTest::newRow("detail of 17,000 characters") << longDetail << QString();
    QTest::newRow("detail of 17,000 characters, then waits") << longDetail + "; exec sleep 30" << QString();
}

// What the driver probe answers, from a stand-in: only a valid answer marks buttons, a
// missing driver only its own, and only a selected missing driver asks before a start.
void TestWindow::driverProbe()
{
#ifdef Q_OS_WIN
    QSKIP("The stand-in probe is a shell script");
#endif
    QFETCH(QString, script);
    QFETCH(QString, missing);
    MainWindow window;
    window.probeDrivers("/bin/sh", { "-c", script }, std::chrono::seconds(2));
    QPointer<QObject> reader = window.findChild<DriverProbeReader *>();
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(!reader, 10000); // the child has ended, or been killed
    for (const QRadioButton *radio : window.findChildren<QRadioButton *>()) {
        const QPalette palette = radio->palette();
        const bool marked = radio->objectName() == missing;
        for (const QPalette::ColorGroup group : { QPalette::Active, QPalette::Inactive }) {
            QCOMPARE(palette.color(group, QPalette::WindowText) == palette.color(QPalette::Disabled, QPalette::WindowText),
                     marked);
        }
        QCOMPARE(radio->accessibleDescription().isEmpty(), !marked);
        QCOMPARE(radio->toolTip().isEmpty(), missing.isEmpty() || radio->objectName() == "radio_opengl3");
    }
    // No game is there: a start brings the warning that says so, unless the question
    // (its two buttons) came first and was cancelled.
    const auto start = window.findChild<QPushButton *>(QStringLiteral("pb_start"));
    for (const char *radio : { "radio_vulkan", "radio_d3d12" }) {
        window.findChild<QRadioButton *>(radio)->click();
        const QList<ShownBox> boxes = answerBoxes(&window, Answer::Escape, [start] { start->click(); });
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].buttonCount == 2, radio == missing);
        if (radio == missing)
            QCOMPARE(boxes[0].defaultButton, QMessageBox::Cancel);
        if (radio == missing)
            QCOMPARE(boxes[0].text, "The game is set to use DirectX 12, which was not found on this computer, so it "
                                    "may not start. Start it anyway?");
    }
}

// Quitting while the probe runs kills it and does not wait: ~QProcess would warn, then wait.
void TestWindow::quitWhileProbing()
{
#ifdef Q_OS_WIN
    QSKIP("The stand-in probe is a shell script");
#endif
    QTest::failOnWarning(QRegularExpression("QProcess"));
    MainWindow window;
    window.probeDrivers("/bin/sh", { "-c", "exec sleep 30" }, std::chrono::seconds(10));
    window.show();
    QTRY_VERIFY(window.findChild<QProcess *>());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
