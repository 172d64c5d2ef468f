// getSetting and setSetting on override.cfg: the file after each write, the value read,
// failures produced for real, a large file, and the file as the game reads it.

#include "configfile.h"
#include "configtestutil.h"
#include "mainwindow.h"

#include <QApplication>
#include <QFileInfo>
#include <QRadioButton>
#include <QScopeGuard>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#endif

using namespace configtest;

namespace {

const QString driverKey = QStringLiteral("rendering_device/driver");

// One call of either function in the working directory, as the helper mode runs it:
// ["set", key, value] or ["get", key, default]. Returns the logged lines, then for a
// read the line "value: " and the value, for a failed write the line "returned false".
QStringList callConfig(const QStringList &call)
{
    LogCapture log;
    QString read;
    if (call.value(0) == QLatin1String("set")) {
        if (!setSetting(call.value(1), call.value(2)))
            read = QStringLiteral("returned false");
    } else {
        read = QStringLiteral("value: ") + getSetting(call.value(1), call.value(2));
    }
    QStringList lines = log.take();
    if (!read.isNull())
        lines.append(read);
    return lines;
}

// What a refused write reports: one warning, and false.
QStringList refused(const char *text)
{
    return { warning(text), QStringLiteral("returned false") };
}

#ifdef Q_OS_UNIX
// The same call made without the right to override permissions: as "nobody" when the
// tests run as root, otherwise as the user running them.
QStringList callUnprivileged(const ScratchFolder &folder, const QStringList &call)
{
    return runningAsRoot() ? runHelperAsNobody(folder.path(), call) : callConfig(call);
}

// Permissions of the scratch folder for one test, restored so that it can be removed.
class FolderMode
{
public:
    FolderMode(const QString &path, QFile::Permissions permissions) : m_path(path)
    {
        QFile::setPermissions(m_path, permissions);
    }
    ~FolderMode() { QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); }

private:
    QString m_path;
};

const QFile::Permissions readOnlyForAll = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

ino_t inodeOf(const QString &path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

unsigned modeOf(const QString &path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}
#endif

const char *const driverButtons[] = { "radio_vulkan", "radio_d3d12", "radio_opengl3", "radio_angle" };
const QByteArray methodEntry = "rendering/renderer/rendering_method";
const QByteArray deviceEntry = "rendering/rendering_device/driver";
const QByteArray compatibilityEntry = "rendering/gl_compatibility/driver";

// The driver choice of a method and the two families' drivers: the game takes the
// compatibility family only for exactly its method, and lowercases a driver's name; a
// name it does not know is the family's first driver.
int choiceOf(const QByteArray &method, const QByteArray &device, const QByteArray &compatibility)
{
    if (method == "gl_compatibility")
        return QString::fromUtf8(compatibility).toLower() == u"opengl3_angle" ? 3 : 2;
    return QString::fromUtf8(device).toLower() == u"d3d12" ? 1 : 0;
}

// The driver choice that the game uses on Windows. There it reads a driver key only
// through its Windows variant, whose default the engine sets, and the method through its
// variant where there is one.
int gameChoice(const GameView &view)
{
    return choiceOf(view.entries.value(methodEntry + ".windows", view.entries.value(methodEntry, "forward_plus")),
                    view.entries.value(deviceEntry + ".windows", "vulkan"),
                    view.entries.value(compatibilityEntry + ".windows", "opengl3"));
}

// The row the window shows for what the game reads: each key through its Windows variant,
// else the key itself, else the default.
int shownChoice(const GameView &view)
{
    const auto value = [&](const QByteArray &entry, const char *fallback) {
        return view.entries.value(entry + ".windows", view.entries.value(entry, fallback));
    };
    return choiceOf(value(methodEntry, "forward_plus"), value(deviceEntry, "vulkan"),
                    value(compatibilityEntry, "opengl3"));
}

QMap<QByteArray, QByteArray> withoutDriverSettings(QMap<QByteArray, QByteArray> entries)
{
    for (const QByteArray &entry : { methodEntry, deviceEntry, compatibilityEntry }) {
        entries.remove(entry);
        entries.remove(entry + ".windows");
    }
    return entries;
}

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { m_folder.reset(new ScratchFolder); }
    void cleanup() { m_folder.reset(); }

    void writing_data();
    void writing();
    void reading_data();
    void reading();
    void readingWithoutFile();
    void choiceTheGameWouldNotRead();

    void readFailures();
    void writeToDirectory();
    void writeToReadOnlyFile();
    void writeToImmutableFile();
    void createInReadOnlyFolder();
    void writeInReadOnlyFolder();
    void writeInImmutableFolder();
    void writeOnFullDisk();
    void writeInPlaceOnFullDisk();
    void writeThroughSymlink();
    void refusedFiles();
    void writeThroughLinkToUnnamedFile();
    void savedInAnyFolder_data();
    void savedInAnyFolder();

    void largeSection();

    void gameReadsTheChoice_data();
    void gameReadsTheChoice();

private:
    QTemporaryDir m_dataHome;
    std::unique_ptr<ScratchFolder> m_folder;
};

void TestConfig::initTestCase()
{
    // The window looks for the game's per-user files: never in the real user's folders.
    QVERIFY(m_dataHome.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome.path()));
}

void TestConfig::writing_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    const QString d3d12 = QStringLiteral("d3d12");
    auto row = [&](const char *name, const QByteArray &before, const QByteArray &after) {
        QTest::newRow(name) << true << before << d3d12 << after;
    };
    QTest::newRow("no file") << false << QByteArray() << d3d12
                             << QByteArray("[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("empty file", "", "\n[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("no section, final line feed", "[display]\nwindow/size/mode=2\n",
        "[display]\nwindow/size/mode=2\n\n[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("no section, no final line feed", "[display]\nwindow/size/mode=2",
        "[display]\nwindow/size/mode=2\n[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("parse error in another section", "[display]\nwindow/size/mode=fullscreen\n",
        "[display]\n\n[rendering]\nrendering_device/driver=\"d3d12\"\n[display]\nwindow/size/mode=fullscreen\n");
    row("header differs in case", "[Rendering]\na=\"1\"\n",
        "[Rendering]\na=\"1\"\n\n[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("section before another", "[rendering]\na=\"1\"\n; end of rendering\n\n[display]\nb=2\n",
        "[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n; end of rendering\n\n[display]\nb=2\n");
    row("section last", "[display]\nb=2\n[rendering]\na=\"1\"\n",
        "[display]\nb=2\n[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n");
    row("section last, blank lines at the end", "[rendering]\na=\"1\"\n\n\n",
        "[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n\n\n");
    row("section last, no final line feed", "[rendering]\na=\"1\"",
        "[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n");
    row("bare header, no line feed", "[rendering]", "[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("header then white space only", "[rendering] \n\n\t",
        "[rendering] \nrendering_device/driver=\"d3d12\"\n\n\t");
    row("blank lines and indentation after the header",
        "[rendering]\n\n \n  a=\"1\"\n    b=\"2\"\n[display]\n",
        "[rendering]\n\n \n  a=\"1\"\n    b=\"2\"\nrendering_device/driver=\"d3d12\"\n[display]\n");
    row("comment after the header", "[rendering] ; video\na=\"1\"\n",
        "[rendering] ; video\na=\"1\"\nrendering_device/driver=\"d3d12\"\n");
    row("indented header", "  [rendering]\na=\"1\"\n",
        "  [rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n");
    row("indented header ends the section", "[rendering]\na=\"1\"\n\t [display]\nb=2\n",
        "[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n\t [display]\nb=2\n");
    row("two rendering sections", "[rendering]\na=\"1\"\n[display]\nb=2\n[rendering]\nc=\"3\"\n",
        "[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n[display]\nb=2\n[rendering]\nc=\"3\"\n");
    row("note mentions the header, no section", "; video options go under [rendering]\n[display]\nb=2\n",
        "; video options go under [rendering]\n[display]\nb=2\n\n[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("note mentions the header, section later",
        "; see [rendering] below\n[display]\nb=2\n[rendering]\na=\"1\"\n[audio]\n",
        "; see [rendering] below\n[display]\nb=2\n[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n[audio]\n");
    row("header after an entry on its line", "x=1 [rendering]\n", "x=1 [rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("entries outside the rendering section stay", "rendering_device/driver=\"x\"\n[display]\nrendering_device/driver=\"y\"\n"
                                                      "[rendering]\nrendering_device/driver=\"z\" ; note\n",
        "rendering_device/driver=\"x\"\n[display]\nrendering_device/driver=\"y\"\n"
        "[rendering]\nrendering_device/driver=\"d3d12\" ; note\n");
    row("entries only outside the rendering section",
        "rendering_device/driver=\"x\"\n[Rendering]\nrendering_device/driver=\"v\"\n[rendering]\na=\"1\"\n"
        "[application]\nrendering_device/driver=\"y\"\n",
        "rendering_device/driver=\"x\"\n[Rendering]\nrendering_device/driver=\"v\"\n[rendering]\na=\"1\"\n"
        "rendering_device/driver=\"d3d12\"\n[application]\nrendering_device/driver=\"y\"\n");
    row("entry under a header with a comment", "[rendering] ; video\nrendering_device/driver=vulkan\n",
        "[rendering] ; video\nrendering_device/driver=\"d3d12\"\n");
    row("indented entry", "[rendering]\n\trendering_device/driver=\"vulkan\"\n",
        "[rendering]\n\trendering_device/driver=\"d3d12\"\n");
    row("spaces around the equals sign", "[rendering]\nrendering_device/driver = \"vulkan\"\n",
        "[rendering]\nrendering_device/driver = \"d3d12\"\n");
    row("tabs around the equals sign, comment after", "[rendering]\n  rendering_device/driver\t=\t\"vulkan\" ; by hand\n",
        "[rendering]\n  rendering_device/driver\t=\t\"d3d12\" ; by hand\n");
    row("unquoted entry", "[rendering]\nrendering_device/driver=vulkan\n[display]\n",
        "[rendering]\nrendering_device/driver=\"d3d12\"\n[display]\n");
    row("unquoted entry, blanks and comment", "[rendering]\n  rendering_device/driver = vulkan \t; fast\r\n",
        "[rendering]\n  rendering_device/driver = \"d3d12\" \t; fast\r\n");
    row("empty unquoted entries", "[rendering]\nrendering_device/driver=\nrendering_device/driver =  ; none\n",
        "[rendering]\nrendering_device/driver=\"d3d12\"\nrendering_device/driver =\"d3d12\"  ; none\n");
    row("commented-out entries", "[rendering]\n;rendering_device/driver=\"vulkan\"\n; rendering_device/driver=\"gl\"\n",
        "[rendering]\nrendering_device/driver=\"d3d12\"\n;rendering_device/driver=\"vulkan\"\n"
        "; rendering_device/driver=\"gl\"\n");
    row("quote in the comment after the value", "[rendering]\nrendering_device/driver=\"vulkan\" ; was \"gl\"\n",
        "[rendering]\nrendering_device/driver=\"d3d12\" ; was \"gl\"\n");
    row("longer names", "[rendering]\nold_rendering_device/driver=\"vulkan\"\nrendering_device/driver2=\"x\"\n",
        "[rendering]\nold_rendering_device/driver=\"vulkan\"\nrendering_device/driver2=\"x\"\n"
        "rendering_device/driver=\"d3d12\"\n");
    row("unclosed quote", "[rendering]\nrendering_device/driver=\"vulkan\nb=\"2\"\n",
        "[rendering]\nrendering_device/driver=\"d3d12\"\nb=\"2\"\n");
    row("unclosed quote, text after it", "[rendering]\nrendering_device/driver=\"vulkan ; old\n[display]\nc=\"3\"\n",
        "[rendering]\nrendering_device/driver=\"d3d12\"\n[display]\nc=\"3\"\n");
    row("unclosed quote at the end", "[rendering]\nrendering_device/driver=\"vul",
        "[rendering]\nrendering_device/driver=\"d3d12\"");
    row("same value", "[rendering]\nrendering_device/driver=\"d3d12\"\n",
        "[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("CR LF", "[rendering]\r\na=\"1\"\r\n[display]\r\nb=2\r\n",
        "[rendering]\r\na=\"1\"\r\nrendering_device/driver=\"d3d12\"\r\n[display]\r\nb=2\r\n");
    row("lone carriage returns kept", "; a\rb\n[rendering]\r\na=\"1\r\"\r\n",
        "; a\rb\n[rendering]\r\na=\"1\r\"\r\nrendering_device/driver=\"d3d12\"\n");
    row("carriage returns only", "[rendering]\ra=\"1\"\r",
        "[rendering]\ra=\"1\"\r\nrendering_device/driver=\"d3d12\"\n");
    row("byte-order mark", "\xEF\xBB\xBF[rendering]\na=\"1\"\n",
        "[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n");
    row("byte-order mark, value already set", "\xEF\xBB\xBF[rendering]\nrendering_device/driver=\"d3d12\"\n",
        "[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("text after the closing quote", "[rendering]\nrendering_device/driver=\"vulkan\"  # fast\n",
        "[rendering]\nrendering_device/driver=\"d3d12\"  # fast\n");
    row("CR LF, first line blank", "\r\n[rendering]\r\na=\"1\"\r\n",
        "\r\n[rendering]\r\na=\"1\"\r\nrendering_device/driver=\"d3d12\"\r\n");
    row("unquoted, lone carriage return at the end", "[rendering]\nrendering_device/driver=vulkan\r",
        "[rendering]\nrendering_device/driver=\"d3d12\"\r");
    row("comment after the section's last entry", "[rendering]\na=\"1\" ; note\n[display]\nb=2\n",
        "[rendering]\na=\"1\" ; note\nrendering_device/driver=\"d3d12\"\n[display]\nb=2\n");
    row("empty entry filled with the value read earlier",
        "[rendering]\ngl_compatibility/driver=\"opengl3_angle\"\ngl_compatibility/driver=\n",
        "[rendering]\ngl_compatibility/driver=\"opengl3_angle\"\ngl_compatibility/driver=\"opengl3_angle\"\n"
        "rendering_device/driver=\"d3d12\"\n");
    row("string closed on the next line",
        "[rendering]\nrendering_device/driver=\"vulkan\n\"\n[application]\nconfig/name=\"Foo\"\n",
        "[rendering]\nrendering_device/driver=\"d3d12\"\n[application]\nconfig/name=\"Foo\"\n");
    row("CR LF in a string of an LF file", "[application]\nconfig/description=\"one\r\ntwo\"\n[rendering]\n",
        "[application]\nconfig/description=\"one\r\ntwo\"\n[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("LF in a string of a CR LF file", "[application]\r\nconfig/description=\"one\ntwo\"\r\n[rendering]\r\n",
        "[application]\r\nconfig/description=\"one\ntwo\"\r\n[rendering]\r\nrendering_device/driver=\"d3d12\"\r\n");
    for (const auto encoding : { QStringEncoder::Utf16LE, QStringEncoder::Utf16BE }) {
        row(encoding == QStringEncoder::Utf16LE ? "UTF-16 LE without a mark" : "UTF-16 BE without a mark",
            QStringEncoder(encoding)(QStringLiteral("[rendering]\r\na=\"\u00e9\"\r\n")),
            "[rendering]\r\na=\"\xC3\xA9\"\r\nrendering_device/driver=\"d3d12\"\r\n");
    }
    row("invalid UTF-8 kept", "; r\xE9glages vid\xE9o\n[rendering]\na=\"\xFF\xFE\"\n",
        "; r\xE9glages vid\xE9o\n[rendering]\na=\"\xFF\xFE\"\nrendering_device/driver=\"d3d12\"\n");

    const QString special = QStringLiteral("C:\\games\\$1 \\1 $0 & \u00e9");
    QTest::newRow("value taken literally, inserted") << true << QByteArray("[rendering]\n") << special
        << QByteArray("[rendering]\nrendering_device/driver=\"C:\\\\games\\\\$1 \\\\1 $0 & \xC3\xA9\"\n");
    QTest::newRow("value with a line feed") << true << QByteArray("[rendering]\n") << QStringLiteral("a\nb")
                                            << QByteArray("[rendering]\nrendering_device/driver=\"a\\nb\"\n");
    QTest::newRow("value taken literally, replaced") << true << QByteArray("[rendering]\nrendering_device/driver=\"x\"\n")
        << special << QByteArray("[rendering]\nrendering_device/driver=\"C:\\\\games\\\\$1 \\\\1 $0 & \xC3\xA9\"\n");
}

void TestConfig::writing()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);

    if (exists)
        QVERIFY(writeBytes(before));
    // A file that already holds the value, whatever its line ends, is not written at all:
    // it keeps its bytes and its time.
    const bool unchanged = exists && before == after;
    const QDateTime longAgo(QDate(2001, 2, 3), QTime(4, 5, 6), QTimeZone::utc());
    if (unchanged)
        QVERIFY(setModificationTime(configFile, longAgo));
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, value }), QStringList());
    QCOMPARE(readBytes(), unchanged ? before : onDisk(after, before));
    QCOMPARE(getSetting(driverKey, QString()), value);
    QCOMPARE(entriesOf(m_folder->path()), QStringList { configFile });
    if (unchanged)
        QCOMPARE(QFileInfo(configFile).lastModified().toUTC(), longAgo);
}

void TestConfig::reading_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected");

    const QString fallback = QStringLiteral("<default>");
    QTest::newRow("quoted") << QByteArray("[rendering]\nrendering_device/driver=\"d3d12\"\n") << "d3d12";
    QTest::newRow("unquoted") << QByteArray("[rendering]\nrendering_device/driver=d3d12\n") << "d3d12";
    QTest::newRow("spaced, indented") << QByteArray("[rendering]\n\t rendering_device/driver = \"d3d12\" \n") << "d3d12";
    QTest::newRow("two quotes") << QByteArray("[rendering]\nrendering_device/driver=\"\"\n") << "";
    QTest::newRow("nothing after =") << QByteArray("[rendering]\nrendering_device/driver=\n") << fallback;
    QTest::newRow("nothing after =, earlier entry")
        << QByteArray("[rendering]\nrendering_device/driver=\"d3d12\"\nrendering_device/driver= ; cleared\n") << "d3d12";
    QTest::newRow("unquoted, comment after") << QByteArray("[rendering]\nrendering_device/driver = d3d12 ; fast\r\n")
                                             << "d3d12";
    QTest::newRow("one quote") << QByteArray("[rendering]\nrendering_device/driver=\"\n") << "";
    QTest::newRow("opening quote only") << QByteArray("[rendering]\nrendering_device/driver=\"d3d12\n") << "d3d12";
    QTest::newRow("single quotes") << QByteArray("[rendering]\nrendering_device/driver='d3d12'\n") << "d3d12";
    QTest::newRow("value on the next line") << QByteArray("[rendering]\nrendering_device/driver= ; x\n\"d3d12\"\n") << "d3d12";
    QTest::newRow("escaped surrogate pair") << QByteArray("[rendering]\nrendering_device/driver=\"\\ud83d\\ude00\"\n")
                                            << QString::fromUtf8("\xF0\x9F\x98\x80");
    QTest::newRow("equals sign in value") << QByteArray("[rendering]\nrendering_device/driver=a=b\n") << "a=b";
    QTest::newRow("comment after quoted value")
        << QByteArray("[rendering]\nrendering_device/driver = \"vulkan\" ; chosen by hand\n") << "vulkan";
    QTest::newRow("comment straight after quote") << QByteArray("[rendering]\nrendering_device/driver=\"vulkan\";x\n")
                                                  << "vulkan";
    QTest::newRow("blanks after quote") << QByteArray("[rendering]\nrendering_device/driver=\"vulkan\" \t\n") << "vulkan";
    QTest::newRow("other text after quote") << QByteArray("[rendering]\nrendering_device/driver=\"vulkan\" x\n")
                                            << "vulkan";
    QTest::newRow("other text, then a quote") << QByteArray("[rendering]\nrendering_device/driver=\"a\" b \"\n")
                                              << "a";
    QTest::newRow("header in other case") << QByteArray("[Rendering]\nrendering_device/driver=\"d3d12\"\n") << fallback;
    QTest::newRow("header with a comment")
        << QByteArray("[rendering] ; video\nrendering_device/driver=\"d3d12\"\n") << "d3d12";
    QTest::newRow("indented header") << QByteArray("  [rendering]\nrendering_device/driver=\"d3d12\"\n") << "d3d12";
    QTest::newRow("section ended") << QByteArray("[rendering]\n[display]\nrendering_device/driver=\"d3d12\"\n")
                                   << fallback;
    QTest::newRow("last entry wins")
        << QByteArray("[rendering]\nrendering_device/driver=\"d3d12\"\nrendering_device/driver=\"vulkan\"\n") << "vulkan";
    QTest::newRow("last entry wins across sections")
        << QByteArray("[rendering]\nrendering_device/driver=\"a\"\n[display]\nrendering_device/driver=\"x\"\n"
                      "[rendering] ; more\nrendering_device/driver=b\n[audio]\nrendering_device/driver=\"y\"\n")
        << "b";
    QTest::newRow("lone carriage returns are blanks")
        << QByteArray("[rendering]\rrendering_device/driver=\"d3d12\"\r") << "d3d12";
    QTest::newRow("after a parse error") << QByteArray("[rendering]\nshadows=soft\nrendering_device/driver=\"d3d12\"\n")
                                         << fallback;
    QTest::newRow("before the first header") << QByteArray("rendering_device/driver=\"d3d12\"\n[rendering]\n")
                                             << fallback;
    QTest::newRow("second rendering section") << QByteArray("[rendering]\n[x]\nrendering_device/driver=\"a\"\n"
                                                            "[rendering]\nrendering_device/driver=\"b\"\n")
                                              << "b";
    QTest::newRow("commented out") << QByteArray("[rendering]\n;rendering_device/driver=\"d3d12\"\n") << fallback;
    QTest::newRow("other letter case") << QByteArray("[rendering]\nRendering_device/driver=\"d3d12\"\n") << fallback;
    QTest::newRow("longer name") << QByteArray("[rendering]\nold_rendering_device/driver=\"d3d12\"\n") << fallback;
    QTest::newRow("CR LF") << QByteArray("[rendering]\r\nrendering_device/driver=\"d3d12\"\r\n") << "d3d12";
    QTest::newRow("no final line feed") << QByteArray("[rendering]\nrendering_device/driver=\"d3d12\"") << "d3d12";
    // The game takes the mark for part of a key, and the header with it.
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[rendering]\nrendering_device/driver=\"d3d12\"\n")
                                     << fallback;
    QTest::newRow("empty file") << QByteArray() << fallback;
    // Values the game reads before the entry, so that it reaches it.
    const QByteArray driver = "rendering_device/driver=\"d3d12\"\n";
    QTest::newRow("escaped quote earlier") << "[rendering]\nconfig/name=\"My \\\"best\\\" save\"\n" + driver << "d3d12";
    QTest::newRow("sign, empty array, null") << "[rendering]\nwindow/position=-1\nactions=[]\nconfig/icon=null\n" + driver
                                             << "d3d12";
    QTest::newRow("bare # colour") << "[rendering]\nshadow/color=#\n" + driver << "d3d12";
    QTest::newRow("constructors, dictionary, numbers")
        << "[rendering]\na=Color(0.3, 0.3, 0.3, 1)\nb={\"a\": [1, 2], \"b\": Vector2(1, 2)}\nc=#ff00ff\nd=inf\ne=nan\n"
           "f=1e-5\n" + driver << "d3d12";
    QTest::newRow("CR LF, opening quote only") << QByteArray("[rendering]\r\nrendering_device/driver=\"d3d12\r\n")
                                               << "d3d12";
}

void TestConfig::reading()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);

    QVERIFY(writeBytes(text));
    QCOMPARE(callConfig({ QStringLiteral("get"), driverKey, QStringLiteral("<default>") }),
             QStringList { QStringLiteral("value: ") + expected });
    QCOMPARE(readBytes(), text);
}

void TestConfig::readingWithoutFile()
{
    QCOMPARE(callConfig({ QStringLiteral("get"), driverKey, QStringLiteral("vulkan") }),
             QStringList { QStringLiteral("value: vulkan") });
    QCOMPARE(entriesOf(m_folder->path()), QStringList());
}

// A key that the game would read otherwise (";" starts a comment) is refused, not written.
void TestConfig::choiceTheGameWouldNotRead()
{
    QVERIFY(writeBytes("[rendering]\n"));
    LogCapture log;
    QString problem;
    QVERIFY(!setSetting(QStringLiteral("a;b"), QStringLiteral("x"), &problem));
    QCOMPARE(problem, QStringLiteral("The game would not read the choice: it would not find a;b"));
    QCOMPARE(readBytes(), QByteArray("[rendering]\n"));
}

// A file that exists but cannot be read: the default and one warning per call.
void TestConfig::readFailures()
{
    const QStringList get = { QStringLiteral("get"), driverKey, QStringLiteral("vulkan") };
    const QStringList refused = { warning("Cannot open config file:"), QStringLiteral("value: vulkan") };

    QVERIFY(QDir().mkdir(configFile));
    QCOMPARE(callConfig(get) + callConfig(get), refused + refused);
    QVERIFY(QDir().rmdir(configFile));

#ifdef Q_OS_UNIX
    QVERIFY(writeBytes("[rendering]\nrendering_device/driver=\"d3d12\"\n"));
    QVERIFY(QFile::setPermissions(configFile, QFile::Permissions()));
    const FolderMode mode(m_folder->path(), readOnlyForAll);
    QCOMPARE(callUnprivileged(*m_folder, get), refused);
#endif
}

void TestConfig::writeToDirectory()
{
    QVERIFY(QDir().mkdir(configFile));
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }),
             refused("Cannot open config file:"));
    QVERIFY(QFileInfo(configFile).isDir());
    QCOMPARE(entriesOf(m_folder->filePath(configFile)), QStringList());
}

// A file the player made read-only is refused and left as it was. One that already holds
// the value, whatever its line ends, asks for no write and is no failure.
void TestConfig::writeToReadOnlyFile()
{
    const QByteArray before = "[rendering]\r\nrendering_device/driver=\"vulkan\"\n";
    QVERIFY(writeBytes(before));
    QVERIFY(QFile::setPermissions(configFile, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const auto writable = qScopeGuard([] { QFile::setPermissions(configFile, QFile::ReadOwner | QFile::WriteOwner); });
    const QStringList set = { QStringLiteral("set"), driverKey, QStringLiteral("d3d12") };
    const QStringList setSame = { QStringLiteral("set"), driverKey, QStringLiteral("vulkan") };
#ifdef Q_OS_UNIX
    const FolderMode mode(m_folder->path(), readOnlyForAll | QFile::WriteOwner);
    const QStringList logged = callUnprivileged(*m_folder, set) + callUnprivileged(*m_folder, setSame);
#else
    if (QFile probe(configFile); probe.open(QIODevice::ReadWrite))
        QSKIP("read-only files are writable for this user (Wine run by root)");
    const QStringList logged = callConfig(set) + callConfig(setSame);
#endif
    QCOMPARE(logged, refused("Cannot open config file:"));
    QCOMPARE(readBytes(), before);
    QCOMPARE(entriesOf(m_folder->path()), QStringList { configFile });
}

// Refused even to root: the same outcome as a read-only file.
void TestConfig::writeToImmutableFile()
{
#ifdef Q_OS_UNIX
    const QByteArray before = "[rendering]\nrendering_device/driver=\"vulkan\"\n";
    QVERIFY(writeBytes(before));
    const Immutable immutable(m_folder->filePath(configFile));
    if (!immutable.isSet())
        QSKIP("the immutable attribute cannot be set here");
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }),
             refused("Cannot open config file:"));
    QCOMPARE(readBytes(), before);
    QCOMPARE(entriesOf(m_folder->path()), QStringList { configFile });
#else
    QSKIP("the immutable attribute exists on Linux only");
#endif
}

void TestConfig::createInReadOnlyFolder()
{
#ifdef Q_OS_UNIX
    const FolderMode mode(m_folder->path(), readOnlyForAll);
    QCOMPARE(callUnprivileged(*m_folder, { QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }),
             refused("Cannot create config file:"));
    QCOMPARE(entriesOf(m_folder->path()), QStringList());
#else
    QSKIP("a read-only folder still takes new files on Windows");
#endif
}

// No temporary file can be made beside a file that may be written: the file is written
// in place, keeping its identity.
void TestConfig::writeInReadOnlyFolder()
{
#ifdef Q_OS_UNIX
    QVERIFY(writeBytes("[rendering]\nrendering_device/driver=\"vulkan\"\n; keep\n"));
    QVERIFY(QFile::setPermissions(configFile, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                      | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther));
    const ino_t inode = inodeOf(configFile);
    const FolderMode mode(m_folder->path(), readOnlyForAll);
    QCOMPARE(callUnprivileged(*m_folder, { QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }),
             QStringList());
    QCOMPARE(readBytes(), QByteArray("[rendering]\nrendering_device/driver=\"d3d12\"\n; keep\n"));
    // A longer text keeps its end too.
    QCOMPARE(callUnprivileged(*m_folder, { QStringLiteral("set"), driverKey, QStringLiteral("opengl3_angle") }),
             QStringList());
    QCOMPARE(readBytes(), QByteArray("[rendering]\nrendering_device/driver=\"opengl3_angle\"\n; keep\n"));
    QCOMPARE(inodeOf(configFile), inode);
    QCOMPARE(entriesOf(m_folder->path()), QStringList { configFile });
#else
    QSKIP("a read-only folder still takes new files on Windows");
#endif
}

// A folder that refuses new files even to root, with an error other than "permission
// denied": the file is still written in place, without a word.
void TestConfig::writeInImmutableFolder()
{
#ifdef Q_OS_UNIX
    QVERIFY(writeBytes("[rendering]\nrendering_device/driver=\"vulkan\"\n"));
    const Immutable immutable(m_folder->path());
    if (!immutable.isSet())
        QSKIP("the immutable attribute cannot be set here");
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }), QStringList());
    QCOMPARE(readBytes(), QByteArray("[rendering]\nrendering_device/driver=\"d3d12\"\n"));
    QCOMPARE(entriesOf(m_folder->path()), QStringList { configFile });
#else
    QSKIP("the immutable attribute exists on Linux only");
#endif
}

// A disk that fills up during the write: the old file stays whole and nothing is left
// behind. The file size limit stands in for the full disk.
void TestConfig::writeOnFullDisk()
{
#ifdef Q_OS_UNIX
    QByteArray before = "[rendering]\n";
    for (int i = 0; i < 200; ++i)
        before += "textures/option_" + QByteArray::number(i) + "=\"" + QByteArray(20, 'x') + "\"\n";
    QVERIFY(writeBytes(before));

    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 1024;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const QStringList logged = callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") });
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(logged, refused("Cannot write to config file:"));
    QCOMPARE(readBytes(), before);
    QCOMPARE(entriesOf(m_folder->path()), QStringList { configFile });
#else
    QSKIP("the file size limit exists on POSIX systems only");
#endif
}

// A folder that refuses new files, on a disk with no room left: the text written in place
// must not cost the old one. A longer text is refused whole; a shorter one still fits.
void TestConfig::writeInPlaceOnFullDisk()
{
#ifdef Q_OS_UNIX
    const QString disk = m_folder->filePath(QStringLiteral("disk"));
    QVERIFY(QDir().mkdir(disk));
    if (!runCommand(QStringLiteral("mount"), { QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                               QStringLiteral("size=16k"), QStringLiteral("tmpfs"), disk }))
        QSKIP("mounting a small file system is refused here");
    const QString game = disk + QStringLiteral("/game");
    const auto unmount = qScopeGuard([&] {
        QDir::setCurrent(m_folder->path());
        runCommand(QStringLiteral("umount"), { disk });
    });
    QVERIFY(QDir().mkdir(game) && QDir::setCurrent(game));

    // One page of text, then every other page of the disk taken.
    QByteArray before = "[rendering]\nrendering_device/driver=\"vulkan\"\n";
    while (before.size() < 4000)
        before += "; " + QByteArray(70, 'x') + "\n";
    QVERIFY(writeBytes(before));
    QFile filler(disk + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(4096, 'f')) > 0) { }
    filler.close();

    const Immutable immutable(game);
    if (!immutable.isSet())
        QSKIP("the immutable attribute cannot be set here");
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QString(200, u'v') }),
             refused("Cannot write to config file:"));
    QCOMPARE(readBytes(), before);

    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }), QStringList());
    QByteArray after = before;
    after.replace("vulkan", "d3d12");
    QCOMPARE(readBytes(), after);
    QCOMPARE(entriesOf(game), QStringList { configFile });
#else
    QSKIP("mounting a file system is a Linux case");
#endif
}

// A link stays a link to the same file, which takes the new text and keeps its
// permissions.
void TestConfig::writeThroughSymlink()
{
#ifdef Q_OS_UNIX
    QVERIFY(QDir().mkdir(QStringLiteral("real")));
    const QString target = QStringLiteral("real/game.cfg");
    QVERIFY(writeBytes("[rendering]\nrendering_device/driver=\"vulkan\"\n", target));
    QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    QVERIFY(QFile::link(target, configFile));

    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }), QStringList());
    QCOMPARE(QFileInfo(configFile).symLinkTarget(), QFileInfo(target).absoluteFilePath());
    QCOMPARE(readBytes(target), QByteArray("[rendering]\nrendering_device/driver=\"d3d12\"\n"));
    QCOMPARE(modeOf(target), 0640u);
    QCOMPARE(entriesOf(QStringLiteral("real")), QStringList { QStringLiteral("game.cfg") });

    // A dangling link through a link to a missing folder and "..": the system finds no
    // such place, and neither does the launcher.
    QVERIFY(QFile::remove(configFile) && QFile::link(QStringLiteral("missing"), QStringLiteral("lnk")));
    QVERIFY(QFile::link(QStringLiteral("lnk/../x.cfg"), configFile));
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }),
             refused("Cannot create config file:"));
    QVERIFY(!QFileInfo::exists(QStringLiteral("x.cfg")));
    // A loop of links is no file to make: both links stay.
    QVERIFY(QFile::remove(configFile) && QFile::link(configFile, QStringLiteral("a.cfg")));
    QVERIFY(QFile::link(QStringLiteral("a.cfg"), configFile));
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }),
             refused("Cannot create config file:"));
    QVERIFY(QFileInfo(configFile).isSymLink() && QFileInfo(QStringLiteral("a.cfg")).isSymLink());

    // ".." after a linked folder leads where the system takes it, not back to the link.
    const QString reached = QStringLiteral("real/override.cfg");
    QVERIFY(QFile::remove(configFile) && QDir().mkdir(QStringLiteral("real/inner")));
    QVERIFY(QFile::link(QStringLiteral("real/inner"), QStringLiteral("cfgdir")));
    QVERIFY(QFile::link(QStringLiteral("cfgdir/../override.cfg"), configFile) && writeBytes("[rendering]\n", reached));
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }), QStringList());
    QVERIFY(QFileInfo(configFile).isSymLink());
    QCOMPARE(readBytes(reached), QByteArray("[rendering]\nrendering_device/driver=\"d3d12\"\n"));

    // A dangling chain of links: each link's target is taken from the folder it lies in.
    QVERIFY(QFile::remove(configFile) && QDir().mkdir(QStringLiteral("sub")));
    QVERIFY(symlink("new.cfg", "sub/link") == 0 && symlink("sub/link", "override.cfg") == 0);
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }), QStringList());
    QCOMPARE(readBytes(QStringLiteral("sub/new.cfg")), onDisk("[rendering]\nrendering_device/driver=\"d3d12\"\n"));
    QVERIFY(!QFileInfo::exists(QStringLiteral("new.cfg")));

    // A link pointed elsewhere between the read and the replace: the file it leads to now
    // was not read, and stays as it is.
    QVERIFY(writeBytes("; other\n", QStringLiteral("other.cfg")));
    LogCapture log;
    QString problem;
    QVERIFY(!rewriteConfigFile(configFile, "[rendering]\n", [](QByteArrayView, QString *) {
        QFile::remove(configFile);
        QFile::link(QStringLiteral("other.cfg"), configFile);
        return std::optional<QByteArray>("[rendering]\nx=\"1\"\n");
    }, &problem));
    QCOMPARE(problem, QStringLiteral("The file changed while it was written"));
    QCOMPARE(log.take(), QStringList { warning("Cannot write to config file:") });
    QCOMPARE(readBytes(QStringLiteral("other.cfg")), QByteArray("; other\n"));
    QCOMPARE(readBytes(QStringLiteral("sub/new.cfg")), onDisk("[rendering]\nrendering_device/driver=\"d3d12\"\n"));
#else
    QSKIP("links are a POSIX case");
#endif
}

// Files that are not a regular file of sane size are never opened, nor read past the
// limit: a FIFO would block, and a device or a file in /proc may never end.
void TestConfig::refusedFiles()
{
#ifdef Q_OS_UNIX
    const QStringList set = { QStringLiteral("set"), driverKey, QStringLiteral("d3d12") };
    const QStringList get = { QStringLiteral("get"), driverKey, QStringLiteral("vulkan") };
    const QStringList unread = { warning("Cannot open config file:"), QStringLiteral("value: vulkan") };

    QCOMPARE(mkfifo(QFile::encodeName(configFile).constData(), 0644), 0);
    QCOMPARE(callConfig(get) + callConfig(set), unread + refused("Cannot open config file:"));
    QVERIFY(QFileInfo(configFile).exists() && !QFileInfo(configFile).isFile());
    QVERIFY(QFile::remove(configFile));

    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), configFile));
    QCOMPARE(callConfig(get) + callConfig(set), unread + refused("Cannot open config file:"));
    QCOMPARE(QFileInfo(configFile).symLinkTarget(), QStringLiteral("/dev/zero"));
    QVERIFY(QFile::remove(configFile));

    // Sparse, so that it takes no room.
    QFile huge(configFile);
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(64 * 1024 * 1024 + 1));
    huge.close();
    QCOMPARE(callConfig(get) + callConfig(set), unread + refused("Cannot open config file:"));
    QCOMPARE(QFileInfo(configFile).size(), 64 * 1024 * 1024 + 1);
    // Exactly at the limit, it is read.
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(64 * 1024 * 1024));
    huge.close();
    QCOMPARE(callConfig(get), QStringList { QStringLiteral("value: vulkan") });
    // Just under the limit, a choice would take it past: refused, and left as it was.
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(64 * 1024 * 1024 - 10));
    huge.close();
    QCOMPARE(callConfig(set), refused("Cannot write to config file:"));
    QCOMPARE(QFileInfo(configFile).size(), 64 * 1024 * 1024 - 10);
    QVERIFY(QFile::remove(configFile));

    // A file whose reading fails.
    QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), configFile));
    QCOMPARE(callConfig(get) + callConfig(set), unread + refused("Cannot open config file:"));
    QCOMPARE(QFileInfo(configFile).symLinkTarget(), QStringLiteral("/proc/self/mem"));
    QVERIFY(QFile::remove(configFile));

    // A file that reports no size and never ends.
    QVERIFY(QFile::link(QStringLiteral("/proc/self/pagemap"), configFile));
    if (QFile pagemap(configFile); !pagemap.open(QIODevice::ReadOnly) || pagemap.read(8).size() != 8)
        QSKIP("/proc/self/pagemap cannot be read here");
    QCOMPARE(callConfig(get) + callConfig(set), unread + refused("Cannot open config file:"));
#else
    QSKIP("FIFOs and device links are a POSIX case");
#endif
}

// A link to a file that no longer has a name: it can be read, but a replace would create
// a new file named after it instead of writing to it.
void TestConfig::writeThroughLinkToUnnamedFile()
{
#ifdef Q_OS_UNIX
    QVERIFY(QDir().mkdir(QStringLiteral("real")));
    QFile unnamed(QStringLiteral("real/game.cfg"));
    const QByteArray before = "[rendering]\nrendering_device/driver=\"vulkan\"\n";
    QVERIFY(unnamed.open(QIODevice::ReadWrite) && unnamed.write(before) == before.size() && unnamed.flush());
    QVERIFY(QFile::remove(unnamed.fileName()));
    QVERIFY(QFile::link(QStringLiteral("/proc/self/fd/") + QString::number(unnamed.handle()), configFile));

    QCOMPARE(callConfig({ QStringLiteral("get"), driverKey, QStringLiteral("d3d12") }),
             QStringList { QStringLiteral("value: vulkan") });
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }),
             refused("Cannot write to config file:"));
    QVERIFY(unnamed.seek(0));
    QCOMPARE(unnamed.readAll(), before);
    QCOMPARE(entriesOf(QStringLiteral("real")), QStringList());
    QCOMPARE(entriesOf(m_folder->path()), QStringList({ QStringLiteral("override.cfg"), QStringLiteral("real") }));
#else
    QSKIP("links into /proc are a Linux case");
#endif
}

void TestConfig::savedInAnyFolder_data()
{
    QTest::addColumn<QByteArray>("kind");
#ifdef Q_OS_WIN
    QTest::newRow("Windows path of 255 characters") << QByteArray("long");
#else
    QTest::newRow("path longer than PATH_MAX") << QByteArray("deep");
    QTest::newRow("name not UTF-8") << QByteArray("latin1");
    QTest::newRow("parent folders closed") << QByteArray("closed");
    QTest::newRow("parent folders closed, a link") << QByteArray("closed link");
#endif
}

// A first choice makes the file and a second one changes it, wherever the game lies.
void TestConfig::savedInAnyFolder()
{
    QFETCH(QByteArray, kind);
#ifdef Q_OS_WIN
    const QString name(254 - QDir::toNativeSeparators(QDir::currentPath()).size(), u'x');
    QVERIFY(QDir().mkdir(name) && QDir::setCurrent(name));
    QCOMPARE(QDir::toNativeSeparators(QDir::currentPath()).size(), 255);
    const auto call = callConfig;
#else
    if (kind.startsWith("closed") && !runningAsRoot())
        QSKIP("only root can start the launcher as another user");
    // Entered and left one at a time, by relative names.
    const QByteArrayList folders = kind == "deep" ? QByteArrayList(20, QByteArray(250, 'd'))
        : kind == "latin1"                        ? QByteArrayList { "caf\xE9" }
                                                  : QByteArrayList { "closed", "game" };
    qsizetype depth = 0;
    const auto leave = qScopeGuard([&] {
        for (unlink("override.cfg"), unlink("real.cfg"); depth > 0; --depth)
            chdir(".."), rmdir(folders[depth - 1].constData());
    });
    for (; depth < folders.size(); ++depth)
        QVERIFY(mkdir(folders[depth].constData(), 0700) == 0 && chdir(folders[depth].constData()) == 0);
    QVERIFY(!kind.startsWith("closed") || chmod(".", 0777) == 0);
    QVERIFY(kind != "closed link" || symlink("real.cfg", "override.cfg") == 0);
    const auto call = [&](const QStringList &arguments) {
        return kind.startsWith("closed") ? runHelperAsNobody(QStringLiteral("."), arguments) : callConfig(arguments);
    };
#endif
    for (const char *value : { "d3d12", "opengl3" })
        QCOMPARE(call({ QStringLiteral("set"), driverKey, QLatin1String(value) }), QStringList());
    QCOMPARE(readBytes(), onDisk("[rendering]\nrendering_device/driver=\"opengl3\"\n"));
}

// A rendering section far longer than a regular expression's backtracking allows: the
// entry still goes at its end, before the next section, and no second header appears.
void TestConfig::largeSection()
{
    QByteArray section = "[rendering]\n";
    for (int i = 0; i < 100000; ++i)
        section += "textures/option_" + QByteArray::number(i) + "=\"" + QByteArray::number(i) + "\"\n";
    const QByteArray rest = "[display]\nwindow/size/mode=2\n";
    QVERIFY(writeBytes(section + rest));

    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, QStringLiteral("d3d12") }), QStringList());
    QVERIFY(readBytes() == section + "rendering_device/driver=\"d3d12\"\n" + rest);
    QCOMPARE(callConfig({ QStringLiteral("get"), driverKey, QStringLiteral("vulkan") }),
             QStringList { QStringLiteral("value: d3d12") });
}

// Files as players leave them, started with and then given each driver choice. After
// start-up alone the game must use the driver the window shows, where the game can read
// the file; after a choice the game must read the whole file and find the choice, every
// other entry as it was.
void TestConfig::gameReadsTheChoice_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("choice");

    const QList<QPair<const char *, QByteArray>> files = {
        { "empty file", "" },
        { "commented-out old entries",
          "[rendering]\n;renderer/rendering_method=\"mobile\"\n; rendering_device/driver=\"d3d12\"\n"
          "anti_aliasing/quality/msaa_3d=2\n" },
        { "note mentions the section",
          "; my tweaks, see [rendering] in the docs\n[display]\nwindow/vsync/vsync_mode=0\n" },
        { "note, then the section",
          "; tweaks for the [rendering] section go below\n[display]\nwindow/size/mode=3\n[rendering]\n"
          "textures/default_filters/anisotropic_filtering_level=4\n[audio]\ndriver/mix_rate=48000\n" },
        { "spaced entries", "[rendering]\nrenderer/rendering_method = \"mobile\"\n"
                            "rendering_device/driver = \"vulkan\" ; chosen by hand\n[audio]\nbus=\"x\"\n" },
        { "indented section from a forum",
          "[display]\nwindow/size/mode=2\n\n    [rendering]\n    renderer/rendering_method = \"mobile\"\n"
          "    textures/vram_compression/import_etc2_astc=true\n    [physics]\n"
          "    common/physics_ticks_per_second=120\n" },
        { "tab-indented next section",
          "[rendering]\nrenderer/rendering_method=\"mobile\"\n\t[display]\n\twindow/size/mode=2\n" },
        { "two rendering sections",
          "[rendering]\nanti_aliasing/quality/msaa_3d=2\n[display]\nwindow/size/mode=3\n[rendering]\n"
          "rendering_device/driver=\"d3d12\"\ngl_compatibility/driver=\"opengl3\"\n" },
        { "saved by Notepad",
          "[rendering]\r\nrenderer/rendering_method=\"gl_compatibility\"\r\ngl_compatibility/driver=\"opengl3_angle\"" },
        { "unclosed quote",
          "[rendering]\nrendering_device/driver=\"d3d12\nrenderer/rendering_method=\"forward_plus\"\n"
          "[display]\nwindow/size/mode=2\n" },
        { "comment after the header",
          "[rendering] ; graphics\n\n\n  anti_aliasing/quality/msaa_3d=2\n[audio]\nbus=\"x\"\n" },
        { "longer names", "[rendering]\nold_rendering_device/driver=\"d3d12\"\nrenderer/rendering_method2=\"x\"\n" },
        { "comment in another encoding",
          "; r\xE9glages vid\xE9o\n[rendering]\nrenderer/rendering_method=\"mobile\"\n" },
        { "unquoted entries",
          "[rendering]\nrenderer/rendering_method = gl_compatibility ; by hand\ngl_compatibility/driver=opengl3_angle\n"
          "[display]\nwindow/size/mode=2\n" },
        { "empty driver entry", "[rendering]\nrendering_device/driver=\nanti_aliasing/quality/msaa_3d=2\n" },
        { "entries in other sections only",
          "renderer/rendering_method=\"gl_compatibility\"\n[application]\nrendering_device/driver=\"d3d12\"\n"
          "[Rendering]\ngl_compatibility/driver=\"opengl3_angle\"\n[rendering]\nanti_aliasing/quality/msaa_3d=2\n" },
        { "later entry of a key",
          "[rendering]\nrendering_device/driver=\"vulkan\"\nanti_aliasing/quality/msaa_3d=2\n"
          "rendering_device/driver=\"d3d12\"\n" },
        { "later rendering section",
          "[rendering]\nrenderer/rendering_method=\"forward_plus\"\n[display]\nwindow/size/mode=2\n[rendering]\n"
          "renderer/rendering_method=\"gl_compatibility\"\ngl_compatibility/driver=\"opengl3_angle\"\n" },
        { "rendering header with a comment",
          "[rendering] ; video\nrenderer/rendering_method=\"gl_compatibility\"\n[display]\nwindow/size/mode=2\n" },
        { "stray carriage returns",
          "; notes\rfrom an old editor\n[application]\nconfig/name=\"Quillmont\r\"\n[rendering]\r\n"
          "rendering_device/driver=\"d3d12\"\r\n" },
        { "older launcher's DirectX 12",
          "[rendering]\nrenderer/rendering_method=\"forward_plus\"\nrendering_device/driver=\"d3d12\"\n" },
        { "Windows variant only", "[rendering]\nrendering_device/driver.windows=\"d3d12\"\n" },
        { "key and variant disagree",
          "[rendering]\nrenderer/rendering_method.windows = \"gl_compatibility\"\nrenderer/rendering_method=\"forward_plus\"\n"
          "gl_compatibility/driver.windows=\"opengl3_angle\"\nrendering_device/driver=\"d3d12\"\n" },
        { "Windows variant in another section",
          "[display]\nrendering_device/driver.windows=\"d3d12\"\n[rendering]\nrendering_device/driver=\"vulkan\"\n" },
        { "notes glued onto keys",
          "# my laptop\n[rendering]\n# fast\nrendering_device/driver.windows=\"d3d12\"\n// was vulkan\n"
          "renderer/rendering_method=\"gl_compatibility\"\ngl_compatibility/driver.windows=\"opengl3_angle\" // keep\n" },
        { "spaced header", "[ rendering ]\nrendering_device/driver.windows=\"d3d12\"\n" },
        { "stray text after the header",
          "[rendering] # video\nrenderer/rendering_method=\"gl_compatibility\"\ngl_compatibility/driver.windows=\"opengl3_angle\"\n" },
        { "blanks inside a key", "[rendering]\nrendering_device / driver.windows = \"d3d12\"\n" },
        { "lone carriage return after the header", "[rendering]\rrenderer/rendering_method=\"gl_compatibility\"\n" },
        { "multi-line array",
          "[rendering]\nshaders/list=[\n  \"a;b\", ; first\n  \"c\"\n]\nrendering_device/driver.windows=\"d3d12\"\n" },
        { "parse error before the section",
          "[display]\nwindow/size/mode=fullscreen\n[rendering]\nrendering_device/driver.windows=\"d3d12\"\n" },
        { "section named by the key's path", "[rendering/rendering_device]\ndriver.windows=\"d3d12\"\n" },
        { "saved as UTF-16", QStringEncoder(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom)(
                                 QStringLiteral("[rendering]\r\nrenderer/rendering_method=\"gl_compatibility\"\r\n")) },
    };
    for (const auto &file : files) {
        for (int choice = 0; choice < int(std::size(driverButtons)); ++choice)
            QTest::addRow("%s, %s", file.first, driverButtons[choice]) << file.second << choice;
    }
}

void TestConfig::gameReadsTheChoice()
{
    QFETCH(QByteArray, before);
    QFETCH(int, choice);

    QVERIFY(writeBytes(before));
    // A file in UTF-16 is read as what its text says.
    const GameView original =
        gameView(before.startsWith("\xFF\xFE") ? QString(QStringDecoder(QStringDecoder::Utf16LE)(before)).toUtf8() : before);
    LogCapture log;
    MainWindow window;
    const GameView started = gameView(readBytes());
    const int shown = int(std::find_if(std::begin(driverButtons), std::end(driverButtons), [&](const char *name) {
        return window.findChild<QRadioButton *>(QLatin1String(name))->isChecked();
    }) - std::begin(driverButtons));
    QCOMPARE(gameChoice(started), shown);
    if (!original.parseError)
        QCOMPARE(shown, shownChoice(original));
    // Every other setting the game read stays as it was; a repair may let it read more.
    const QMap<QByteArray, QByteArray> others = withoutDriverSettings(original.entries);
    for (auto entry = others.cbegin(); entry != others.cend(); ++entry)
        QCOMPARE(started.entries.value(entry.key()), entry.value());

    const auto button = window.findChild<QRadioButton *>(QLatin1String(driverButtons[choice]));
    QVERIFY(button);
    button->setChecked(true);
    QCOMPARE(log.take(), QStringList());
    const GameView chosen = gameView(readBytes());
    QVERIFY(original.parseError || !chosen.parseError);
    QCOMPARE(gameChoice(chosen), choice);
    QCOMPARE(withoutDriverSettings(chosen.entries), withoutDriverSettings(started.entries));
}

// Helper mode for the cases run as another user: `--helper set KEY VALUE` or
// `--helper get KEY DEFAULT` in the working directory, printing what callConfig returns.
int main(int argc, char *argv[])
{
    if (argc >= 2 && qstrcmp(argv[1], "--helper") == 0) {
        QCoreApplication app(argc, argv);
        for (const QString &line : callConfig(app.arguments().mid(2)))
            std::printf("%s\n", line.toUtf8().constData());
        return 0;
    }
    QApplication app(argc, argv);
    TestConfig test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_config.moc"
