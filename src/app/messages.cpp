#include "app/messages.h"

#include <QMessageBox>
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

} // namespace

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
    setApplicationName(kCaption);
    setApplicationDisplayName(kCaption);
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
