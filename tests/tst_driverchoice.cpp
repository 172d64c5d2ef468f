// The rendering driver choice through a real window: the row selected from override.cfg,
// what starting and choosing write, and what a click on the checked row leaves alone.

#include "configtestutil.h"
#include "mainwindow.h"
#include "messageboxes.h"

#include <QApplication>
#include <QFileInfo>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>

using namespace configtest;
using namespace messageboxes;

namespace {

const char *const driverButtons[] = { "radio_vulkan", "radio_d3d12", "radio_opengl3", "radio_angle" };

// The object name of the one checked driver button, or a description of what is wrong.
QString checkedDriver(const QWidget &window)
{
    QStringList checked;
    for (const char *name : driverButtons) {
        const auto button = window.findChild<QRadioButton *>(QLatin1String(name));
        if (!button)
            return QStringLiteral("no button ") + QLatin1String(name);
        if (button->isChecked())
            checked.append(button->objectName());
    }
    return checked.size() == 1 ? checked.first() : QStringLiteral("checked: ") + checked.join(u',');
}

// A mouse click on the button's indicator, where a player clicks.
void clickDriver(QWidget &window, const char *name)
{
    const auto button = window.findChild<QRadioButton *>(QLatin1String(name));
    QVERIFY(button);
    const int indicator = button->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, button);
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(indicator / 2 + 1, button->height() / 2));
}

const QByteArray startFile = "[rendering]\n"
                             "renderer/rendering_method=\"forward_plus\"\n"
                             "renderer/rendering_method.windows=\"forward_plus\"\n"
                             "rendering_device/driver=\"vulkan\"\n"
                             "rendering_device/driver.windows=\"vulkan\"\n";
// The lines that a start adds to an older launcher's DirectX 12 file.
const QByteArray forwardPlusVariants = "renderer/rendering_method.windows=\"forward_plus\"\n"
                                       "rendering_device/driver.windows=\"d3d12\"\n";

} // namespace

class TestDriverChoice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { m_folder.reset(new ScratchFolder); }
    void cleanup() { m_folder.reset(); }

    void firstStartCreatesTheFile();
    void choiceIsWrittenAndShownAtNextStart();
    void clickOnCheckedRowWritesNothing();
    void clickWritesTheTable();
    void selection_data();
    void selection();
    void unreadableFile();

private:
    QTemporaryDir m_dataHome;
    std::unique_ptr<ScratchFolder> m_folder;
};

void TestDriverChoice::initTestCase()
{
    // The window looks for the game's per-user files: never in the real user's folders.
    QVERIFY(m_dataHome.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome.path()));
}

void TestDriverChoice::firstStartCreatesTheFile()
{
    LogCapture log;
    MainWindow window;
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(checkedDriver(window), QStringLiteral("radio_vulkan"));
    QCOMPARE(readBytes(), onDisk(startFile));
}

void TestDriverChoice::choiceIsWrittenAndShownAtNextStart()
{
    const QByteArray angleFile = "[rendering]\n"
                                 "renderer/rendering_method=\"gl_compatibility\"\n"
                                 "renderer/rendering_method.windows=\"gl_compatibility\"\n"
                                 "rendering_device/driver=\"vulkan\"\n"
                                 "rendering_device/driver.windows=\"vulkan\"\n"
                                 "gl_compatibility/driver=\"opengl3_angle\"\n"
                                 "gl_compatibility/driver.windows=\"opengl3_angle\"\n";
    QVERIFY(writeBytes(startFile));
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        LogCapture log;
        clickDriver(window, "radio_angle");
        QCOMPARE(log.take(), QStringList());
        QCOMPARE(checkedDriver(window), QStringLiteral("radio_angle"));
        QCOMPARE(readBytes(), angleFile);
    }
    LogCapture log;
    MainWindow restarted;
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(checkedDriver(restarted), QStringLiteral("radio_angle"));
    QCOMPARE(readBytes(), angleFile);
}

// With a folder standing where the file was, any read or write of it would log a
// warning: a click on the checked row must log nothing, so it touched nothing. A click
// on another row must say that its choice could not be saved.
void TestDriverChoice::clickOnCheckedRowWritesNothing()
{
    const QByteArray d3d12File = "[rendering]\nrenderer/rendering_method=\"forward_plus\"\nrendering_device/driver=\"d3d12\"\n"
        + forwardPlusVariants;
    QVERIFY(writeBytes(d3d12File));
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(checkedDriver(window), QStringLiteral("radio_d3d12"));
    QCOMPARE(readBytes(), d3d12File);

    QVERIFY(QFile::remove(configFile));
    QVERIFY(QDir().mkdir(configFile));
    LogCapture log;
    QSignalSpy clicks(window.findChild<QRadioButton *>(QStringLiteral("radio_d3d12")), &QAbstractButton::clicked);
    clickDriver(window, "radio_d3d12");
    QCOMPARE(clicks.size(), 1);
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(checkedDriver(window), QStringLiteral("radio_d3d12"));

    // A real choice is refused: one message, which names the file, its folder and why,
    // and the window goes back to what the game will read, here nothing: the first row.
    const QList<ShownBox> boxes = answerBoxes(&window, Answer::Ok, [&] { clickDriver(window, "radio_angle"); });
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, QStringLiteral("The rendering driver could not be saved to override.cfg in %1.\n\n"
                                           "Not a regular file.")
                                .arg(QDir::toNativeSeparators(m_folder->path())));
    QCOMPARE(boxes[0].title, QStringLiteral("Quillmont Helper"));
    QCOMPARE(boxes[0].icon, QMessageBox::Warning);
    QCOMPARE(boxes[0].standardButtons, QMessageBox::Ok);
    QCOMPARE(checkedDriver(window), QStringLiteral("radio_vulkan"));
    // The write, then the re-read.
    QCOMPARE(log.take().filter(QStringLiteral("config file")), QStringList(2, warning("Cannot open config file:")));
}

// A start keeps a method the game reads into the family shown; a click on another row
// writes that row's own values.
void TestDriverChoice::clickWritesTheTable()
{
    const QByteArray mobile = "[rendering]\nrenderer/rendering_method=\"mobile\"\nrenderer/rendering_method.windows=\"mobile\"\n"
                              "rendering_device/driver.windows=\"D3D12\"\n";
    QVERIFY(writeBytes(mobile));
    MainWindow window;
    QCOMPARE(checkedDriver(window), QStringLiteral("radio_d3d12"));
    QCOMPARE(readBytes(), mobile + "rendering_device/driver=\"D3D12\"\n");
    window.findChild<QRadioButton *>(QStringLiteral("radio_vulkan"))->click();
    QCOMPARE(readBytes(), QByteArray(startFile).replace("driver=\"vulkan\"\nrendering_device/driver.windows=\"vulkan\"",
                                                     "driver.windows=\"vulkan\"\nrendering_device/driver=\"vulkan\""));
}

void TestDriverChoice::selection_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("checked");
    QTest::addColumn<QByteArray>("after");

    const QByteArray d3d12 = "[rendering]\nrenderer/rendering_method=\"forward_plus\"\nrendering_device/driver=\"d3d12\"\n";
    const QByteArray opengl3 = "[rendering]\nrenderer/rendering_method=\"gl_compatibility\"\n"
                               "renderer/rendering_method.windows=\"gl_compatibility\"\n"
                               "gl_compatibility/driver=\"opengl3\"\ngl_compatibility/driver.windows=\"opengl3\"\n";
    const QByteArray angle = "[rendering]\nrenderer/rendering_method=\"gl_compatibility\"\n"
                             "gl_compatibility/driver=\"opengl3_angle\"\n";
    const QByteArray angleVariants = "renderer/rendering_method.windows=\"gl_compatibility\"\n"
                                     "gl_compatibility/driver.windows=\"opengl3_angle\"\n";
    QTest::newRow("empty file") << QByteArray() << "radio_vulkan" << "\n" + startFile;
    QTest::newRow("forward_plus, no driver") << QByteArray("[rendering]\nrenderer/rendering_method=\"forward_plus\"\n")
                                             << "radio_vulkan" << startFile;
    QTest::newRow("forward_plus, d3d12") << d3d12 << "radio_d3d12" << d3d12 + forwardPlusVariants;
    QTest::newRow("forward_plus, another driver")
        << QByteArray("[rendering]\nrenderer/rendering_method=\"forward_plus\"\nrendering_device/driver=\"opengl3\"\n")
        << "radio_vulkan"
        << QByteArray("[rendering]\nrenderer/rendering_method=\"forward_plus\"\nrendering_device/driver=\"vulkan\"\n"
                      "renderer/rendering_method.windows=\"forward_plus\"\nrendering_device/driver.windows=\"vulkan\"\n");
    QTest::newRow("Windows variant wins")
        << QByteArray("[rendering]\nrendering_device/driver.windows=\"d3d12\"\nrendering_device/driver=\"vulkan\"\n")
        << "radio_d3d12"
        << QByteArray("[rendering]\nrendering_device/driver.windows=\"d3d12\"\nrendering_device/driver=\"d3d12\"\n"
                      "renderer/rendering_method=\"forward_plus\"\nrenderer/rendering_method.windows=\"forward_plus\"\n");
    QTest::newRow("gl_compatibility, no driver")
        << QByteArray("[rendering]\nrenderer/rendering_method=\"gl_compatibility\"\n") << "radio_opengl3" << opengl3;
    QTest::newRow("gl_compatibility, opengl3_angle") << angle << "radio_angle" << angle + angleVariants;
    QTest::newRow("gl_compatibility, another driver")
        << QByteArray("[rendering]\nrenderer/rendering_method=\"gl_compatibility\"\ngl_compatibility/driver=\"vulkan\"\n")
        << "radio_opengl3"
        << QByteArray("[rendering]\nrenderer/rendering_method=\"gl_compatibility\"\ngl_compatibility/driver=\"opengl3\"\n"
                      "renderer/rendering_method.windows=\"gl_compatibility\"\ngl_compatibility/driver.windows=\"opengl3\"\n");
    QTest::newRow("unknown method")
        << QByteArray("[rendering]\nrenderer/rendering_method=\"mobile\"\nrendering_device/driver=\"vulkan\"\n")
        << "radio_vulkan"
        << QByteArray("[rendering]\nrenderer/rendering_method=\"mobile\"\nrendering_device/driver=\"vulkan\"\n"
                      "renderer/rendering_method.windows=\"mobile\"\nrendering_device/driver.windows=\"vulkan\"\n");
    QTest::newRow("method in other letter case")
        << QByteArray("[rendering]\nrenderer/rendering_method.windows=\"GL_Compatibility\"\n") << "radio_vulkan"
        << QByteArray("[rendering]\nrenderer/rendering_method.windows=\"GL_Compatibility\"\n"
                      "renderer/rendering_method=\"GL_Compatibility\"\nrendering_device/driver=\"vulkan\"\n"
                      "rendering_device/driver.windows=\"vulkan\"\n");
    QTest::newRow("DirectX 12 in capitals") << QByteArray("[rendering]\nrendering_device/driver=\"D3D12\"\n") << "radio_d3d12"
        << QByteArray("[rendering]\nrendering_device/driver=\"D3D12\"\nrenderer/rendering_method=\"forward_plus\"\n"
                      "renderer/rendering_method.windows=\"forward_plus\"\nrendering_device/driver.windows=\"D3D12\"\n");
    for (const char *unknown : { "\"metal\"", "\"\"", "\xE2\x80\x9Cvulkan\xE2\x80\x9D" }) {
        QTest::addRow("driver %s", unknown)
            << "[rendering]\nrendering_device/driver.windows=" + QByteArray(unknown) + "\n" << "radio_vulkan"
            << QByteArray("[rendering]\nrendering_device/driver.windows=\"vulkan\"\nrenderer/rendering_method=\"forward_plus\"\n"
                          "renderer/rendering_method.windows=\"forward_plus\"\nrendering_device/driver=\"vulkan\"\n");
    }
    QTest::newRow("both families' drivers")
        << QByteArray("[rendering]\nrenderer/rendering_method=\"gl_compatibility\"\nrendering_device/driver=\"d3d12\"\n"
                      "gl_compatibility/driver=\"opengl3\"\n")
        << "radio_opengl3"
        << QByteArray("[rendering]\nrenderer/rendering_method=\"gl_compatibility\"\nrendering_device/driver=\"d3d12\"\n"
                      "gl_compatibility/driver=\"opengl3\"\nrenderer/rendering_method.windows=\"gl_compatibility\"\n"
                      "gl_compatibility/driver.windows=\"opengl3\"\n");
    QTest::newRow("entries written by hand")
        << QByteArray("[rendering]\nrenderer/rendering_method = \"gl_compatibility\" ; by hand\n"
                      "gl_compatibility/driver = \"opengl3_angle\"\n")
        << "radio_angle"
        << QByteArray("[rendering]\nrenderer/rendering_method = \"gl_compatibility\" ; by hand\n"
                      "gl_compatibility/driver = \"opengl3_angle\"\n") + angleVariants;
    QTest::newRow("unquoted method")
        << QByteArray("[rendering]\nrenderer/rendering_method=gl_compatibility\n") << "radio_opengl3" << opengl3;
    QTest::newRow("keys in another section")
        << QByteArray("[display]\nrenderer/rendering_method=\"gl_compatibility\"\n") << "radio_vulkan"
        << QByteArray("[display]\nrenderer/rendering_method=\"gl_compatibility\"\n\n") + startFile;
    // A CR LF file gets CR LF lines; a carriage return of its own stays.
    QTest::newRow("lone carriage return before a CR LF")
        << QByteArray("; note\r\r\n[rendering]\r\nrenderer/rendering_method=\"forward_plus\"\r\n") << "radio_vulkan"
        << "; note\r\r\n" + QByteArray(startFile).replace("\n", "\r\n");
}

void TestDriverChoice::selection()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, checked);
    QFETCH(QByteArray, after);

    QVERIFY(writeBytes(before));
    // A file that already holds the selection is not written at all: it keeps its time.
    const QDateTime longAgo(QDate(2001, 2, 3), QTime(4, 5, 6), QTimeZone::utc());
    QVERIFY(setModificationTime(configFile, longAgo));
    LogCapture log;
    MainWindow window;
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(checkedDriver(window), checked);
    QCOMPARE(readBytes(), onDisk(after, before));
    if (before == onDisk(after, before))
        QCOMPARE(QFileInfo(configFile).lastModified().toUTC(), longAgo);
}

// A file that cannot be read: the first row, a warning for the one read and one for the
// write-back. The constructor shows no box.
void TestDriverChoice::unreadableFile()
{
    QVERIFY(QDir().mkdir(configFile));
    LogCapture log;
    MainWindow window;
    QCOMPARE(log.take(), QStringList(2, warning("Cannot open config file:")));
    QCOMPARE(checkedDriver(window), QStringLiteral("radio_vulkan"));
    QCOMPARE(entriesOf(m_folder->filePath(configFile)), QStringList());
}

QTEST_MAIN(TestDriverChoice)

#include "tst_driverchoice.moc"
