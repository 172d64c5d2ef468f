// getSetting and setSetting on override.cfg: the file after each write, the value read,
// failures produced for real, a large file, and the file as the game reads it.

#include "configtestutil.h"
#include "mainwindow.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

using namespace configtest;

namespace {

const QString driverKey = QStringLiteral("rendering_device/driver");

// One call of either function in the working directory, as the helper mode runs it:
// ["set", key, value] or ["get", key, default]. Returns the logged lines, then for a
// read the line "value: " and the value.
QStringList callConfig(const QStringList &call)
{
    LogCapture log;
    QString read;
    if (call.value(0) == QLatin1String("set"))
        setSetting(call.value(1), call.value(2));
    else
        read = QStringLiteral("value: ") + getSetting(call.value(1), call.value(2));
    QStringList lines = log.take();
    if (!read.isNull())
        lines.append(read);
    return lines;
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

// The entries of a file as the game reads them, under "section/key" ("/key" before the
// first header): a header is a line whose first non-blank character is "[", ";" starts
// a comment anywhere, blanks may stand around "=", a value in double quotes is the text
// between them, and a later entry of a key replaces an earlier one.
QMap<QByteArray, QByteArray> gameView(const QByteArray &text)
{
    QMap<QByteArray, QByteArray> entries;
    QByteArray section;
    for (QByteArray line : text.split('\n')) {
        const qsizetype comment = line.indexOf(';');
        if (comment >= 0)
            line.truncate(comment);
        line = line.trimmed();
        if (line.startsWith('[')) {
            section = line.mid(1, line.indexOf(']') - 1);
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        QByteArray value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        entries.insert(section + '/' + line.first(equals).trimmed(), value);
    }
    return entries;
}

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_folder.reset(new ScratchFolder); }
    void cleanup() { m_folder.reset(); }

    void writing_data();
    void writing();
    void reading_data();
    void reading();
    void readingWithoutFile();

    void readFailures();
    void writeToDirectory();
    void writeToReadOnlyFile();
    void writeToImmutableFile();
    void createInReadOnlyFolder();
    void writeInReadOnlyFolder();
    void writeInImmutableFolder();
    void writeOnFullDisk();
    void writeThroughSymlink();

    void largeSection();

    void gameReadsTheChoice_data();
    void gameReadsTheChoice();

private:
    std::unique_ptr<ScratchFolder> m_folder;
};

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
    row("header differs in case", "[Rendering]\na=\"1\"\n",
        "[Rendering]\na=\"1\"\n\n[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("section before another", "[rendering]\na=\"1\"\n; end of rendering\n\n[display]\nb=2\n",
        "[rendering]\na=\"1\"\n; end of rendering\n\nrendering_device/driver=\"d3d12\"\n[display]\nb=2\n");
    row("section last", "[display]\nb=2\n[rendering]\na=\"1\"\n",
        "[display]\nb=2\n[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n");
    row("section last, blank lines at the end", "[rendering]\na=\"1\"\n\n\n",
        "[rendering]\na=\"1\"\n\nrendering_device/driver=\"d3d12\"\n\n");
    row("section last, no final line feed", "[rendering]\na=\"1\"",
        "[rendering]\na=\"1\"\n[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("bare header, no line feed", "[rendering]", "[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("header then white space only", "[rendering] \n\n\t",
        "[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("blank lines and indentation after the header",
        "[rendering]\n\n \n  a=\"1\"\n    b=\"2\"\n[display]\n",
        "[rendering]\na=\"1\"\n    b=\"2\"\nrendering_device/driver=\"d3d12\"\n[display]\n");
    row("text after the header", "[rendering] ; video\na=\"1\"\n",
        "[rendering]\n; video\na=\"1\"\nrendering_device/driver=\"d3d12\"\n");
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
    row("header after other text on its line", "x=1 [rendering]\n",
        "x=1 [rendering]\n\n[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("quoted entries in every section", "rendering_device/driver=\"x\"\n[display]\nrendering_device/driver=\"y\"\n"
                                           "[rendering]\nrendering_device/driver=\"z\" ; note\n",
        "rendering_device/driver=\"d3d12\"\n[display]\nrendering_device/driver=\"d3d12\"\n"
        "[rendering]\nrendering_device/driver=\"d3d12\" ; note\n");
    row("indented entry", "[rendering]\n\trendering_device/driver=\"vulkan\"\n",
        "[rendering]\n\trendering_device/driver=\"d3d12\"\n");
    row("spaces around the equals sign", "[rendering]\nrendering_device/driver = \"vulkan\"\n",
        "[rendering]\nrendering_device/driver=\"d3d12\"\n");
    row("tabs around the equals sign, comment after", "[rendering]\n  rendering_device/driver\t=\t\"vulkan\" ; by hand\n",
        "[rendering]\n  rendering_device/driver=\"d3d12\" ; by hand\n");
    row("unquoted entry not recognised", "[rendering]\nrendering_device/driver=vulkan\n[display]\n",
        "[rendering]\nrendering_device/driver=vulkan\nrendering_device/driver=\"d3d12\"\n[display]\n");
    row("commented-out entries", "[rendering]\n;rendering_device/driver=\"vulkan\"\n; rendering_device/driver=\"gl\"\n",
        "[rendering]\n;rendering_device/driver=\"vulkan\"\n; rendering_device/driver=\"gl\"\n"
        "rendering_device/driver=\"d3d12\"\n");
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
        "[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n[display]\nb=2\n");
    row("byte-order mark", "\xEF\xBB\xBF[rendering]\na=\"1\"\n",
        "[rendering]\na=\"1\"\nrendering_device/driver=\"d3d12\"\n");
    row("invalid UTF-8 kept", "; r\xE9glages vid\xE9o\n[rendering]\na=\"\xFF\xFE\"\n",
        "; r\xE9glages vid\xE9o\n[rendering]\na=\"\xFF\xFE\"\nrendering_device/driver=\"d3d12\"\n");

    const QString special = QStringLiteral("C:\\games\\$1 \\1 $0 & \u00e9");
    QTest::newRow("value taken literally, inserted") << true << QByteArray("[rendering]\n") << special
        << QByteArray("[rendering]\nrendering_device/driver=\"C:\\games\\$1 \\1 $0 & \xC3\xA9\"\n");
    QTest::newRow("value taken literally, replaced") << true << QByteArray("[rendering]\nrendering_device/driver=\"x\"\n")
        << special << QByteArray("[rendering]\nrendering_device/driver=\"C:\\games\\$1 \\1 $0 & \xC3\xA9\"\n");
}

void TestConfig::writing()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);

    if (exists)
        QVERIFY(writeBytes(before));
    QCOMPARE(callConfig({ QStringLiteral("set"), driverKey, value }), QStringList());
    QCOMPARE(readBytes(), onDisk(after));
    QCOMPARE(entriesOf(m_folder->path()), QStringList { configFile });
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
    QTest::newRow("nothing after =") << QByteArray("[rendering]\nrendering_device/driver=\n") << "";
    QTest::newRow("one quote") << QByteArray("[rendering]\nrendering_device/driver=\"\n") << "";
    QTest::newRow("opening quote only") << QByteArray("[rendering]\nrendering_device/driver=\"d3d12\n") << "\"d3d12";
    QTest::newRow("equals sign in value") << QByteArray("[rendering]\nrendering_device/driver=a=b\n") << "a=b";
    QTest::newRow("comment after quoted value")
        << QByteArray("[rendering]\nrendering_device/driver = \"vulkan\" ; chosen by hand\n") << "vulkan";
    QTest::newRow("comment straight after quote") << QByteArray("[rendering]\nrendering_device/driver=\"vulkan\";x\n")
                                                  << "vulkan";
    QTest::newRow("blanks after quote") << QByteArray("[rendering]\nrendering_device/driver=\"vulkan\" \t\n") << "vulkan";
    QTest::newRow("other text after quote") << QByteArray("[rendering]\nrendering_device/driver=\"vulkan\" x\n")
                                            << "\"vulkan\" x";
    QTest::newRow("other text, then a quote") << QByteArray("[rendering]\nrendering_device/driver=\"a\" b \"\n")
                                              << "a\" b ";
    QTest::newRow("header in other case") << QByteArray("[Rendering]\nrendering_device/driver=\"d3d12\"\n") << fallback;
    QTest::newRow("header with text after it")
        << QByteArray("[rendering] ; video\nrendering_device/driver=\"d3d12\"\n") << fallback;
    QTest::newRow("indented header") << QByteArray("  [rendering]\nrendering_device/driver=\"d3d12\"\n") << "d3d12";
    QTest::newRow("section ended") << QByteArray("[rendering]\n[display]\nrendering_device/driver=\"d3d12\"\n")
                                   << fallback;
    QTest::newRow("first entry wins")
        << QByteArray("[rendering]\nrendering_device/driver=\"d3d12\"\nrendering_device/driver=\"vulkan\"\n") << "d3d12";
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
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[rendering]\nrendering_device/driver=\"d3d12\"\n")
                                     << "d3d12";
    QTest::newRow("empty file") << QByteArray() << fallback;
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
             QStringList { warning("Cannot open config file:") });
    QVERIFY(QFileInfo(configFile).isDir());
    QCOMPARE(entriesOf(m_folder->filePath(configFile)), QStringList());
}

// A file the player made read-only is refused and left as it was.
void TestConfig::writeToReadOnlyFile()
{
    const QByteArray before = "[rendering]\nrendering_device/driver=\"vulkan\"\n";
    QVERIFY(writeBytes(before));
    QVERIFY(QFile::setPermissions(configFile, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const auto writable = qScopeGuard([] { QFile::setPermissions(configFile, QFile::ReadOwner | QFile::WriteOwner); });
    const QStringList set = { QStringLiteral("set"), driverKey, QStringLiteral("d3d12") };
#ifdef Q_OS_UNIX
    const FolderMode mode(m_folder->path(), readOnlyForAll | QFile::WriteOwner);
    const QStringList logged = callUnprivileged(*m_folder, set);
#else
    if (QFile probe(configFile); probe.open(QIODevice::ReadWrite))
        QSKIP("read-only files are writable for this user (Wine run by root)");
    const QStringList logged = callConfig(set);
#endif
    QCOMPARE(logged, QStringList { warning("Cannot open config file:") });
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
             QStringList { warning("Cannot open config file:") });
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
             QStringList { warning("Cannot create config file:") });
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

    QCOMPARE(logged, QStringList { warning("Cannot write to config file:") });
    QCOMPARE(readBytes(), before);
    QCOMPARE(entriesOf(m_folder->path()), QStringList { configFile });
#else
    QSKIP("the file size limit exists on POSIX systems only");
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
#else
    QSKIP("links are a POSIX case");
#endif
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
    QVERIFY(readBytes() == onDisk(section + "rendering_device/driver=\"d3d12\"\n" + rest));
    QCOMPARE(callConfig({ QStringLiteral("get"), driverKey, QStringLiteral("vulkan") }),
             QStringList { QStringLiteral("value: d3d12") });
}

// Files as players leave them, for every driver choice: the game must find the choice
// in its rendering section and every other entry as it was.
void TestConfig::gameReadsTheChoice_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

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
    };
    struct Choice { const char *name, *method, *key, *value; };
    const Choice choices[] = {
        { "vulkan", "forward_plus", "rendering_device/driver", "vulkan" },
        { "d3d12", "forward_plus", "rendering_device/driver", "d3d12" },
        { "opengl3", "gl_compatibility", "gl_compatibility/driver", "opengl3" },
        { "angle", "gl_compatibility", "gl_compatibility/driver", "opengl3_angle" },
    };
    for (const auto &file : files) {
        for (const Choice &choice : choices) {
            QTest::addRow("%s, %s", file.first, choice.name)
                << file.second << QString::fromLatin1(choice.method) << QString::fromLatin1(choice.key)
                << QString::fromLatin1(choice.value);
        }
    }
}

void TestConfig::gameReadsTheChoice()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, method);
    QFETCH(QString, key);
    QFETCH(QString, value);

    QVERIFY(writeBytes(before));
    QCOMPARE(callConfig({ QStringLiteral("set"), QStringLiteral("renderer/rendering_method"), method })
                 + callConfig({ QStringLiteral("set"), key, value }),
             QStringList());

    QMap<QByteArray, QByteArray> expected = gameView(before);
    expected.insert("rendering/renderer/rendering_method", method.toUtf8());
    expected.insert("rendering/" + key.toUtf8(), value.toUtf8());
    QCOMPARE(gameView(readBytes()), expected);
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
    QCoreApplication app(argc, argv);
    TestConfig test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_config.moc"
