// The three clear buttons against a game data folder in a temporary per-user location:
// which buttons are enabled, what a confirmed or declined clear does to the files and the
// buttons, and that nothing outside the game's own folder is ever touched.

#include "mainwindow.h"
#include "messageboxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

const char *const fileNames[] = { "settings.cfg", "version.dat", "subscription.dat" };
const char *const buttonNames[] = { "pb_settings", "pb_version", "pb_subscription" };

} // namespace

using namespace messageboxes;

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
    void unremovableFile_data();
    void unremovableFile();
    void dataFolderFromEnvironment_data();
    void dataFolderFromEnvironment();

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

void TestClearData::unremovableFile_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("removable");
    QTest::newRow("removed by someone else") << 2 << true;
    // A directory cannot be removed as a file, whatever the user's rights.
    QTest::newRow("cannot be removed") << 0 << false;
}

// A file that is gone after a confirmed clear disables its button without a word; one
// that is still there is named in a warning, and its button stays for another try.
void TestClearData::unremovableFile()
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
    QCOMPARE(logged, QStringList());
    QCOMPARE(QFileInfo::exists(path), !removable);
    QCOMPARE(button(window, row)->isEnabled(), !removable);
    QCOMPARE(boxes.size(), removable ? 1 : 2);
    if (!removable) {
        QVERIFY2(boxes[1].text.startsWith(QDir::toNativeSeparators(path) + QStringLiteral(" could not be removed.")),
                 qPrintable(boxes[1].text));
        QCOMPARE(boxes[1].title, QStringLiteral("Quillmont Helper"));
        QCOMPARE(boxes[1].icon, QMessageBox::Warning);
        QCOMPARE(boxes[1].standardButtons, QMessageBox::Ok);
        QCOMPARE(boxes[1].buttonCount, 1);
    }
}

void TestClearData::dataFolderFromEnvironment_data()
{
    // Both relative to the working folder, where decoy game folders wait; "-" unsets.
    // Without a HOME, Qt's home is "/", where no decoy may be made.
    QTest::addColumn<QByteArray>("dataHome");
    QTest::addColumn<QByteArray>("home");
    QTest::newRow("relative XDG_DATA_HOME: the default applies") << QByteArray("data") << QByteArray();
    QTest::newRow("relative HOME: nothing is touched") << QByteArray("-") << QByteArray("home");
    QTest::newRow("no HOME: nothing is touched") << QByteArray("-") << QByteArray("-");
}

// The game data folder comes from absolute paths only: a relative XDG_DATA_HOME is
// ignored, and with a relative home or none no button is enabled and nothing is removed.
void TestClearData::dataFolderFromEnvironment()
{
    QFETCH(QByteArray, dataHome);
    QFETCH(QByteArray, home);
    const QByteArray savedHome = qgetenv("HOME");
    const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
    const auto restore = qScopeGuard([&] {
        qputenv("HOME", savedHome);
        qputenv("XDG_DATA_HOME", savedDataHome);
    });
    const QString realGame = m_dataHome.filePath(QStringLiteral(".local/share/Quillmont"));
    createFiles(realGame, 7);
    createFiles(QStringLiteral("data/Quillmont"), 7);
    createFiles(QStringLiteral("home/.local/share/Quillmont"), 7);
    createFiles(QStringLiteral("."), 7);
    qputenv("HOME", home.isEmpty() ? QFile::encodeName(m_dataHome.path()) : home);
    if (home == "-")
        qunsetenv("HOME");
    if (dataHome == "-")
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", dataHome);

    const bool found = home.isEmpty();
    QCOMPARE(gameDataFolder(), found ? realGame : QString());
    MainWindow window;
    for (int row = 0; row < 3; ++row)
        QCOMPARE(button(window, row)->isEnabled(), found);
    button(window, 0)->setEnabled(true);
    QCOMPARE(answerBoxes(&window, Answer::Ok, [&] { button(window, 0)->click(); }).size(), 1);
    QCOMPARE(QFileInfo::exists(realGame + QStringLiteral("/settings.cfg")), !found);
    QVERIFY(QFileInfo::exists(QStringLiteral("data/Quillmont/settings.cfg")));
    QVERIFY(QFileInfo::exists(QStringLiteral("home/.local/share/Quillmont/settings.cfg")));
}

QTEST_MAIN(TestClearData)
#include "tst_cleardata.moc"
