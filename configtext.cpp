#include "configtext.h"
#include "driverchoices.h"

#include <QHash>
#include <QStringDecoder>
#include <QVarLengthArray>

#include <algorithm>
#include <string>
#include <utility>

// The text is handled as bytes, not decoded, so that a comment saved in another
// encoding survives a rewrite unchanged. Everything searched for is ASCII.

namespace {

const QByteArray byteOrderMark = QByteArrayLiteral("\xEF\xBB\xBF");
const QByteArray renderingSection = QByteArrayLiteral("rendering");

// What the game drops around the parts of a key and before a value: blanks, line ends
// and every other control character.
bool isSpace(char c)
{
    return uchar(c) <= 32;
}

bool isLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isNameStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isNameChar(char c)
{
    return isNameStart(c) || isDigit(c);
}

// The characters that a key simply gathers, in a table: reading a key is the hot loop.
struct KeyCharacters
{
    bool plain[256] = {};
    constexpr KeyCharacters()
    {
        for (int c = 33; c < 256; ++c)
            plain[c] = c != ';' && c != '"' && c != '=' && c != '[';
    }
};
constexpr KeyCharacters keyCharacters;

// Whether the first line, its line feed included, looks like UTF-16 of the given byte
// order: a NUL in every second byte, and in no other. UTF-8 text never has a NUL there.
bool firstLineIsUtf16(QByteArrayView text, bool littleEndian)
{
    if (text.size() < 2 || text.size() % 2 != 0)
        return false;
    for (qsizetype i = 0; i + 1 < text.size(); i += 2) {
        const char low = littleEndian ? text[i] : text[i + 1];
        const char high = littleEndian ? text[i + 1] : text[i];
        if (high != 0 || low == 0)
            return false;
        if (low == '\n')
            break;
    }
    return true;
}

// A file saved as "Unicode" by an old editor, with a byte-order mark or without one, as
// the UTF-8 text it holds; nothing for any other file, and for one that does not decode.
std::optional<QByteArray> fromUtf16(QByteArrayView text)
{
    QStringDecoder::Encoding encoding;
    bool marked = true;
    if (text.startsWith("\xFF\xFE")) {
        encoding = QStringDecoder::Utf16LE;
    } else if (text.startsWith("\xFE\xFF")) {
        encoding = QStringDecoder::Utf16BE;
    } else if (firstLineIsUtf16(text, true)) {
        encoding = QStringDecoder::Utf16LE;
        marked = false;
    } else if (firstLineIsUtf16(text, false)) {
        encoding = QStringDecoder::Utf16BE;
        marked = false;
    } else {
        return std::nullopt;
    }
    QStringDecoder decoder(encoding);
    const QString decoded = decoder(marked ? text.sliced(2) : text);
    // Without a mark, only a text that is UTF-16 through and through counts as one.
    if (!marked && (decoder.hasError() || !QStringView(decoded).isValidUtf16()))
        return std::nullopt;
    return decoded.toUtf8();
}

// The text of a string between its quotes, its escapes resolved.
QByteArray unescaped(QByteArrayView quoted)
{
    if (!quoted.contains('\\'))
        return quoted.toByteArray();
    QByteArray text;
    text.reserve(quoted.size());
    for (qsizetype i = 0; i < quoted.size(); ++i) {
        if (quoted[i] != '\\' || i + 1 == quoted.size()) {
            text += quoted[i];
            continue;
        }
        const char escaped = quoted[++i];
        switch (escaped) {
        case 'b': text += '\b'; break;
        case 't': text += '\t'; break;
        case 'n': text += '\n'; break;
        case 'f': text += '\f'; break;
        case 'r': text += '\r'; break;
        case 'u': {
            // Code units, a surrogate pair taken together.
            QString units;
            while (i + 4 < quoted.size() && std::all_of(quoted.begin() + i + 1, quoted.begin() + i + 5, isHexDigit)) {
                units += QChar(char16_t(quoted.sliced(i + 1, 4).toUShort(nullptr, 16)));
                i += 4;
                if (!units.back().isHighSurrogate() || !quoted.sliced(i + 1).startsWith("\\u"))
                    break;
                i += 2;
            }
            text += units.isEmpty() ? QByteArray("u") : units.toUtf8();
            break;
        }
        default:
            text += escaped; // \" \\ \/ \' and any other character stand for themselves
        }
    }
    return text;
}

// A value as the game reads a string: in double quotes, the quote, the backslash and
// line ends escaped, so that it stays on its line.
QByteArray quoted(QByteArrayView value)
{
    QByteArray text;
    text.reserve(value.size() + 2);
    text += '"';
    for (const char c : value) {
        if (c == '\n' || c == '\r') {
            text += c == '\n' ? "\\n" : "\\r";
            continue;
        }
        if (c == '"' || c == '\\')
            text += '\\';
        text += c;
    }
    text += '"';
    return text;
}

// Appends through a pointer: appending a view costs Qt 6.4 many times more.
void appendBytes(QByteArray &to, QByteArrayView bytes)
{
    to.append(bytes.data(), bytes.size());
}

// One pass over the text as the game reads it, noting the entries of the keys asked for.
class Reader
{
public:
    Reader(QByteArrayView text, const QList<QByteArray> &otherKeys) : t(text), n(text.size())
    {
        for (const QByteArray &key : launcherKeys())
            m_keys << key << key + windowsVariantSuffix;
        m_repairable = m_keys.size();
        for (const QByteArray &key : otherKeys) {
            if (!m_keys.contains(key))
                m_keys.append(key);
        }
        for (const QByteArray &key : std::as_const(m_keys))
            m_settingNames.append(renderingSection + '/' + key);
    }

    ConfigReading read();

private:
    qsizetype lineFeedOrEnd(qsizetype p) const
    {
        const qsizetype lineFeed = t.indexOf('\n', p);
        return lineFeed < 0 ? n : lineFeed;
    }
    qsizetype skipSpace(qsizetype p) const;
    qsizetype stringEnd(qsizetype p) const;
    qsizetype numberEnd(qsizetype p) const;
    qsizetype valueEnd(qsizetype p, qsizetype *failedAt) const;
    struct KeyStop
    {
        enum Kind { Equals, Header, End, Unreadable } kind;
        qsizetype at; // after "=", at "[", or where the text ends in a quoted key
    };
    KeyStop readKey(qsizetype p, std::string &key) const;
    bool readsOnFrom(qsizetype p) const;
    int keyIndex(QByteArrayView section, QByteArrayView key) const;
    bool readAsMeant(qsizetype afterEquals, ConfigEntry &entry, qsizetype &resume);

    QByteArrayView t;
    qsizetype n;
    QList<QByteArray> m_keys;
    QList<QByteArray> m_settingNames; // "rendering/" and the key
    qsizetype m_repairable = 0; // the launcher's own keys come first
    qsizetype m_failedTrialsEnd = 0; // see readAsMeant()
};

// Blanks, line ends and comments before a value.
qsizetype Reader::skipSpace(qsizetype p) const
{
    while (p < n) {
        if (isSpace(t[p]))
            ++p;
        else if (t[p] == ';')
            p = lineFeedOrEnd(p);
        else
            break;
    }
    return p;
}

// The end of the string whose opening quote is at p, after its closing quote; -1 when
// the text ends first.
qsizetype Reader::stringEnd(qsizetype p) const
{
    for (++p; p < n; ++p) {
        if (t[p] == '\\')
            ++p;
        else if (t[p] == '"')
            return p + 1;
    }
    return -1;
}

qsizetype Reader::numberEnd(qsizetype p) const
{
    if (t[p] == '+' || t[p] == '-')
        ++p;
    const qsizetype integer = p;
    while (p < n && isDigit(t[p]))
        ++p;
    bool digits = p > integer;
    if (p < n && t[p] == '.') {
        const qsizetype fraction = ++p;
        while (p < n && isDigit(t[p]))
            ++p;
        digits = digits || p > fraction;
    }
    if (!digits)
        return -1;
    if (p < n && (t[p] == 'e' || t[p] == 'E')) {
        qsizetype exponent = p + 1;
        if (exponent < n && (t[exponent] == '+' || t[exponent] == '-'))
            ++exponent;
        const qsizetype exponentDigits = exponent;
        while (exponent < n && isDigit(t[exponent]))
            ++exponent;
        if (exponent > exponentDigits)
            p = exponent;
    }
    return p;
}

// The end of the value that starts at p, or -1 where the game fails to read one there;
// `failedAt` then receives where it failed. Arrays, dictionaries and constructors nest
// without recursion, so that no file can exhaust the stack.
qsizetype Reader::valueEnd(qsizetype p, qsizetype *failedAt) const
{
    QVarLengthArray<char, 16> closers;
    const auto fail = [&] {
        *failedAt = p;
        return qsizetype(-1);
    };
    for (;;) {
        p = skipSpace(p);
        if (p == n)
            return fail();
        char c = t[p];
        if (!closers.isEmpty() && c == closers.back()) { // empty, or after a trailing comma
            closers.pop_back();
            ++p;
        } else if (c == '[' || c == '{') {
            closers.append(c == '[' ? ']' : '}');
            ++p;
            continue;
        } else if (c == '"') {
            const qsizetype end = stringEnd(p);
            if (end < 0)
                return fail();
            p = end;
        } else if (c == '#') { // a colour; "#" alone is black
            ++p;
            while (p < n && isHexDigit(t[p]))
                ++p;
        } else if (isNameStart(c)) {
            qsizetype end = p + 1;
            while (end < n && isNameChar(t[end]))
                ++end;
            if (end < n && t[end] == '(') {
                closers.append(')');
                p = end + 1;
                continue;
            }
            const QByteArrayView name = t.sliced(p, end - p);
            if (name != "true" && name != "false" && name != "null" && name != "inf" && name != "nan")
                return fail();
            p = end;
        } else {
            const qsizetype end = numberEnd(p);
            if (end < 0)
                return fail();
            p = end;
        }
        // A value is complete: it may complete the containers around it.
        for (;;) {
            if (closers.isEmpty())
                return p;
            p = skipSpace(p);
            if (p == n)
                return fail();
            c = t[p];
            if (c == closers.back()) {
                closers.pop_back();
                ++p;
            } else if (c == ',' || (c == ':' && closers.back() == '}')) {
                ++p;
                break;
            } else {
                return fail();
            }
        }
    }
}

// Reads a key from p up to "=": blanks and comments dropped, a quoted key replacing what
// came before it. Stops at "[" where nothing of the key has been gathered yet: a header.
Reader::KeyStop Reader::readKey(qsizetype p, std::string &key) const
{
    while (p < n) {
        const char c = t[p];
        if (isSpace(c)) {
            ++p;
        } else if (c == ';') {
            p = lineFeedOrEnd(p);
        } else if (c == '[' && key.empty()) {
            return { KeyStop::Header, p };
        } else if (c == '"') {
            const qsizetype end = stringEnd(p);
            if (end < 0)
                return { KeyStop::Unreadable, p };
            key = unescaped(t.sliced(p + 1, end - p - 2)).toStdString();
            p = end;
        } else if (c == '=') {
            return { KeyStop::Equals, p + 1 };
        } else {
            qsizetype end = p + 1;
            while (end < n && keyCharacters.plain[uchar(t[end])])
                ++end;
            key.append(t.data() + p, end - p);
            p = end;
        }
    }
    return { KeyStop::End, n };
}

// Whether the game, reading on from p, reads the next header or entry, or the end of the
// text, without failing.
bool Reader::readsOnFrom(qsizetype p) const
{
    std::string key;
    const KeyStop stop = readKey(p, key);
    qsizetype failedAt = n;
    switch (stop.kind) {
    case KeyStop::End:
        return true;
    case KeyStop::Header:
        return t.indexOf(']', stop.at + 1) >= 0;
    case KeyStop::Equals:
        return valueEnd(stop.at, &failedAt) >= 0;
    case KeyStop::Unreadable:
        break;
    }
    return false;
}

// Which key asked for an entry sets: SECTION/KEY, or KEY before any header.
int Reader::keyIndex(QByteArrayView section, QByteArrayView key) const
{
    for (int i = 0; i < m_settingNames.size(); ++i) {
        const QByteArray &name = m_settingNames[i];
        if (section.isEmpty() ? name == key
                              : name.size() == section.size() + 1 + key.size() && name.startsWith(section)
                    && name[section.size()] == '/' && name.endsWith(key)) {
            return i;
        }
    }
    return -1;
}

// A value of one of the launcher's own keys that the game would fail on, read as the
// player meant it: a quoted value without its closing quote on its line, where the game
// would not read on after the quote that closes it later (read up to the line end); a
// bare word or a word in single quotes; or nothing before the line end. Returns false
// where the game reads the value itself, even on a later line.
bool Reader::readAsMeant(qsizetype afterEquals, ConfigEntry &entry, qsizetype &resume)
{
    const auto meant = [&](qsizetype begin, qsizetype end, std::optional<QByteArray> value) {
        entry.valueBegin = begin;
        entry.valueEnd = end;
        entry.value = std::move(value);
        entry.repaired = true;
        resume = end;
        return true;
    };
    qsizetype at = afterEquals;
    while (at < n && isSpace(t[at]) && !isLineEnd(t[at]))
        ++at;
    if (at < n && t[at] == '"') {
        qsizetype p = at + 1;
        for (; p < n && !isLineEnd(t[p]); ++p) {
            if (t[p] == '"')
                return false;
            if (t[p] == '\\' && p + 1 < n && !isLineEnd(t[p + 1]))
                ++p;
        }
        // Closed on a later line, a string is the game's value wherever the game reads on
        // after it; only where it would fail there did the player forget the quote.
        if (const qsizetype end = stringEnd(at); end >= 0 && readsOnFrom(end))
            return false;
        return meant(at, p, unescaped(t.sliced(at + 1, p - at - 1)));
    }
    // A trial that failed is not repeated inside the stretch it covered, so that many such
    // entries cannot make the reading quadratic.
    const qsizetype begin = skipSpace(afterEquals);
    if (begin >= m_failedTrialsEnd) {
        qsizetype failedAt = n;
        if (valueEnd(begin, &failedAt) >= 0)
            return false;
        m_failedTrialsEnd = failedAt;
    }
    qsizetype wordEnd = at;
    while (wordEnd < n && !isSpace(t[wordEnd]) && t[wordEnd] != ';' && t[wordEnd] != '#')
        ++wordEnd;
    if (wordEnd == at)
        return meant(afterEquals, afterEquals, std::nullopt);
    const QByteArrayView word = t.sliced(at, wordEnd - at);
    if (word.size() > 1 && word.startsWith('\'') && word.endsWith('\''))
        return meant(at, wordEnd, word.sliced(1, word.size() - 2).toByteArray());
    return meant(at, wordEnd, word.toByteArray());
}

ConfigReading Reader::read()
{
    ConfigReading reading;
    QByteArray section;
    std::string key;
    bool inFirstRenderingSection = false;
    bool sawRenderingSection = false;
    qsizetype lastRead = -1; // the end of the last entry or header read
    qsizetype lastReadInSection = -1; // the same in the first [rendering] section
    const auto completed = [&](qsizetype end) {
        lastRead = end;
        if (inFirstRenderingSection)
            lastReadInSection = end;
    };

    for (qsizetype p = 0;;) {
        // A key, up to "=". The text ending here ends the file normally.
        key.clear();
        const qsizetype keyBegin = p;
        const KeyStop stop = readKey(p, key);
        if (stop.kind == KeyStop::Header) {
            const qsizetype closing = t.indexOf(']', stop.at + 1);
            if (closing < 0)
                break;
            section = t.sliced(stop.at + 1, closing - stop.at - 1).trimmed().toByteArray();
            p = closing + 1;
            inFirstRenderingSection = !sawRenderingSection && section == renderingSection;
            sawRenderingSection = sawRenderingSection || inFirstRenderingSection;
            completed(p);
            continue;
        }
        if (stop.kind != KeyStop::Equals)
            break;
        p = stop.at;

        // Its value.
        const int index = keyIndex(section, QByteArrayView(key.data(), qsizetype(key.size())));
        ConfigEntry entry;
        entry.keyBegin = keyBegin;
        qsizetype resume = p;
        if (index < 0 || index >= m_repairable || !readAsMeant(p, entry, resume)) {
            const qsizetype begin = skipSpace(p);
            qsizetype failedAt = n;
            const qsizetype end = valueEnd(begin, &failedAt);
            if (end < 0)
                break; // a parse error: the game reads no further
            entry.valueBegin = begin;
            entry.valueEnd = resume = end;
            if (index >= 0) {
                entry.value = t[begin] == '"' ? unescaped(t.sliced(begin + 1, end - begin - 2))
                                              : t.sliced(begin, end - begin).toByteArray();
            }
        }
        completed(entry.valueEnd);
        if (index >= 0) {
            entry.key = m_keys[index];
            reading.entries.append(std::move(entry));
        }
        p = resume;
    }

    // Keys without an entry go just after the last entry or header read in the first
    // [rendering] section, else in a new section after the last one read: after the line
    // end where only blanks or a comment follow on its line, else right after it, so that
    // stray text never glues onto them and a parse error never hides them.
    reading.needsSection = !sawRenderingSection;
    const qsizetype after = sawRenderingSection ? lastReadInSection : lastRead;
    if (after < 0) {
        // Nothing read: before the first stray text, or at the end.
        const qsizetype stray = skipSpace(0);
        reading.insertAt = stray == n ? n : t.first(stray).lastIndexOf('\n') + 1;
        reading.insertAtLineStart = reading.insertAt == 0 || t[reading.insertAt - 1] == '\n';
        return reading;
    }
    qsizetype p = after;
    while (p < n && isSpace(t[p]) && t[p] != '\n')
        ++p;
    if (p < n && t[p] == ';')
        p = lineFeedOrEnd(p);
    if (p < n && t[p] == '\n') {
        reading.insertAt = p + 1;
        reading.insertAtLineStart = true;
    } else {
        reading.insertAt = p == n ? n : after;
        reading.insertAtLineStart = false;
    }
    // A new section must not take in what follows it in the player's own section.
    if (reading.needsSection && !section.isEmpty() && skipSpace(reading.insertAt) < n)
        reading.sectionAfter = section;
    return reading;
}

ConfigReading readText(QByteArrayView text, const QList<QByteArray> &otherKeys)
{
    return Reader(text, otherKeys).read();
}

QByteArrayView withoutVariantSuffix(QByteArrayView key)
{
    return key.endsWith(windowsVariantSuffix) ? key.chopped(qstrlen(windowsVariantSuffix)) : key;
}

QByteArray defaultValueOf(QByteArrayView key)
{
    key = withoutVariantSuffix(key);
    if (key == renderingMethodKey)
        return driverChoices[0].method;
    for (const DriverChoice &choice : driverChoices) {
        if (key == choice.driverKey)
            return choice.driverValue;
    }
    return QByteArray();
}

// The first row of the family that the game takes for a rendering method: the family
// whose method it is exactly, else the first one, whatever the method's name.
int familyOfMethod(QByteArrayView method)
{
    for (int row = 0; row < driverChoiceCount; ++row) {
        if (method == driverChoices[row].method)
            return row;
    }
    return 0;
}

// A driver's name as the game compares it.
QString driverName(QByteArrayView value)
{
    return QString::fromUtf8(value).toLower();
}

// Whether the game reads two values of one of the launcher's keys alike: methods of the
// same family, a driver's name in other letters. Other values only when they are equal.
bool readAlike(QByteArrayView key, QByteArrayView a, QByteArrayView b)
{
    key = withoutVariantSuffix(key);
    if (key == renderingMethodKey)
        return familyOfMethod(a) == familyOfMethod(b);
    for (const DriverChoice &choice : driverChoices) {
        if (key == choice.driverKey)
            return driverName(a) == driverName(b);
    }
    return a == b;
}

// The line end of lines added to the text: CR LF where its first line feed follows a
// carriage return, else a line feed; a new file's where it has no line feed at all.
QByteArray lineEndOf(QByteArrayView text)
{
    const qsizetype lineFeed = text.indexOf('\n');
    if (lineFeed < 0)
        return newFileLineEnd;
    return lineFeed > 0 && text[lineFeed - 1] == '\r' ? "\r\n" : "\n";
}

// One round of the edit: nothing when the text needs no change. Keys without an entry
// are added only when `addMissing`: added once, a key the game still does not find would
// be added again and again.
std::optional<QByteArray> withSettings(QByteArrayView text, const ConfigReading &reading,
                                       const QList<ConfigSetting> &settings, bool addMissing,
                                       const QByteArray &lineEnd)
{
    struct Edit
    {
        qsizetype begin;
        qsizetype end;
        QByteArray bytes;
    };
    QList<Edit> edits;
    QList<bool> present(settings.size(), false);
    // The value each key gets: where it is asked for, what the file already expresses
    // when the game reads it alike.
    QList<QByteArray> values;
    for (const ConfigSetting &setting : settings) {
        const std::optional<QByteArray> read =
            setting.asTheGameReadsIt ? reading.valueOnWindows(withoutVariantSuffix(setting.key)) : std::nullopt;
        values.append(read && readAlike(setting.key, *read, setting.value) ? *read : setting.value);
    }
    QHash<QByteArray, QByteArray> valuesRead;
    for (const ConfigEntry &entry : reading.entries) {
        if (entry.value)
            valuesRead.insert(entry.key, *entry.value);
    }
    for (const ConfigEntry &entry : reading.entries) {
        const qsizetype index = std::find_if(settings.begin(), settings.end(),
                                             [&](const ConfigSetting &s) { return s.key == entry.key; })
            - settings.begin();
        QByteArray bytes;
        if (index < settings.size()) {
            present[index] = true;
            if (settings[index].asTheGameReadsIt && !entry.repaired && entry.value
                && readAlike(entry.key, *entry.value, values[index])) {
                continue;
            }
            bytes = quoted(values[index]);
        } else if (entry.repaired) {
            // So that the game reads past it: what the player meant, or for nothing at
            // all the key's value read elsewhere, or the game's own default.
            bytes = quoted(entry.value ? *entry.value : valuesRead.value(entry.key, defaultValueOf(entry.key)));
        } else {
            continue;
        }
        if (text.sliced(entry.valueBegin, entry.valueEnd - entry.valueBegin) != bytes)
            edits.append({ entry.valueBegin, entry.valueEnd, bytes });
    }

    QByteArray added;
    for (qsizetype i = 0; i < settings.size(); ++i) {
        if (!present[i] && addMissing)
            added += settings[i].key + '=' + quoted(values[i]) + lineEnd;
    }
    if (!added.isEmpty()) {
        if (reading.needsSection) {
            added = lineEnd + QByteArray("[rendering]") + lineEnd + added;
            if (reading.sectionAfter)
                added += '[' + *reading.sectionAfter + ']' + lineEnd;
        } else if (!reading.insertAtLineStart) {
            added.prepend(lineEnd);
        }
        edits.append({ reading.insertAt, reading.insertAt, added });
    }
    if (edits.isEmpty())
        return std::nullopt;

    // A replacement of nothing and the added keys may share a place: the replacement first.
    std::stable_sort(edits.begin(), edits.end(), [](const Edit &a, const Edit &b) { return a.begin < b.begin; });
    QByteArray result;
    result.reserve(text.size() + added.size() + edits.size() * 32);
    qsizetype copied = 0;
    for (const Edit &edit : std::as_const(edits)) {
        appendBytes(result, text.sliced(copied, edit.begin - copied));
        result.append(edit.bytes);
        copied = edit.end;
    }
    appendBytes(result, text.sliced(copied));
    return result;
}

} // namespace

QList<QByteArray> launcherKeys()
{
    QList<QByteArray> keys = { renderingMethodKey };
    for (const DriverChoice &choice : driverChoices) {
        if (!keys.contains(choice.driverKey))
            keys.append(choice.driverKey);
    }
    return keys;
}

std::optional<QByteArray> ConfigReading::value(QByteArrayView key) const
{
    for (auto entry = entries.crbegin(); entry != entries.crend(); ++entry) {
        if (entry->key == key && entry->value)
            return entry->value;
    }
    return std::nullopt;
}

std::optional<QByteArray> ConfigReading::valueOnWindows(QByteArrayView key) const
{
    if (std::optional<QByteArray> variant = value(key.toByteArray() + windowsVariantSuffix))
        return variant;
    return value(key);
}

ConfigReading readConfig(QByteArrayView text, const QList<QByteArray> &otherKeys)
{
    if (const std::optional<QByteArray> utf8 = fromUtf16(text))
        return readText(*utf8, otherKeys);
    return readText(text, otherKeys);
}

std::optional<QByteArray> configValue(QByteArrayView text, QByteArrayView key)
{
    return readConfig(text, { key.toByteArray() }).value(key);
}

std::optional<QByteArray> configWithValues(QByteArrayView text, const QList<ConfigSetting> &settings,
                                           QString *problem)
{
    // What the game cannot read at all is a change of its own: UTF-16 becomes UTF-8, and a
    // byte-order mark goes, behind which the game would swallow the first header.
    bool recoded = false;
    QByteArray utf8;
    for (;; recoded = true) {
        if (std::optional<QByteArray> fromWide = fromUtf16(text)) {
            utf8 = std::move(*fromWide);
            text = utf8;
        } else if (text.startsWith(byteOrderMark)) {
            text = text.sliced(byteOrderMark.size());
        } else {
            break;
        }
    }
    const QByteArray lineEnd = lineEndOf(text);

    QList<QByteArray> keys;
    for (const ConfigSetting &setting : settings)
        keys.append(setting.key);
    QByteArray edited;
    QByteArrayView current = text;
    ConfigReading reading = readText(current, keys);
    // A repair may let the game read on into text it never reached, and meet more there:
    // edit the result again until it needs nothing more. Each round reads the text once;
    // the last reading is also the proof that the game reads the values written.
    constexpr int maxRounds = 8;
    int rounds = 0;
    while (std::optional<QByteArray> next = withSettings(current, reading, settings, rounds == 0, lineEnd)) {
        if (++rounds > maxRounds) {
            if (problem)
                *problem = QStringLiteral("The game would not read the choice: the edit does not settle");
            return std::nullopt;
        }
        edited = std::move(*next);
        current = edited;
        reading = readText(current, keys);
    }
    for (const ConfigSetting &setting : settings) {
        const std::optional<QByteArray> read = reading.value(setting.key);
        if (setting.asTheGameReadsIt ? read && readAlike(setting.key, *read, setting.value) : read == setting.value)
            continue;
        if (problem) {
            *problem = read ? QStringLiteral("The game would not read the choice: it would take %1 to be \"%2\"")
                                  .arg(QString::fromUtf8(setting.key), QString::fromUtf8(*read))
                            : QStringLiteral("The game would not read the choice: it would not find %1")
                                  .arg(QString::fromUtf8(setting.key));
        }
        return std::nullopt;
    }
    if (rounds == 0)
        return recoded ? std::optional<QByteArray>(text.toByteArray()) : std::nullopt;
    return edited;
}

int gameDriverChoice(const ConfigReading &reading)
{
    const int family = familyOfMethod(reading.valueOnWindows(renderingMethodKey).value_or(driverChoices[0].method));
    const DriverChoice &first = driverChoices[family];
    const QString driver = driverName(reading.valueOnWindows(first.driverKey).value_or(first.driverValue));
    for (int row = family; row < driverChoiceCount && qstrcmp(driverChoices[row].driverKey, first.driverKey) == 0;
         ++row) {
        if (driver == QLatin1String(driverChoices[row].driverValue))
            return row;
    }
    return family;
}
