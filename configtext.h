#ifndef CONFIGTEXT_H
#define CONFIGTEXT_H

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

// The text of override.cfg as the game reads it: sections, entries of the rendering
// section, and the edit that sets some of them. Bytes in, bytes out; no files.
//
// A line whose first non-blank character is "[" is a section header; it opens the
// rendering section when it begins with "[rendering]", whatever follows. An entry of a
// key is the key at the start of a line (after blanks), blanks, "=", blanks and a value,
// either in double quotes, whatever follows the closing quote, or unquoted up to a ";"
// comment. Only entries whose nearest header above opens the rendering section count,
// and the last one wins.

// The value of the key's last entry in the rendering sections, or nothing when there is
// none. An unquoted value that is empty counts as no entry at all.
std::optional<QByteArray> configValue(QByteArrayView text, QByteArrayView key);

// The game, a Windows program, reads a key through its Windows variant, KEY.windows,
// wherever the file has an entry of that: the value of the variant's last entry, or
// else of the key's own, or nothing.
std::optional<QByteArray> configValueOnWindows(QByteArrayView text, QByteArrayView key);
inline constexpr char windowsVariantSuffix[] = ".windows";

struct ConfigSetting
{
    QByteArray key;
    QByteArray value;
};

// The bytes the file should hold with each key set to its value: every entry of the key
// in a rendering section rewritten as key="value". The keys that have no such entry are
// added together, one line each in the given order, at the end of the first rendering
// section (or in a new section at the end). A leading byte-order mark is dropped and
// line ends become this platform's; every other byte, lone carriage returns included,
// stays. Nothing when the text already holds every value and needs no other change
// than its line ends.
std::optional<QByteArray> configWithValues(QByteArrayView text, const QList<ConfigSetting> &settings);

#endif // CONFIGTEXT_H
