#ifndef CONFIGTEXT_H
#define CONFIGTEXT_H

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The text of override.cfg as the game reads it: sections, entries of the rendering
// section, and the edit that sets one of them. Bytes in, bytes out; no files.
//
// A line whose first non-blank character is "[" is a section header; it opens the
// rendering section when it begins with "[rendering]", whatever follows. An entry of a
// key is the key at the start of a line (after blanks), blanks, "=", blanks and a value,
// either in double quotes or unquoted up to a ";" comment. Only entries whose nearest
// header above opens the rendering section count, and the last one wins.

// The value of the key's last entry in the rendering sections, or nothing when there is
// none. An unquoted value that is empty counts as no entry at all.
std::optional<QByteArray> configValue(QByteArrayView text, QByteArrayView key);

// The bytes the file should hold with the key set to the value: every entry of the key in
// a rendering section rewritten as key="value", or one such line added to the first
// rendering section (or a new section at the end). A leading byte-order mark is dropped
// and line ends become this platform's; every other byte, lone carriage returns
// included, stays.
QByteArray configWithValue(QByteArrayView text, QByteArrayView key, QByteArrayView value);

#endif // CONFIGTEXT_H
