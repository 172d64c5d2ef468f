// setSetting over many generated files as players, guides and tools leave them: the game
// then reads the value written, every other setting it read keeps its value, no comment
// and nothing after where the game stops is lost, and writing again changes nothing.

#include "configtestutil.h"
#include "configtext.h"
#include "mainwindow.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

#include <algorithm>

using namespace configtest;

namespace {

using Lines = QList<QByteArray>;

QByteArray printable(const QByteArray &text)
{
    QByteArray shown;
    for (const char c : text) {
        if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else if (c == '\t')
            shown += "\\t";
        else if (uchar(c) < 0x20 || uchar(c) >= 0x7f)
            shown += "\\x" + QByteArray::number(uchar(c), 16);
        else
            shown += c;
    }
    return shown;
}

QByteArray pick(QRandomGenerator &random, const Lines &choices)
{
    return choices[random.bounded(int(choices.size()))];
}

// A file of a few lines, each of a randomly chosen kind, with the key's own entries in
// every form, line ends LF or CR LF, and sometimes a byte-order mark or no final line feed.
QByteArray generatedFile(QRandomGenerator &random, const QByteArray &key)
{
    const Lines indents = { "", "", " ", "\t", "  \t" };
    const Lines values = { "vulkan", "d3d12", "", "a b", "Vulkan" };
    QByteArray text = random.bounded(10) == 0 ? QByteArray("\xEF\xBB\xBF") : QByteArray();
    const int lineCount = random.bounded(14);
    const bool crlf = random.bounded(3) == 0;
    for (int i = 0; i < lineCount; ++i) {
        const QByteArray indent = pick(random, indents);
        const QByteArray value = pick(random, values);
        QByteArray line;
        switch (random.bounded(12)) {
        case 0:
        case 1:
            line = indent + pick(random, { "[rendering]", "[rendering]", "[ rendering ]", "[rendering] ; video",
                                           "[rendering]\t;x", "[rendering] # video" });
            break;
        case 2:
            line = indent + pick(random, { "[display]", "[audio]", "[Rendering]", "[rendering.extra]" });
            break;
        case 3:
            line = indent + pick(random, { "; note", "; options go under [rendering]", ";" + key + "=\"old\"",
                                           "# note", "// " + key + " = \"mobile\"", "; r\xE9glages \xFF", "; old\rnote" });
            break;
        case 4:
            line = pick(random, { "", "", "  ", "\t" });
            break;
        case 5:
        case 6:
            line = indent + pick(random, { "a=\"1\"", "window/size = 2", "b=\"\xC3\xA9\xFE\"", "c=\"\r\"",
                                           "list=[1,\n  \"x;y\" ; z\n]", "\"quoted key\"=true", "d=\"two\nlines\"",
                                           "e=\"two\r\nlines\"", "shadow/color=#", "x=y ; c" });
            break;
        case 7:
            line = pick(random, { "x=1 [rendering]", "[display] ; not [rendering]", "old_" + key + "=\"" + value + "\"",
                                  key + "2=\"" + value + "\"", "stray words" });
            break;
        default:
            line = indent + (random.bounded(6) == 0 ? QByteArray(key).replace("/", " / ") : key)
                + pick(random, { "=\"" + value + "\"", " = \"" + value + "\"", "\t=\"" + value + "\" ; c",
                                 "=\"" + value, "=\"" + value + " ; unclosed", "=" + value, "='" + value + "'",
                                 " = ; none", "=\"" + value + "\n\"" });
            break;
        }
        text += line;
        if (i + 1 < lineCount || random.bounded(4) != 0)
            text += crlf || random.bounded(8) == 0 ? "\r\n" : "\n";
    }
    return text;
}

} // namespace

class TestConfigProperty : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_folder.reset(new ScratchFolder); }
    void cleanup() { m_folder.reset(); }
    void anyWriteReachesTheGameAndKeepsTheRest();

private:
    std::unique_ptr<ScratchFolder> m_folder;
};

void TestConfigProperty::anyWriteReachesTheGameAndKeepsTheRest()
{
    QList<QByteArray> keys;
    for (const QByteArray &key : launcherKeys())
        keys << key << key + windowsVariantSuffix;
    const QStringList values = { QStringLiteral("vulkan"), QString(), QStringLiteral("C:\\$1\\0 \u00e9t\u00e9") };
    QRandomGenerator random(20240611);
    int repaired = 0;
    int stopped = 0;
    for (int round = 0; round < 400; ++round) {
        const QByteArray key = pick(random, keys);
        const QString value = values[random.bounded(int(values.size()))];
        const QByteArray before = generatedFile(random, key);
        const QByteArray context = "file " + QByteArray::number(round) + ": \"" + printable(before) + "\", key "
            + key + ", value \"" + value.toUtf8() + "\"";

        QVERIFY(writeBytes(before));
        LogCapture log;
        QVERIFY2(setSetting(QString::fromUtf8(key), value), context.constData());
        QVERIFY2(log.take().isEmpty(), context.constData());
        const QByteArray after = readBytes();

        // Writing the same value again writes nothing: the file keeps its time.
        const QDateTime longAgo(QDate(2001, 2, 3), QTime(4, 5, 6), QTimeZone::utc());
        QVERIFY(setModificationTime(configFile, longAgo));
        QVERIFY2(setSetting(QString::fromUtf8(key), value), context.constData());
        QVERIFY2(readBytes() == after, context.constData());
        QVERIFY2(QFileInfo(configFile).lastModified().toUTC() == longAgo, context.constData());
        QVERIFY2(log.take().isEmpty(), context.constData());
        QVERIFY2(getSetting(QString::fromUtf8(key), QStringLiteral("<default>")) == value, context.constData());

        // What the text says, without the mark, against what the game reads now.
        const QByteArray original = before.startsWith("\xEF\xBB\xBF") ? before.mid(3) : before;
        const GameView was = gameView(original);
        const GameView now = gameView(after);
        const QByteArray written = "rendering/" + key;
        const QByteArray shown = context + "\n  wrote: \"" + printable(after) + '"';
        QVERIFY2(now.entries.contains(written) && now.entries[written] == value.toUtf8(), shown.constData());
        // Every other entry the game read is read as before, also where a repair lets the
        // game read on, which may set a key again. So is every comment, but that a repair
        // may make text after it, and a comment there, part of a string or a quoted key.
        for (auto setting = was.assignments.cbegin(); setting != was.assignments.cend(); ++setting) {
            const bool launcherKey = keys.contains(setting.key().mid(qstrlen("rendering/")));
            QVERIFY2(launcherKey || now.assignments.value(setting.key()).mid(0, setting.value().size()) == setting.value(),
                     (shown + " lost " + setting.key()).constData());
        }
        const QList<ConfigEntry> entries = readConfig(original).entries;
        const auto repair = std::find_if(entries.begin(), entries.end(), [](const ConfigEntry &e) { return e.repaired; });
        const QList<QByteArray> comments =
            repair == entries.end() ? was.comments : gameView(original.first(repair->valueBegin)).comments;
        qsizetype kept = 0;
        for (const QByteArray &comment : now.comments)
            kept += kept < comments.size() && comment == comments[kept];
        QVERIFY2(kept == comments.size(), shown.constData());
        // Where the game still stops, the text from there on is the player's, unchanged.
        if (now.parseError) {
            QByteArray rest = after.mid(now.stop);
            while (!rest.isEmpty() && uchar(rest[0]) <= 32)
                rest.remove(0, 1);
            QVERIFY2(original.endsWith(rest), shown.constData());
            ++stopped;
        }
        repaired += was.parseError && !now.parseError;
    }
    // The generator must reach the interesting cases often enough to mean something.
    QVERIFY2(repaired > 10 && stopped > 10, qPrintable(QStringLiteral("%1 %2").arg(repaired).arg(stopped)));
}

QTEST_GUILESS_MAIN(TestConfigProperty)

#include "tst_config_property.moc"
