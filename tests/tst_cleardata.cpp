// The three clear buttons against a game data folder in a temporary per-user location:
// which buttons are enabled, what a confirmed or declined clear does to the files and the
// buttons, and that nothing outside the game's own folder is ever touched.

#include "mainwindow.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

const char *const fileNames[] = { "settings.cfg", "version.dat", "subscription.dat" };
const char *const buttonNames[] = { "pb_settings", "pb_version", "pb_subscription" };

enum class Answer { Ok, Cancel, Escape, Close };

struct ShownBox
{
    QString text;
    QString title;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons standardButtons;
    qsizetype buttonCount;
    bool parentedToWindow;
};

QStringList *loggedMessages = nullptr;

void recordMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (loggedMessages)
        loggedMessages->append(message);
}

// Runs `action` (a click) and answers the message boxes it shows: the first with
// `answer`, any further one with Cancel. Everything logged from the moment the first
// box is answered until the action returns lands in `logged`.
QList<ShownBox> answerBoxes(const QWidget *window, Answer answer, const std::function<void()> &action,
                            QStringList *logged = nullptr)
{
    QList<ShownBox> shown;
    QStringList lateMessages;
    QtMessageHandler previousHandler = nullptr;
    bool handlerInstalled = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        shown.append({ box->text(), box->windowTitle(), box->icon(), box->standardButtons(),
                       box->buttons().size(), box->parentWidget() == window });
        if (shown.size() > 1) {
            box->reject();
            return;
        }
        loggedMessages = &lateMessages;
        previousHandler = qInstallMessageHandler(recordMessage);
        handlerInstalled = true;
        switch (answer) {
        case Answer::Ok:
            box->button(QMessageBox::Ok)->click();
            break;
        case Answer::Cancel:
            box->button(QMessageBox::Cancel)->click();
            break;
        case Answer::Escape:
            QTest::keyClick(box, Qt::Key_Escape);
            break;
        case Answer::Close:
            box->close();
            break;
        }
    });
    poll.start();
    action();
    poll.stop();
    if (handlerInstalled) {
        qInstallMessageHandler(previousHandler);
        loggedMessages = nullptr;
    }
    if (logged)
        *logged = lateMessages;
    return shown;
}

} // namespace

class TestClearData : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void enabledIffFileExists_data();
    void enabledIffFileExists();
    void fileCreatedLaterDoesNotEnable();
    void nothingOutsideGameFolder_data();
    void nothingOutsideGameFolder();
    void confirmedClear_data();
    void confirmedClear();
    void declinedClear_data();
    void declinedClear();
    void unremovableFileIsSilent_data();
    void unremovableFileIsSilent();

private:
    QString gamePath(const QString &name = QString()) const;
    QPushButton *button(const MainWindow &window, int row) const;
    void createFiles(const QString &folder, int rows);

    QTemporaryDir m_dataHome;
    std::unique_ptr<QTemporaryDir> m_workDir;
    QString m_originalDir;
};

QString TestClearData::gamePath(const QString &name) const
{
    const QString folder = m_dataHome.filePath(QStringLiteral("Quillmont"));
    return name.isEmpty() ? folder : folder + u'/' + name;
}

QPushButton *TestClearData::button(const MainWindow &window, int row) const
{
    return window.findChild<QPushButton *>(QLatin1String(buttonNames[row]));
}

// Creates the files of the rows whose bits are set in `rows`, each holding its own name.
void TestClearData::createFiles(const QString &folder, int rows)
{
    QVERIFY(QDir().mkpath(folder));
    for (int row = 0; row < 3; ++row) {
        if (!(rows & (1 << row)))
            continue;
        QFile file(folder + u'/' + QLatin1String(fileNames[row]));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(fileNames[row]) > 0);
    }
}

void TestClearData::initTestCase()
{
#ifdef Q_OS_WIN
    QSKIP("The per-user application data folder cannot be redirected on Windows; a confirmed "
          "clear here would delete the real game data");
#endif
    QVERIFY(m_dataHome.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome.path()));
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QVERIFY2(QFileInfo(appData).absolutePath() == m_dataHome.path(), qPrintable(appData));
    m_originalDir = QDir::currentPath();
}

void TestClearData::init()
{
    // An empty per-user location and working directory for every case.
    QDir dataHome(m_dataHome.path());
    QVERIFY(dataHome.removeRecursively());
    QVERIFY(dataHome.mkpath(QStringLiteral(".")));
    m_workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_workDir->isValid());
    QVERIFY(QDir::setCurrent(m_workDir->path()));
}

void TestClearData::cleanup()
{
    QDir::setCurrent(m_originalDir);
    m_workDir.reset();
}

void TestClearData::enabledIffFileExists_data()
{
    QTest::addColumn<int>("present");
    for (int present = 0; present < 8; ++present) {
        QStringList names;
        for (int row = 0; row < 3; ++row) {
            if (present & (1 << row))
                names.append(QLatin1String(fileNames[row]));
        }
        QTest::addRow("%s", names.isEmpty() ? "none" : qPrintable(names.join(u'+'))) << present;
    }
}

void TestClearData::enabledIffFileExists()
{
    QFETCH(int, present);
    createFiles(gamePath(), present);
    MainWindow window;
    for (int row = 0; row < 3; ++row)
        QCOMPARE(button(window, row)->isEnabled(), bool(present & (1 << row)));
}

void TestClearData::fileCreatedLaterDoesNotEnable()
{
    createFiles(gamePath(), 0);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    createFiles(gamePath(), 7);
    QTest::qWait(50);
    for (int row = 0; row < 3; ++row)
        QVERIFY(!button(window, row)->isEnabled());
}

void TestClearData::nothingOutsideGameFolder_data()
{
    QTest::addColumn<QString>("gameFolder");
    QTest::newRow("game folder missing") << "missing";
    QTest::newRow("game folder is a file") << "file";
    QTest::newRow("game folder gone after start-up") << "gone";
}

// Files of the same names beside where the game folder belongs are not the game's: no
// button is enabled for them and a confirmed clear leaves them alone, also when the
// buttons are forced on or the folder disappears while the launcher runs.
void TestClearData::nothingOutsideGameFolder()
{
    QFETCH(QString, gameFolder);
    createFiles(m_dataHome.path(), 7);
    if (gameFolder == QLatin1String("file")) {
        QFile file(gamePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (gameFolder == QLatin1String("gone")) {
        createFiles(gamePath(), 7);
    }

    MainWindow window;
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(button(window, row)->isEnabled(), gameFolder == QLatin1String("gone"));
        button(window, row)->setEnabled(true);
    }
    if (gameFolder == QLatin1String("gone"))
        QVERIFY(QDir(gamePath()).removeRecursively());

    for (int row = 0; row < 3; ++row) {
        QCOMPARE(answerBoxes(&window, Answer::Ok, [&] { button(window, row)->click(); }).size(), 1);
        QVERIFY(!button(window, row)->isEnabled());
    }
    for (const char *name : fileNames) {
        QFile file(m_dataHome.filePath(QLatin1String(name)));
        QVERIFY2(file.open(QIODevice::ReadOnly), name);
        QCOMPARE(file.readAll(), QByteArray(name));
    }
    QCOMPARE(QFileInfo(gamePath()).isFile(), gameFolder == QLatin1String("file"));
    QCOMPARE(QFileInfo::exists(gamePath()), gameFolder == QLatin1String("file"));
}

void TestClearData::confirmedClear_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("question");
    QTest::newRow("settings.cfg") << 0 << "Are you sure you want to reset all your game settings to default?";
    QTest::newRow("version.dat") << 1 << "Are you sure you want to clear your game version information?";
    QTest::newRow("subscription.dat")
        << 2 << "Are you sure you want to log out from your Patreon/Subscribestar account?";
}

void TestClearData::confirmedClear()
{
    QFETCH(int, row);
    QFETCH(QString, question);
    createFiles(gamePath(), 7);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const QList<ShownBox> boxes = answerBoxes(&window, Answer::Ok, [&] { button(window, row)->click(); });
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, question);
    QCOMPARE(boxes[0].title, QString());
    QCOMPARE(boxes[0].icon, QMessageBox::Information);
    QCOMPARE(boxes[0].standardButtons, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(boxes[0].buttonCount, 2);
    QVERIFY(boxes[0].parentedToWindow);

    // Exactly this row's file and button.
    for (int other = 0; other < 3; ++other) {
        QCOMPARE(QFileInfo::exists(gamePath(QLatin1String(fileNames[other]))), other != row);
        QCOMPARE(button(window, other)->isEnabled(), other != row);
    }
    QCOMPARE(QDir(gamePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 2);

    // It stays disabled, also once the game writes the file again and while other
    // questions come and go; clicking it asks nothing.
    createFiles(gamePath(), 7);
    const int other = (row + 1) % 3;
    QCOMPARE(answerBoxes(&window, Answer::Cancel, [&] { button(window, other)->click(); }).size(), 1);
    QCOMPARE(answerBoxes(&window, Answer::Ok, [&] { button(window, row)->click(); }).size(), 0);
    QTest::mouseClick(button(window, row), Qt::LeftButton);
    QVERIFY(!button(window, row)->isEnabled());
    QVERIFY(QFileInfo::exists(gamePath(QLatin1String(fileNames[row]))));
}

void TestClearData::declinedClear_data()
{
    QTest::addColumn<Answer>("answer");
    QTest::newRow("Cancel") << Answer::Cancel;
    QTest::newRow("Escape") << Answer::Escape;
    QTest::newRow("box closed") << Answer::Close;
}

void TestClearData::declinedClear()
{
    QFETCH(Answer, answer);
    createFiles(gamePath(), 7);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (int row = 0; row < 3; ++row) {
        for (int attempt = 0; attempt < 2; ++attempt) { // a second click asks again
            QCOMPARE(answerBoxes(&window, answer, [&] { button(window, row)->click(); }).size(), 1);
            QVERIFY(button(window, row)->isEnabled());
        }
    }
    for (const char *name : fileNames) {
        QFile file(gamePath(QLatin1String(name)));
        QVERIFY2(file.open(QIODevice::ReadOnly), name);
        QCOMPARE(file.readAll(), QByteArray(name));
    }
}

void TestClearData::unremovableFileIsSilent_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("removable");
    QTest::newRow("removed by someone else") << 2 << true;
    // A directory cannot be removed as a file, whatever the user's rights.
    QTest::newRow("cannot be removed") << 0 << false;
}

// Whatever the removal does, a confirmed clear ends with the button disabled and
// nothing said: no warning, no further box.
void TestClearData::unremovableFileIsSilent()
{
    QFETCH(int, row);
    QFETCH(bool, removable);
    const QString path = gamePath(QLatin1String(fileNames[row]));
    if (removable)
        createFiles(gamePath(), 1 << row);
    else
        createFiles(path, 7); // a directory of that name, with files in it

    MainWindow window;
    QVERIFY(button(window, row)->isEnabled());
    if (removable)
        QVERIFY(QFile::remove(path));

    QStringList logged;
    const QList<ShownBox> boxes =
        answerBoxes(&window, Answer::Ok, [&] { button(window, row)->click(); }, &logged);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(logged, QStringList());
    QVERIFY(!button(window, row)->isEnabled());
    QCOMPARE(QFileInfo::exists(path), !removable);

    // The next start tests afresh.
    MainWindow nextStart;
    QCOMPARE(button(nextStart, row)->isEnabled(), !removable);
}

QTEST_MAIN(TestClearData)
#include "tst_cleardata.moc"
