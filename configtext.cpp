#include "configtext.h"

#include <QList>

#include <utility>

// The text is handled as bytes, not decoded, so that a comment saved in another
// encoding survives a rewrite unchanged. Everything searched for is ASCII.

namespace {

const QByteArray renderingHeader = QByteArrayLiteral("[rendering]");
const QByteArray byteOrderMark = QByteArrayLiteral("\xEF\xBB\xBF");

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isAsciiSpace(char c)
{
    return isBlank(c) || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

qsizetype skipBlanks(QByteArrayView text, qsizetype pos)
{
    while (pos < text.size() && isBlank(text[pos]))
        ++pos;
    return pos;
}

qsizetype endOfLine(QByteArrayView text, qsizetype pos)
{
    const qsizetype lineFeed = text.indexOf('\n', pos);
    return lineFeed < 0 ? text.size() : lineFeed;
}

// The one rule for headers, shared by the reader, the rewrite and the insertion: a line
// whose first non-blank character is "[" is a header, and it opens the rendering section
// when the name up to the first "]" is "rendering". Whatever follows the "]" does not
// count.
enum class LineKind { NotHeader, OtherHeader, RenderingHeader };

LineKind lineKind(QByteArrayView text, qsizetype lineStart)
{
    const qsizetype pos = skipBlanks(text, lineStart);
    if (pos == text.size() || text[pos] != '[')
        return LineKind::NotHeader;
    return text.sliced(pos).startsWith(renderingHeader) ? LineKind::RenderingHeader : LineKind::OtherHeader;
}

struct Entry
{
    qsizetype begin; // the key
    qsizetype end; // the end of what a rewrite replaces
    qsizetype valueBegin; // after "=" and blanks
    qsizetype valueEnd; // an unquoted value's end before any comment; a quoted one's line end
    bool quoted;
};

// The key's entries in rendering sections, in the order of the file. The key begins its
// line (after blanks, which stay), and blanks may stand around "=". A quoted value ends
// at its closing quote, or at the end of its line when that is missing, so that a
// rewrite never reaches into the next line. An unquoted value runs up to a ";" comment
// or the line end, without the blanks and carriage returns before them. Text after the
// value, such as a comment, is never part of the entry.
QList<Entry> renderingEntries(QByteArrayView text, QByteArrayView key)
{
    QList<Entry> entries;
    if (key.isEmpty())
        return entries;
    bool inRenderingSection = false;
    for (qsizetype lineStart = 0; lineStart < text.size();) {
        const qsizetype lineEnd = endOfLine(text, lineStart);
        const LineKind kind = lineKind(text, lineStart);
        if (kind != LineKind::NotHeader) {
            inRenderingSection = kind == LineKind::RenderingHeader;
        } else if (inRenderingSection) {
            const qsizetype at = skipBlanks(text, lineStart);
            const bool keyFirst = text.sliced(at, lineEnd - at).startsWith(key);
            const qsizetype equals = keyFirst ? skipBlanks(text, at + key.size()) : lineEnd;
            if (equals < lineEnd && text[equals] == '=') {
                Entry entry { at, lineEnd, skipBlanks(text, equals + 1), lineEnd, false };
                const QByteArrayView rest = text.sliced(entry.valueBegin, lineEnd - entry.valueBegin);
                entry.quoted = rest.startsWith('"');
                if (entry.quoted) {
                    const qsizetype closingQuote = rest.indexOf('"', 1);
                    if (closingQuote > 0)
                        entry.end = entry.valueBegin + closingQuote + 1;
                } else {
                    const qsizetype comment = rest.indexOf(';');
                    entry.valueEnd = comment < 0 ? lineEnd : entry.valueBegin + comment;
                    while (entry.valueEnd > entry.valueBegin
                           && (isBlank(text[entry.valueEnd - 1]) || text[entry.valueEnd - 1] == '\r'))
                        --entry.valueEnd;
                    entry.end = entry.valueEnd > entry.valueBegin ? entry.valueEnd : equals + 1;
                }
                entries.append(entry);
            }
        }
        lineStart = lineEnd + 1;
    }
    return entries;
}

// A value in double quotes is the text between them, whatever follows the closing quote,
// as the game reads it. One whose quote is never closed keeps it, but a lone quote is an
// empty value.
QByteArray quotedValue(QByteArrayView value)
{
    const qsizetype closingQuote = value.indexOf('"', 1);
    if (closingQuote > 0)
        return value.sliced(1, closingQuote - 1).toByteArray();
    return value.size() > 1 ? value.toByteArray() : QByteArray("");
}

// Appends through a pointer: appending a view costs Qt 6.4 many times more.
void appendBytes(QByteArray &to, QByteArrayView bytes)
{
    to.append(bytes.data(), bytes.size());
}

QByteArray replaceEntries(QByteArrayView text, const QList<Entry> &entries, const QByteArray &replacement)
{
    QByteArray result;
    result.reserve(text.size() + entries.size() * replacement.size());
    qsizetype copied = 0;
    for (const Entry &entry : entries) {
        appendBytes(result, text.sliced(copied, entry.begin - copied));
        result.append(replacement);
        copied = entry.end;
    }
    appendBytes(result, text.sliced(copied));
    return result;
}

// Inserts the entry lines (without the last one's line feed) at the end of the first
// rendering section, or appends a new section when there is none or when that section
// runs to an unterminated last line. The section ends before the next header line, or
// before a final line feed. White space after the header is dropped, so any text that
// followed it gets a line of its own. A plain scan rather than a regular expression: it
// gives the same result at any size.
QByteArray insertEntry(QByteArrayView text, const QByteArray &entry)
{
    qsizetype headerAt = -1;
    for (qsizetype lineStart = 0; lineStart < text.size(); lineStart = endOfLine(text, lineStart) + 1) {
        if (lineKind(text, lineStart) == LineKind::RenderingHeader) {
            headerAt = skipBlanks(text, lineStart);
            break;
        }
    }

    if (headerAt >= 0) {
        qsizetype bodyStart = headerAt + renderingHeader.size();
        while (bodyStart < text.size() && isAsciiSpace(text[bodyStart]))
            ++bodyStart;
        for (qsizetype pos = bodyStart;;) {
            const bool atEnd = pos == text.size() || (pos == text.size() - 1 && text[pos] == '\n');
            if (atEnd || lineKind(text, pos) != LineKind::NotHeader) {
                QByteArray result;
                result.reserve(text.size() + entry.size() + 2);
                appendBytes(result, text.first(headerAt));
                result.append(renderingHeader).append('\n');
                appendBytes(result, text.sliced(bodyStart, pos - bodyStart));
                result.append(entry).append('\n');
                appendBytes(result, text.sliced(pos));
                return result;
            }
            const qsizetype lineFeed = text.indexOf('\n', pos);
            if (lineFeed < 0)
                break;
            pos = lineFeed + 1;
        }
    }
    QByteArray result = text.toByteArray();
    result.append('\n').append(renderingHeader).append('\n').append(entry).append('\n');
    return result;
}

} // namespace

std::optional<QByteArray> configValue(QByteArrayView text, QByteArrayView key)
{
    if (text.startsWith(byteOrderMark))
        text = text.sliced(byteOrderMark.size());
    const QList<Entry> entries = renderingEntries(text, key);
    for (auto entry = entries.crbegin(); entry != entries.crend(); ++entry) {
        const QByteArrayView value = text.sliced(entry->valueBegin, entry->valueEnd - entry->valueBegin).trimmed();
        if (entry->quoted)
            return quotedValue(value);
        // An empty entry never selects anything of its own: an earlier one applies.
        if (!value.isEmpty())
            return value.toByteArray();
    }
    return std::nullopt;
}

std::optional<QByteArray> configValueOnWindows(QByteArrayView text, QByteArrayView key)
{
    if (std::optional<QByteArray> value = configValue(text, key.toByteArray() + windowsVariantSuffix))
        return value;
    return configValue(text, key);
}

std::optional<QByteArray> configWithValues(QByteArrayView text, const QList<ConfigSetting> &settings)
{
    // The game cannot read a file that starts with a byte-order mark: dropping it is a
    // change of its own.
    const bool byteOrderMarkDropped = text.startsWith(byteOrderMark);
    if (byteOrderMarkDropped)
        text = text.sliced(byteOrderMark.size());
    // Only the carriage return of a CR LF belongs to the line end; any other is text.
    // Done once for all keys: a lone carriage return may now stand before a line feed,
    // and a second pass would take it for half of a CR LF. Copied only when there is
    // one, and below only when an edit changes it: a large file costs fewer copies.
    QByteArray withoutCrLf;
    if (text.indexOf('\r') >= 0) {
        withoutCrLf = text.toByteArray().replace("\r\n", "\n");
        text = withoutCrLf;
    }
    QByteArray edited;
    QByteArrayView current = text;
    const auto keep = [&](QByteArray next) {
        edited = std::move(next);
        current = edited;
    };

    QByteArray missing;
    for (const ConfigSetting &setting : settings) {
        const QByteArray entry = setting.key + "=\"" + setting.value + '"';
        const QList<Entry> entries = renderingEntries(current, setting.key);
        if (!entries.isEmpty())
            keep(replaceEntries(current, entries, entry));
        else
            missing += missing.isEmpty() ? entry : '\n' + entry;
    }
    if (!missing.isEmpty())
        keep(insertEntry(current, missing));
    // Line ends alone are no change: a file that already holds every value is left as
    // it is, whatever its line ends.
    if (!byteOrderMarkDropped && current == text)
        return std::nullopt;

    QByteArray result = current.data() == edited.constData() ? std::move(edited) : current.toByteArray();
#ifdef Q_OS_WIN
    result.replace("\n", "\r\n");
#endif
    return result;
}
