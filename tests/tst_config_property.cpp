// setSetting over many generated files as players and tools leave them: no line other
// than the key's own entries changes, moves or disappears, and the reader then finds
// the value written.

#include "configtestutil.h"
#include "mainwindow.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

using namespace configtest;

namespace {

using Lines = QList<QByteArray>;

const QByteArray header = QByteArrayLiteral("[rendering]");

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray withoutIndent(const QByteArray &line)
{
    qsizetype pos = 0;
    while (pos < line.size() && isBlank(line[pos]))
        ++pos;
    return line.mid(pos);
}

bool isBlankLine(const QByteArray &line)
{
    return withoutIndent(line).isEmpty();
}

// An entry of the key: the key at the start of the line after blanks, then blanks and "=".
bool isEntry(const QByteArray &line, const QByteArray &key)
{
    const QByteArray rest = withoutIndent(line);
    return rest.startsWith(key) && withoutIndent(rest.mid(key.size())).startsWith('=');
}

// For each line, whether it is an entry of the key that the writer rewrites: one whose
// nearest header line above opens the rendering section, whatever follows the header.
QList<bool> occurrences(const Lines &lines, const QByteArray &key)
{
    QList<bool> result;
    bool inRendering = false;
    for (const QByteArray &line : lines) {
        if (withoutIndent(line).startsWith('['))
            inRendering = withoutIndent(line).startsWith(header);
        result.append(inRendering && isEntry(line, key));
    }
    return result;
}

qsizetype firstHeaderLine(const Lines &lines)
{
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (withoutIndent(lines[i]).startsWith(header))
            return i;
    }
    return -1;
}

// The changes an insertion may make right after the first header: text after the header
// moves to a line of its own; without such text, the blank lines after the header go and
// the next line loses its indentation. Applied alike to the lines before and after a write.
Lines placementNormalised(Lines lines)
{
    const qsizetype at = firstHeaderLine(lines);
    if (at < 0)
        return lines;
    const qsizetype headerEnd = lines[at].indexOf(header) + header.size();
    const QByteArray rest = lines[at].mid(headerEnd).trimmed();
    lines[at].truncate(headerEnd);
    if (!rest.isEmpty()) {
        lines.insert(at + 1, rest);
        return lines;
    }
    while (at + 1 < lines.size() && isBlankLine(lines[at + 1]))
        lines.removeAt(at + 1);
    if (at + 1 < lines.size())
        lines[at + 1] = withoutIndent(lines[at + 1]);
    return lines;
}

Lines withoutOccurrences(const Lines &lines, const QByteArray &key)
{
    const QList<bool> isOccurrence = occurrences(lines, key);
    Lines kept;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!isOccurrence[i])
            kept.append(lines[i]);
    }
    return kept;
}

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

QByteArray printable(const Lines &lines)
{
    return printable(lines.join('\n'));
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
    const Lines values = { "vulkan", "d3d12", "", "a b" };
    QByteArray text = random.bounded(10) == 0 ? QByteArray("\xEF\xBB\xBF") : QByteArray();
    const int lineCount = random.bounded(14);
    const bool crlf = random.bounded(3) == 0;
    // Half of the files hold the key only quoted, in sections under a bare header.
    const bool tidy = random.bounded(2) == 0;
    bool underBareHeader = false;
    for (int i = 0; i < lineCount; ++i) {
        const QByteArray indent = pick(random, indents);
        const QByteArray value = pick(random, values);
        QByteArray line;
        switch (random.bounded(12)) {
        case 0:
        case 1:
            line = indent + header + pick(random, { "", "", " ", " ; video", "\t;x" });
            underBareHeader = line.trimmed() == header;
            break;
        case 2:
            line = indent + pick(random, { "[display]", "[audio]", "[Rendering]", "[rendering.extra]" });
            underBareHeader = false;
            break;
        case 3:
            line = indent + pick(random, { "; note", "; options go under [rendering]", ";" + key + "=\"old\"",
                                           "; " + key + " = \"mobile\"", "; r\xE9glages \xFF", "; old\rnote" });
            break;
        case 4:
            line = pick(random, { "", "", "  ", "\t" });
            break;
        case 5:
        case 6:
            line = indent + pick(random, { "a=\"1\"", "window/size = 2", "x=y ; c", "b=\"\xC3\xA9\xFE\"", "c=\"\r\"" });
            break;
        case 7:
            line = pick(random, { "x=1 [rendering]", "[display] ; not [rendering]", "old_" + key + "=\"" + value + "\"",
                                  key + "2=\"" + value + "\"" });
            underBareHeader = underBareHeader && !line.startsWith('[');
            break;
        default:
            if (tidy && !underBareHeader) {
                line = "; " + key;
                break;
            }
            line = indent + key
                + pick(random, { "=\"" + value + "\"", " = \"" + value + "\"", "\t=\"" + value + "\" ; c",
                                 "=\"" + value, "=\"" + value + " ; unclosed" });
            if (!tidy && random.bounded(3) == 0)
                line = indent + key + "=" + value;
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
    void anyWriteKeepsEveryOtherLine();

private:
    std::unique_ptr<ScratchFolder> m_folder;
};

void TestConfigProperty::anyWriteKeepsEveryOtherLine()
{
    const Lines keys = { "renderer/rendering_method", "rendering_device/driver", "gl_compatibility/driver" };
    const QStringList values = { QStringLiteral("vulkan"), QString(), QStringLiteral("C:\\$1\\0 \u00e9t\u00e9") };
    QRandomGenerator random(20240611);
    int appended = 0;
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
        QByteArray after = readBytes();

        // Writing the same value again writes nothing: the file keeps its time.
        const QDateTime longAgo(QDate(2001, 2, 3), QTime(4, 5, 6), QTimeZone::utc());
        QVERIFY(setModificationTime(configFile, longAgo));
        QVERIFY2(setSetting(QString::fromUtf8(key), value), context.constData());
        QVERIFY2(readBytes() == after, context.constData());
        QVERIFY2(QFileInfo(configFile).lastModified().toUTC() == longAgo, context.constData());
        QVERIFY2(log.take().isEmpty(), context.constData());

        // The reader finds the value written.
        QVERIFY2(getSetting(QString::fromUtf8(key), QStringLiteral("<default>")) == value, context.constData());

        // Only the carriage return of a CR LF may go; lines are compared without it.
        QByteArray original = before;
        if (original.startsWith("\xEF\xBB\xBF"))
            original.remove(0, 3);
        original.replace("\r\n", "\n");
        after.replace("\r\n", "\n");
        const Lines originalLines = original.split('\n');
        const Lines afterLines = after.split('\n');

        // The key's entries in rendering sections: every one rewritten, or one added.
        const QByteArray entry = key + "=\"" + value.toUtf8() + '"';
        const QList<bool> rewritten = occurrences(afterLines, key);
        for (qsizetype i = 0; i < afterLines.size(); ++i) {
            if (rewritten[i]) {
                const QByteArray rest = withoutIndent(afterLines[i]).mid(entry.size());
                QVERIFY2(withoutIndent(afterLines[i]).startsWith(entry) && !rest.startsWith('"')
                             && (withoutIndent(rest).isEmpty() || withoutIndent(rest).startsWith(';')
                                 || rest.startsWith('\r')),
                         (context + " wrote: " + printable(afterLines[i])).constData());
            }
        }
        const qsizetype occurrenceCount = rewritten.count(true);
        const qsizetype originalOccurrences = occurrences(originalLines, key).count(true);
        QVERIFY2(occurrenceCount == qMax(qsizetype(1), originalOccurrences), context.constData());

        // Every other line, in order, byte for byte; a new section may follow them only
        // when the file has no rendering header or its first one runs to an unended line.
        const Lines kept = withoutOccurrences(originalLines, key);
        Lines written = withoutOccurrences(afterLines, key);
        const Lines newSection = { header, "" };
        if (written.size() == kept.size() + 2 && written.mid(kept.size()) == newSection) {
            const qsizetype first = firstHeaderLine(originalLines);
            bool laterHeader = false;
            for (qsizetype i = first + 1; first >= 0 && i < originalLines.size(); ++i)
                laterHeader = laterHeader || withoutIndent(originalLines[i]).startsWith('[');
            QVERIFY2(first < 0 || (!laterHeader && !original.endsWith('\n')), context.constData());
            written.resize(kept.size());
            ++appended;
        }
        QVERIFY2(placementNormalised(written) == placementNormalised(kept),
                 (context + "\n   kept: " + printable(placementNormalised(kept))
                  + "\nwritten: " + printable(placementNormalised(written))).constData());
    }
    // The generator must reach the interesting cases often enough to mean something.
    QVERIFY2(appended > 10, QByteArray::number(appended).constData());
}

QTEST_GUILESS_MAIN(TestConfigProperty)

#include "tst_config_property.moc"
