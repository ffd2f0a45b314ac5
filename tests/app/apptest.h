// Shared set-up of the window tests: one application for the whole program, the message seam
// recording and answering OK, and trees served from texts.
#pragma once

#include "app/messages.h"

#include <QApplication>
#include <QString>

#include <vector>

namespace kvx::test {

// The application every test of this program runs in (created on first use).
kvx::app::KvxApplication& application();

// Records every message shown while it lives; each counts as answered with OK.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    std::vector<kvx::app::Message> messages;
    std::vector<QString> texts() const;

private:
    kvx::app::MessageHandler previous_;
};

} // namespace kvx::test
