#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QByteArrayMatcher>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

#include <iterator>
#include <utility>

// Relative on purpose: the game reads override.cfg from the folder it is started in,
// which is the launcher's working directory.
static const QString configFileName = QStringLiteral("override.cfg");

namespace {

// The rendering driver choices, in the order of the radio buttons. Rows of one family
// share the rendering method and the driver key; the first row of each family holds
// the driver key's default value.
struct DriverChoice
{
    QRadioButton *Ui_MainWindow::*button;
    const char *method;
    const char *driverKey;
    const char *driverValue;
};

const char methodKey[] = "renderer/rendering_method";

const DriverChoice driverChoices[] = {
    { &Ui_MainWindow::radio_vulkan, "forward_plus", "rendering_device/driver", "vulkan" },
    { &Ui_MainWindow::radio_d3d12, "forward_plus", "rendering_device/driver", "d3d12" },
    { &Ui_MainWindow::radio_opengl3, "gl_compatibility", "gl_compatibility/driver", "opengl3" },
    { &Ui_MainWindow::radio_angle, "gl_compatibility", "gl_compatibility/driver", "opengl3_angle" },
};

// The per-user files of the game that the player may clear, in the order of the buttons.
struct ClearAction
{
    QPushButton *Ui_MainWindow::*button;
    const char *fileName;
    const char *confirmation;
};

const ClearAction clearActions[] = {
    { &Ui_MainWindow::pb_settings, "settings.cfg",
      "Are you sure you want to reset all your game settings to default?" },
    { &Ui_MainWindow::pb_version, "version.dat",
      "Are you sure you want to clear your game version information?" },
    { &Ui_MainWindow::pb_subscription, "subscription.dat",
      "Are you sure you want to log out from your Patreon/Subscribestar account?" },
};

// In the "default" category, as qWarning() logs, but with no source position. Always
// returns false, for the failure paths of setSetting.
bool warnAboutConfigFile(const char *message, QString *problem = nullptr)
{
    QMessageLogger(nullptr, 0, nullptr).warning() << message << configFileName;
    if (problem)
        *problem = QString::fromLatin1(message).chopped(1);
    return false;
}

// Where the game keeps its per-user folder: on Windows the roaming application-data
// folder, which holds the launcher's own per-user folder; elsewhere $XDG_DATA_HOME, or
// ~/.local/share where that is unset or relative (the base directory rules say to
// ignore a relative one; Qt would take it from the working folder).
QString perUserDataFolder()
{
#ifdef Q_OS_WIN
    const QString own = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return own.isEmpty() ? QString() : QFileInfo(own).path();
#else
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    return QDir::isAbsolutePath(dataHome) ? dataHome : QDir::homePath() + QStringLiteral("/.local/share");
#endif
}

// The game's per-user folder "Quillmont". Returns false when it cannot be entered, or
// when it is not an absolute path (a relative HOME): no file of the same name in some
// other folder, such as the working folder, is ever tested for or removed.
bool enterGameDataDirectory(QDir &dir)
{
    const QString base = perUserDataFolder();
    if (!QDir::isAbsolutePath(base))
        return false;
    dir.setPath(base);
    return dir.cd(QStringLiteral("Quillmont"));
}

// The configuration text is edited as bytes, not decoded, so that a comment saved in
// another encoding survives a rewrite unchanged. Everything searched for is ASCII.

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

// Whether only blanks stand between the start of pos's line and pos.
bool beginsLine(QByteArrayView text, qsizetype pos)
{
    while (pos > 0 && isBlank(text[pos - 1]))
        --pos;
    return pos == 0 || text[pos - 1] == '\n';
}

// Whether the line starting at pos is a section header to the game: its first
// character after any blanks is "[".
bool isHeaderLine(QByteArrayView text, qsizetype pos)
{
    pos = skipBlanks(text, pos);
    return pos < text.size() && text[pos] == '[';
}

struct Span
{
    qsizetype begin;
    qsizetype end;
};

// The key's quoted entries, as the game sees them: the key begins its line (after
// blanks), blanks may stand around "=", and the value starts with a double quote. The
// entry ends at the closing quote, or at the end of its line when that is missing, so
// that a rewrite never reaches into the next line. Any text after the quote is kept.
QList<Span> findQuotedEntries(QByteArrayView text, const QByteArray &key)
{
    QList<Span> entries;
    if (key.isEmpty())
        return entries;
    const QByteArrayMatcher matcher(key);
    for (qsizetype at = matcher.indexIn(text); at >= 0; at = matcher.indexIn(text, at + 1)) {
        if (!beginsLine(text, at))
            continue;
        qsizetype pos = skipBlanks(text, at + key.size());
        if (pos == text.size() || text[pos] != '=')
            continue;
        pos = skipBlanks(text, pos + 1);
        if (pos == text.size() || text[pos] != '"')
            continue;
        const qsizetype lineEnd = endOfLine(text, pos);
        const qsizetype closingQuote = text.sliced(pos + 1, lineEnd - pos - 1).indexOf('"');
        const qsizetype end = closingQuote < 0 ? lineEnd : pos + 1 + closingQuote + 1;
        entries.append({ at, end });
        at = end - 1;
    }
    return entries;
}

QByteArray replaceSpans(QByteArrayView text, const QList<Span> &spans, const QByteArray &replacement)
{
    QByteArray result;
    result.reserve(text.size() + spans.size() * replacement.size());
    qsizetype copied = 0;
    for (const Span &span : spans) {
        result.append(text.sliced(copied, span.begin - copied));
        result.append(replacement);
        copied = span.end;
    }
    result.append(text.sliced(copied));
    return result;
}

// Inserts the entry as the last line of the first [rendering] section, or appends a new
// section when there is none or when that section runs to an unterminated last line.
// The header counts only where it begins its line; the section ends before the next
// line that starts with "[" (after blanks), or before a final line feed. White space
// after the header is dropped, so any text that followed it gets a line of its own.
// A plain scan rather than a regular expression: it gives the same result at any size.
QByteArray insertEntry(QByteArrayView text, const QByteArray &entry)
{
    static const QByteArray header = QByteArrayLiteral("[rendering]");
    qsizetype headerAt = text.indexOf(header);
    while (headerAt >= 0 && !beginsLine(text, headerAt))
        headerAt = text.indexOf(header, headerAt + 1);

    if (headerAt >= 0) {
        qsizetype bodyStart = headerAt + header.size();
        while (bodyStart < text.size() && isAsciiSpace(text[bodyStart]))
            ++bodyStart;
        for (qsizetype pos = bodyStart;;) {
            const bool atEnd = pos == text.size() || (pos == text.size() - 1 && text[pos] == '\n');
            if (atEnd || isHeaderLine(text, pos)) {
                QByteArray result;
                result.reserve(text.size() + entry.size() + 2);
                result.append(text.first(headerAt));
                result.append(header).append('\n');
                result.append(text.sliced(bodyStart, pos - bodyStart));
                result.append(entry).append('\n');
                result.append(text.sliced(pos));
                return result;
            }
            const qsizetype lineFeed = text.indexOf('\n', pos);
            if (lineFeed < 0)
                break;
            pos = lineFeed + 1;
        }
    }
    QByteArray result = text.toByteArray();
    result.append('\n').append(header).append('\n').append(entry).append('\n');
    return result;
}

// A value in double quotes is the text between them, also when a comment follows the
// closing quote; otherwise one pair of surrounding quotes is dropped, if there is one.
QString unquoted(const QString &value)
{
    if (!value.startsWith(u'"'))
        return value;
    const qsizetype closingQuote = value.indexOf(u'"', 1);
    if (closingQuote > 0) {
        qsizetype pos = closingQuote + 1;
        while (pos < value.size() && (value[pos] == u' ' || value[pos] == u'\t'))
            ++pos;
        if (pos == value.size() || value[pos] == u';')
            return value.mid(1, closingQuote - 1);
    }
    if (value.endsWith(u'"'))
        return value.mid(1, qMax(value.size() - 2, 0));
    return value;
}

} // namespace

QString getSetting(const QString &key, const QString &defaultValue)
{
    if (!QFile::exists(configFileName))
        return defaultValue;
    QFile file(configFileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        warnAboutConfigFile("Cannot open config file:");
        return defaultValue;
    }
    QTextStream in(&file);
    bool inRenderingSection = false;
    QString line;
    while (in.readLineInto(&line)) {
        // A view, not a copy: large files are read line by line without allocating.
        const QStringView trimmed = QStringView(line).trimmed();
        if (trimmed.startsWith(u'[')) {
            inRenderingSection = trimmed == QLatin1String("[rendering]");
            continue;
        }
        if (trimmed.isEmpty() || trimmed.startsWith(u';') || !inRenderingSection)
            continue;
        const qsizetype equals = trimmed.indexOf(u'=');
        if (equals < 0 || trimmed.first(equals).trimmed() != key)
            continue;
        return unquoted(trimmed.sliced(equals + 1).trimmed().toString());
    }
    return defaultValue;
}

bool setSetting(const QString &key, const QString &value, QString *problem)
{
    if (!QFile::exists(configFileName)) {
        QFile file(configFileName);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
            return warnAboutConfigFile("Cannot create config file:", problem);
        }
        file.write("[rendering]\n");
    }

    QByteArray text;
    {
        // Opened for writing too, so that a file the player made read-only is refused
        // here and never replaced behind the player's back.
        QFile file(configFileName);
        if (!file.open(QIODevice::ReadWrite | QIODevice::Text)) {
            return warnAboutConfigFile("Cannot open config file:", problem);
        }
        text = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            return warnAboutConfigFile("Cannot open config file:", problem);
        }
    }
    // The game cannot read a file that starts with a byte-order mark.
    if (text.startsWith("\xEF\xBB\xBF"))
        text.remove(0, 3);

    const QByteArray keyBytes = key.toUtf8();
    const QByteArray entry = keyBytes + "=\"" + value.toUtf8() + '"';
    const QList<Span> entries = findQuotedEntries(text, keyBytes);
    text = entries.isEmpty() ? insertEntry(text, entry) : replaceSpans(text, entries, entry);

    // Replace the file only once the new text is complete, so that a full disk or a
    // crash cannot leave the player with a truncated file. The buffered text is flushed
    // before the commit because a commit does not notice when that last write fails,
    // and would put the truncated text in place of the old file.
    QSaveFile file(configFileName);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        if (file.write(text) != text.size() || !file.flush() || !file.commit())
            return warnAboutConfigFile("Cannot write to config file:", problem);
        return true;
    }
    // Only a folder that refuses new files gets the file written in place: the file
    // itself was just opened for writing. Any other failure, such as a full disk,
    // leaves the old file as it is. Qt's own fallback covers fewer errors than this.
    const QFileInfo folder(QFileInfo(configFileName).absolutePath());
    if (folder.isWritable())
        return warnAboutConfigFile("Cannot write to config file:", problem);
    QFile inPlace(configFileName);
    if (!inPlace.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)
        || inPlace.write(text) != text.size() || !inPlace.flush()) {
        return warnAboutConfigFile("Cannot write to config file:", problem);
    }
    return true;
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_MainWindow)
{
    ui->setupUi(this);
    setFixedSize(384, 320);

    QList<QRadioButton *> driverButtons;
    for (const DriverChoice &choice : driverChoices)
        driverButtons.append(ui->*choice.button);
    QList<QPushButton *> clearButtons;
    for (const ClearAction &action : clearActions)
        clearButtons.append(ui->*action.button);

    for (int i = 0; i < driverButtons.size(); ++i) {
        connect(driverButtons[i], &QAbstractButton::toggled, driverButtons[i],
                [this, i](bool checked) { onRenderingDriverChanged(checked, i); },
                Qt::DirectConnection);
    }
    for (int i = 0; i < clearButtons.size(); ++i) {
        connect(clearButtons[i], &QAbstractButton::clicked, clearButtons[i],
                [this, i] { onClearData(i); }, Qt::DirectConnection);
    }
    connect(ui->pb_start, &QAbstractButton::clicked, this, &MainWindow::onRunGame);

    // Select the driver that override.cfg expresses; the connection made above writes
    // the selection back, and keeps for reportStartupProblem() what that write failed on.
    driverButtons[driverRowInFile()]->setChecked(true);
    m_constructing = false;

    QDir gameData;
    const bool haveGameData = enterGameDataDirectory(gameData);
    for (int i = 0; i < clearButtons.size(); ++i)
        clearButtons[i]->setEnabled(haveGameData && gameData.exists(QLatin1String(clearActions[i].fileName)));

    setWindowIcon(QIcon(QStringLiteral(":/assets/gear.ico")));
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::reportStartupProblem()
{
    if (!m_startupProblem.isEmpty())
        warn(std::exchange(m_startupProblem, QString()));
}

// The row of the driver that override.cfg expresses. An unknown method falls to the
// compatibility family, and an unknown driver to the second row of its family.
int MainWindow::driverRowInFile() const
{
    const QString method = getSetting(QLatin1String(methodKey), QLatin1String(driverChoices[0].method));
    const QString deviceDriver = getSetting(QLatin1String(driverChoices[0].driverKey),
                                            QLatin1String(driverChoices[0].driverValue));
    const QString compatibilityDriver = getSetting(QLatin1String(driverChoices[2].driverKey),
                                                   QLatin1String(driverChoices[2].driverValue));
    const bool forwardPlus = method == QLatin1String(driverChoices[0].method);
    const int family = forwardPlus ? 0 : 2;
    const QString &driver = forwardPlus ? deviceDriver : compatibilityDriver;
    return driver == QLatin1String(driverChoices[family].driverValue) ? family : family + 1;
}

void MainWindow::warn(const QString &text)
{
    QMessageBox::warning(this, windowTitle(), text);
}

void MainWindow::onRenderingDriverChanged(bool checked, int index)
{
    if (!checked)
        return;
    const DriverChoice &choice = driverChoices[index];
    QString problem;
    if (setSetting(QLatin1String(methodKey), QLatin1String(choice.method), &problem)
        && setSetting(QLatin1String(choice.driverKey), QLatin1String(choice.driverValue), &problem)) {
        return;
    }
    const QString message = QStringLiteral("The rendering driver could not be saved to %1 in %2.\n\n%3.")
                                .arg(configFileName, QDir::toNativeSeparators(QDir::currentPath()), problem);
    if (m_constructing) {
        // The selection already is what the file expresses; main() shows the message.
        m_startupProblem = message;
        return;
    }
    // Show the driver the game will really use. Signals are blocked so that this neither
    // writes again nor brings a second message.
    for (const DriverChoice &row : driverChoices)
        (ui->*row.button)->blockSignals(true);
    (ui->*driverChoices[driverRowInFile()].button)->setChecked(true);
    for (const DriverChoice &row : driverChoices)
        (ui->*row.button)->blockSignals(false);
    warn(message);
}

void MainWindow::onClearData(int index)
{
    if (index < 0 || index >= int(std::size(clearActions)))
        return;
    const ClearAction &action = clearActions[index];
    const auto answer = QMessageBox::information(this, QString(), QString::fromUtf8(action.confirmation),
                                                 QMessageBox::Ok | QMessageBox::Cancel,
                                                 QMessageBox::NoButton);
    if (answer != QMessageBox::Ok)
        return;
    // Found afresh after the question: the folder may have gone meanwhile.
    QDir gameData;
    if (enterGameDataDirectory(gameData)) {
        QFile file(gameData.filePath(QLatin1String(action.fileName)));
        // A file the running game holds open, or one in a folder the player may not
        // change, stays: say so, and leave the button for another try.
        if (!file.remove() && file.exists()) {
            warn(QStringLiteral("%1 could not be removed.\n\n%2")
                     .arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
            return;
        }
    }
    (ui->*action.button)->setEnabled(false);
}

void MainWindow::onRunGame()
{
#ifdef Q_OS_WIN
    // Windows' own program search finds the game beside the launcher, which in the
    // game's folder is also the working directory.
    const QString program = QStringLiteral("Quillmont.exe");
#else
    // Elsewhere a bare name is searched on PATH only, so name the file in the working
    // directory; a program of that name on PATH must never be the one started.
    const QString program = QStringLiteral("./Quillmont.exe");
#endif
    QProcess game;
    game.setProgram(program);
    if (game.startDetached()) {
        QCoreApplication::quit();
        return;
    }
    QString message = QStringLiteral("Quillmont.exe could not be started from %1.")
                          .arg(QDir::toNativeSeparators(QDir::currentPath()));
    // Qt puts the failed call before the system's reason ("execv: Permission denied");
    // its generic text adds nothing to the sentence above.
    const QString reason = game.errorString().section(QStringLiteral(": "), -1);
    if (!reason.isEmpty() && reason != QCoreApplication::translate("QProcess", "Process failed to start"))
        message += QStringLiteral("\n\n") + reason;
    warn(message);
}
