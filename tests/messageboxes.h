// Answering the message boxes that a click opens, for the tests that drive the window:
// what each box showed, and what was logged once the first one was answered.

#ifndef MESSAGEBOXES_H
#define MESSAGEBOXES_H

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

namespace messageboxes {

enum class Answer { Ok, Cancel, Escape, Close };

struct ShownBox
{
    QString text;
    QString title;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons standardButtons;
    qsizetype buttonCount;
    bool parentedToWindow;
    QMessageBox::StandardButton defaultButton;
};

inline QStringList *loggedMessages = nullptr;

inline void recordMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    // The offscreen platform warns about every new window's size hints: not ours.
    if (loggedMessages && !message.contains(QLatin1String("propagateSizeHints")))
        loggedMessages->append(message);
}

// Runs `action` (a click) and answers the message boxes it shows: the first with
// `answer`, any further one with Cancel. Everything logged from the moment the first
// box is answered until the action returns lands in `logged`.
inline QList<ShownBox> answerBoxes(const QWidget *window, Answer answer, const std::function<void()> &action,
                            QStringList *logged = nullptr)
{
    QList<ShownBox> shown;
    QStringList lateMessages;
    QtMessageHandler previousHandler = nullptr;
    bool handlerInstalled = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        shown.append({ box->text(), box->windowTitle(), box->icon(), box->standardButtons(),
                       box->buttons().size(), box->parentWidget() == window,
                       box->standardButton(box->defaultButton()) });
        if (shown.size() > 1) {
            box->reject();
            return;
        }
        loggedMessages = &lateMessages;
        previousHandler = qInstallMessageHandler(recordMessage);
        handlerInstalled = true;
        switch (answer) {
        case Answer::Ok:
            box->button(QMessageBox::Ok)->click();
            break;
        case Answer::Cancel:
            box->button(QMessageBox::Cancel)->click();
            break;
        case Answer::Escape:
            QTest::keyClick(box, Qt::Key_Escape);
            break;
        case Answer::Close:
            box->close();
            break;
        }
    });
    poll.start();
    action();
    poll.stop();
    if (handlerInstalled) {
        qInstallMessageHandler(previousHandler);
        loggedMessages = nullptr;
    }
    if (logged)
        *logged = lateMessages;
    return shown;
}

} // namespace messageboxes

#endif // MESSAGEBOXES_H
