#ifndef CONFIGFILE_H
#define CONFIGFILE_H

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

// override.cfg on disk. Only a regular file of sane size is read, and the file is only
// ever replaced whole, by the file that was read. Each failure is logged as one warning
// that names the file, e.g. `Cannot open config file: "override.cfg"`.

// The file's bytes, empty when there is no file; nothing, once the warning is logged,
// when it exists but cannot be read.
std::optional<QByteArray> readConfigFile(const QString &fileName);

// What an edit makes of the file's bytes, or nothing when they need no change or when
// the edit is refused; `problem` then receives why.
using ConfigEdit = std::function<std::optional<QByteArray>(QByteArrayView, QString *problem)>;

// Gives the file the bytes that `edit` makes of its current ones, in one replace of the
// file; a missing file is edited from `newFileText` and made by that write. Returns
// whether the file now holds the edited bytes; when it does not, `problem` (if given)
// receives why, as the system or the launcher puts it ("Permission denied", "Not a
// regular file").
bool rewriteConfigFile(const QString &fileName, QByteArrayView newFileText, const ConfigEdit &edit, QString *problem);

#endif // CONFIGFILE_H
