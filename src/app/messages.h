// Every message box of the program goes through one replaceable handler, so that tests can
// record and answer them and unattended runs can write them to standard error.
#pragma once

#include "directory/client/nwdsclient.h"

#include <QApplication>
#include <QString>

#include <functional>

class QWidget;

namespace kvx::app {

enum class MessageKind {
    Notice,  // the plain "Korvanex" box for something the user should know; not a failure
    Failure, // the plain "Korvanex" box: a failed call or a check that stopped an operation
    Error,   // the framework's error display (stop icon): an error escaped a handler
};

struct Message {
    QString caption; // always "Korvanex"
    QString text;
    MessageKind kind = MessageKind::Failure;
};

// Shows one message and waits until it is answered (every box has only an OK button).
using MessageHandler = std::function<void(QWidget* owner, const Message& message)>;

// Installs `handler` and returns the one it replaces. An empty handler restores the default,
// which shows a QMessageBox.
MessageHandler setMessageHandler(MessageHandler handler);

// The handler that shows QMessageBox: caption "Korvanex", OK button, no icon except for errors.
void showMessageBox(QWidget* owner, const Message& message);

// The handler for runs without a display: "Korvanex: <text>" on standard error.
void writeMessageToStderr(QWidget* owner, const Message& message);

// "<text>\nCode : <code as unsigned 32-bit lower-case hex>" (-601 gives fffffda7).
QString formatErrorCode(const QString& text, NWDSCCODE code);

// The message box for a failed client call; `reason`, when given, follows the code line (why
// the tree cannot be opened).
void ShowErrorCode(QWidget* owner, const QString& text, NWDSCCODE code,
                   const QString& reason = QString());

// The plain "Korvanex" message box.
void ShowMessage(QWidget* owner, const QString& text, MessageKind kind = MessageKind::Failure);

// The framework's standard error display.
void ShowFrameworkError(QWidget* owner, const QString& text);

// A question with two answers. It does not wait: the window goes on (a report keeps running)
// while it shows, and `answered` is told true for the first answer, false for the second or a
// closed box. Tests replace the handler to answer.
struct Question {
    QString text;
    QString yes; // e.g. "Stop and quit"
    QString no;  // e.g. "Continue"
};
using QuestionHandler = std::function<void(QWidget* owner, const Question& question,
                                           std::function<void(bool yes)> answered)>;
QuestionHandler setQuestionHandler(QuestionHandler handler);
void AskQuestion(QWidget* owner, const Question& question, std::function<void(bool yes)> answered);

// The application: title "Korvanex"; an exception escaping an event handler is shown by the
// standard error display and the program goes on.
class KvxApplication : public QApplication {
public:
    KvxApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace kvx::app
