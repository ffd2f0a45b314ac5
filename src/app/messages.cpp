#include "app/messages.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTextStream>

#include <cstdio>
#include <exception>
#include <utility>

namespace kvx::app {

namespace {

const QString kCaption = QStringLiteral("Korvanex");

MessageHandler& currentHandler() {
    static MessageHandler handler;
    return handler;
}

void dispatch(QWidget* owner, Message message) {
    const MessageHandler& handler = currentHandler();
    if (handler)
        handler(owner, message);
    else
        showMessageBox(owner, message);
}

QuestionHandler& currentQuestionHandler() {
    static QuestionHandler handler;
    return handler;
}

// A box of the window, not of the application: the window's own events (a running report's
// progress) go on while it shows.
void showQuestionBox(QWidget* owner, const Question& question,
                     std::function<void(bool yes)> answered) {
    auto* box = new QMessageBox(owner);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(kCaption);
    box->setText(question.text);
    box->setIcon(QMessageBox::Question);
    QPushButton* yes = box->addButton(question.yes, QMessageBox::AcceptRole);
    box->addButton(question.no, QMessageBox::RejectRole);
    box->setDefaultButton(yes);
    box->setWindowModality(Qt::WindowModal);
    QObject::connect(
        box, &QMessageBox::finished, box,
        [box, yes, answered = std::move(answered)](int) { answered(box->clickedButton() == yes); });
    box->show();
}

} // namespace

QuestionHandler setQuestionHandler(QuestionHandler handler) {
    return std::exchange(currentQuestionHandler(), std::move(handler));
}

void AskQuestion(QWidget* owner, const Question& question, std::function<void(bool yes)> answered) {
    const QuestionHandler& handler = currentQuestionHandler();
    if (handler)
        handler(owner, question, std::move(answered));
    else
        showQuestionBox(owner, question, std::move(answered));
}

MessageHandler setMessageHandler(MessageHandler handler) {
    return std::exchange(currentHandler(), std::move(handler));
}

void showMessageBox(QWidget* owner, const Message& message) {
    QMessageBox box(owner);
    box.setWindowTitle(message.caption);
    box.setText(message.text);
    box.setIcon(message.kind == MessageKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

void writeMessageToStderr(QWidget*, const Message& message) {
    const QByteArray text = (message.caption + QStringLiteral(": ") + message.text).toUtf8();
    std::fprintf(stderr, "%s\n", text.constData());
    std::fflush(stderr);
}

QString formatErrorCode(const QString& text, NWDSCCODE code) {
    const auto bits = static_cast<nuint32>(code);
    return text + QStringLiteral("\nCode : ") + QString::number(bits, 16);
}

void ShowErrorCode(QWidget* owner, const QString& text, NWDSCCODE code, const QString& reason) {
    QString body = formatErrorCode(text, code);
    if (!reason.isEmpty())
        body += QStringLiteral("\n") + reason;
    dispatch(owner, Message{kCaption, body, MessageKind::Failure});
}

void ShowMessage(QWidget* owner, const QString& text, MessageKind kind) {
    dispatch(owner, Message{kCaption, text, kind});
}

void ShowFrameworkError(QWidget* owner, const QString& text) {
    dispatch(owner, Message{kCaption, text, MessageKind::Error});
}

KvxApplication::KvxApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // No display name: the window system would add it to every window's title, and each window
    // has a title of its own ("Explaination of Tabular Terms", not "... — Korvanex").
    setApplicationName(kCaption);
}

bool KvxApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowFrameworkError(activeWindow(), QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowFrameworkError(activeWindow(), QStringLiteral("Unknown error"));
    }
    return false;
}

} // namespace kvx::app
