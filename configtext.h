#ifndef CONFIGTEXT_H
#define CONFIGTEXT_H

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// The text of override.cfg as the game reads it, and the edit that sets some of its
// keys. Bytes in, bytes out; no files.
//
// The game does not read lines. It reads the bytes as UTF-8, alternating between a key
// and a value. In a key, every character of code 32 or less is dropped, ";" starts a
// comment up to the next line feed, "[" opens a section header when nothing has been
// gathered yet (the name runs to "]", trimmed), a string in double quotes replaces what
// was gathered, and "=" ends the key; anything else, such as "#" or words left after a
// value, is part of the key. A value is a string in double quotes (escapes, may span
// lines), a number, true, false, null, inf, nan, "#" and any hex digits, Name(...),
// [...] or {...}; anything else is a parse error, and the game reads no further. An
// entry sets SECTION/KEY, and a later one wins.
//
// The launcher's own keys are read as the player meant them where the game would fail
// on them: a bare word, a word in single quotes, a quoted value whose closing quote is
// not on its line and after which the game would not read on (read up to the line end),
// and nothing before the line end (no entry for reading). A write rewrites such entries
// as strings, so that the game reads on.

inline constexpr char windowsVariantSuffix[] = ".windows";

// The launcher's own keys of the [rendering] section, from the driver choice table: the
// rendering method and each family's driver key. Each is also read and written as its
// Windows variant.
QList<QByteArray> launcherKeys();

// The line end of a new file, and of a file that has none yet.
#ifdef Q_OS_WIN
inline constexpr char newFileLineEnd[] = "\r\n";
#else
inline constexpr char newFileLineEnd[] = "\n";
#endif

// One entry of a key read, where the parse stood.
struct ConfigEntry
{
    QByteArray key; // relative to [rendering], e.g. "rendering_device/driver.windows"
    std::optional<QByteArray> value; // as read, or as meant; nothing for nothing at all
    qsizetype keyBegin = 0; // where reading this entry's key began
    qsizetype valueBegin = 0; // the bytes that a write replaces
    qsizetype valueEnd = 0;
    bool repaired = false; // bytes the game cannot read as a value: rewritten by any write
};

// The text as far as the game reads it.
struct ConfigReading
{
    QList<ConfigEntry> entries; // of the keys asked for, in the order of the text
    qsizetype insertAt = 0; // where keys that have no entry are added
    bool insertAtLineStart = true;
    bool needsSection = true; // the game reads no [rendering] header: add one with them
    std::optional<QByteArray> sectionAfter; // ... and then the section they interrupt

    // The value of the key's last entry that has one, or nothing.
    std::optional<QByteArray> value(QByteArrayView key) const;
    // The game, a Windows program, reads KEY.windows wherever the file has it, else KEY.
    std::optional<QByteArray> valueOnWindows(QByteArrayView key) const;
};

// Reads the launcher's own keys and `otherKeys` (all relative to [rendering]) as the game
// does, with the repairs above. A file saved as UTF-16, marked or not, is read as the
// text it holds; positions then refer to that text in UTF-8.
ConfigReading readConfig(QByteArrayView text, const QList<QByteArray> &otherKeys = {});

// The value of one [rendering] key as the game reads it, or nothing.
std::optional<QByteArray> configValue(QByteArrayView text, QByteArrayView key);

// The row of the driver choice table that the game starts with. The game, a Windows
// program, reads each key through its Windows variant where the file has one; it takes
// the second family's driver key only for exactly that family's method, and lowercases
// the driver's name. A name it does not know is the family's first, its default.
int gameDriverChoice(const ConfigReading &reading);

struct ConfigSetting
{
    QByteArray key;
    QByteArray value;
    // Keep what the game already reads as this value (a method of the same family, a
    // driver's name in other letters), and give missing keys the value the file already
    // expresses where the game reads it alike.
    bool asTheGameReadsIt = false;
};

// The bytes the file should hold with each key set to its value, as the game will read
// them: every entry of a key that the game reads gets the value in double quotes, in
// place; keys without one are added after the last entry of the first [rendering]
// section (or in a new section where the game reads none); repaired entries of the
// launcher's other keys are quoted. A byte-order mark is dropped and UTF-16 becomes
// UTF-8; every other byte stays, line ends included, and added lines end as the file's
// first line does. Nothing when the text already holds every value, or when the game
// would not read the values back; `problem` (if given) then says why.
std::optional<QByteArray> configWithValues(QByteArrayView text, const QList<ConfigSetting> &settings,
                                           QString *problem = nullptr);

#endif // CONFIGTEXT_H
