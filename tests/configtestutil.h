// Shared pieces of the override.cfg tests: a scratch working folder, the captured log,
// byte-exact file access and running a test binary's helper mode as another user.

#ifndef CONFIGTESTUTIL_H
#define CONFIGTESTUTIL_H

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace configtest {

inline const QString configFile = QStringLiteral("override.cfg");

// Every message logged while an instance lives, one line each: its type, its category
// and its text, e.g. `warning default: Cannot open config file: "override.cfg"`.
class LogCapture
{
public:
    LogCapture()
    {
        lines().clear();
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList take()
    {
        const QStringList taken = lines();
        lines().clear();
        return taken;
    }

    static QStringList &lines()
    {
        static QStringList captured;
        return captured;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        static const char *const names[] = { "debug", "warning", "critical", "fatal", "info" };
        const char *name = type >= 0 && type < 5 ? names[type] : "unknown";
        lines().append(QStringLiteral("%1 %2: %3")
                           .arg(QLatin1String(name),
                                context.category ? QLatin1String(context.category) : QLatin1String("(none)"),
                                message));
    }

    QtMessageHandler m_previous;
};

// The line that a failure about override.cfg logs, e.g. warning("Cannot open config file:").
inline QString warning(const char *text)
{
    return QStringLiteral("warning default: %1 \"override.cfg\"").arg(QLatin1String(text));
}

// A fresh empty folder made the working directory for as long as the instance lives, so
// that nothing touches the source tree, the build tree or the user's files.
class ScratchFolder
{
public:
    ScratchFolder() : m_previous(QDir::currentPath())
    {
        QVERIFY2(m_dir.isValid(), qPrintable(m_dir.errorString()));
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }
    ~ScratchFolder() { QDir::setCurrent(m_previous); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

// Text as the writer leaves it on disk, in place of `before`: a file with a line feed
// keeps its line ends, and one without, or a new one, gets this platform's.
inline QByteArray onDisk(QByteArray text, const QByteArray &before = QByteArray())
{
#ifdef Q_OS_WIN
    if (!before.contains('\n'))
        text.replace("\n", "\r\n");
#else
    Q_UNUSED(before);
#endif
    return text;
}

inline QByteArray readBytes(const QString &name = configFile)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

inline bool writeBytes(const QByteArray &bytes, const QString &name = configFile)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size()
        && file.flush();
}

inline bool setModificationTime(const QString &name, const QDateTime &time)
{
    QFile file(name);
    return file.open(QIODevice::ReadWrite) && file.setFileTime(time, QFileDevice::FileModificationTime);
}

inline QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// A file as the game reads it: the tests' own model of the game, written apart from the
// launcher's reader. Keys drop every character of code 32 or less, ";" comments run to
// the line feed, "[" opens a header only before anything else of the key, a quoted key
// replaces what came before it, and "=" ends the key. A value is a string, a number,
// true, false, null, inf, nan, a colour, Name(...), [...] or {...}; anything else, and a
// quoted key or header that the text ends in, stops the game. Every entry read sets
// SECTION/KEY, the last one winning.
struct GameView
{
    QMap<QByteArray, QByteArray> entries; // a string's text, else the value as written
    QMap<QByteArray, QByteArrayList> assignments; // every value read, in order
    QList<QByteArray> comments; // as read, in order
    bool parseError = false;
    qsizetype stop = 0; // where the entry the game failed on began, or the end
};

class GameModel
{
public:
    explicit GameModel(const QByteArray &text) : s(text), latin1(QString::fromLatin1(text)) { }

    GameView read()
    {
        QByteArray section;
        for (;;) {
            view.stop = i;
            QByteArray key;
            for (;;) {
                if (i >= s.size()) {
                    view.stop = s.size();
                    return view;
                }
                const char c = s[i];
                if (c == ';') {
                    comment();
                } else if (uchar(c) <= 32) {
                    ++i;
                } else if (c == '[' && key.isEmpty()) {
                    const qsizetype close = s.indexOf(']', i);
                    if (close < 0)
                        return failed();
                    section = s.mid(i + 1, close - i - 1).trimmed();
                    i = view.stop = close + 1;
                } else if (c == '"') {
                    key.clear();
                    if (!string(&key))
                        return failed();
                } else if (c == '=') {
                    ++i;
                    break;
                } else {
                    key += c;
                    ++i;
                }
            }
            QByteArray read;
            if (!value(&read))
                return failed();
            const QByteArray setting = section.isEmpty() ? key : section + '/' + key;
            view.entries.insert(setting, read);
            view.assignments[setting].append(read);
        }
    }

private:
    GameView failed()
    {
        view.parseError = true;
        return view;
    }
    void comment()
    {
        const qsizetype end = s.indexOf('\n', i) < 0 ? s.size() : s.indexOf('\n', i);
        // Without the carriage return of a CR LF, which belongs to the line end.
        view.comments.append(s.mid(i, end - i - (end < s.size() && s[end - 1] == '\r')));
        i = end;
    }
    void space()
    {
        while (i < s.size() && (uchar(s[i]) <= 32 || s[i] == ';'))
            s[i] == ';' ? comment() : void(++i);
    }
    bool string(QByteArray *text)
    {
        for (++i; i < s.size(); ++i) {
            char c = s[i];
            if (c == '"') {
                ++i;
                return true;
            }
            if (c == '\\' && ++i < s.size())
                c = s[i] == 'n' ? '\n' : s[i] == 't' ? '\t' : s[i] == 'r' ? '\r' : s[i];
            *text += c;
        }
        return false;
    }
    bool matches(const QRegularExpression &pattern)
    {
        const QRegularExpressionMatch match =
            pattern.match(latin1, i, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
        if (match.hasMatch())
            i = match.capturedEnd();
        return match.hasMatch();
    }
    bool items(char close)
    {
        for (;;) {
            space();
            if (i < s.size() && s[i] == close) {
                ++i;
                return true;
            }
            QByteArray ignored;
            if (!value(&ignored))
                return false;
            space();
            if (close == '}' && i < s.size() && s[i] == ':' && (++i, !value(&ignored)))
                return false;
            space();
            if (i < s.size() && s[i] == ',')
                ++i;
            else if (i >= s.size() || s[i] != close)
                return false;
        }
    }
    bool value(QByteArray *read)
    {
        static const QRegularExpression atom(QStringLiteral(
            "[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?|(true|false|null|inf|nan)(?![A-Za-z0-9_])|#[0-9a-fA-F]*"));
        static const QRegularExpression constructor(QStringLiteral("[A-Za-z_][A-Za-z0-9_]*\\("));
        space();
        const qsizetype start = i;
        if (i < s.size() && s[i] == '"')
            return string(read);
        const bool ok = i < s.size() && (s[i] == '[' || s[i] == '{') ? (++i, items(s[i - 1] == '[' ? ']' : '}'))
            : matches(constructor)                                 ? items(')')
                                                                   : matches(atom);
        *read = s.mid(start, i - start).replace("\r", ""); // the same on any platform
        return ok;
    }

    const QByteArray &s;
    const QString latin1;
    qsizetype i = 0;
    GameView view;
};

inline GameView gameView(const QByteArray &text)
{
    return GameModel(text).read();
}

#ifdef Q_OS_UNIX
inline bool runningAsRoot()
{
    return geteuid() == 0;
}

// Runs a command and reports whether it exited with status 0.
inline bool runCommand(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// The immutable attribute, which refuses changes even to root. Cleared again when the
// instance dies, so that the scratch folder can be removed whatever the test did.
class Immutable
{
public:
    explicit Immutable(const QString &path) : m_path(path)
    {
        m_set = runCommand(QStringLiteral("chattr"), { QStringLiteral("+i"), m_path });
    }
    ~Immutable()
    {
        if (m_set)
            runCommand(QStringLiteral("chattr"), { QStringLiteral("-i"), m_path });
    }
    Immutable(const Immutable &) = delete;
    Immutable &operator=(const Immutable &) = delete;
    bool isSet() const { return m_set; }

private:
    QString m_path;
    bool m_set = false;
};

// Runs this test program's helper mode (its arguments after `--helper`) in the given
// folder as the unprivileged user "nobody", and returns its standard output, one entry
// per line. Only root can change user; the caller skips the case otherwise.
inline QStringList runHelperAsNobody(const QString &folder, const QStringList &arguments)
{
    // The build tree may lie where "nobody" cannot reach, such as root's home folder:
    // run a copy of this program from a folder that everyone may enter.
    const QFile::Permissions everyoneRuns = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QTemporaryDir programFolder;
    const QString program = programFolder.filePath(QStringLiteral("helper"));
    if (!QFile::copy(QCoreApplication::applicationFilePath(), program)
        || !QFile::setPermissions(program, everyoneRuns)
        || !QFile::setPermissions(programFolder.path(), everyoneRuns)) {
        return { QStringLiteral("helper failed: cannot copy the test program") };
    }
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral("setpriv"),
                  QStringList { QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                QStringLiteral("--clear-groups"), program, QStringLiteral("--helper") }
                      + arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        return { QStringLiteral("helper failed: ") + QString::fromLocal8Bit(process.readAllStandardError()) };
    }
    return QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}
#endif

} // namespace configtest

#endif // CONFIGTESTUTIL_H
