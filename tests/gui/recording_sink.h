#pragma once

#include "gui/message_sink.h"

#include <QString>
#include <vector>

namespace vela::test {

// Keeps every message box instead of showing it, so no test blocks on a modal box.
class RecordingSink : public MessageSink {
public:
    struct Message {
        QString text;
        MessageIcon icon;
    };
    void ShowMessage(QWidget* /*parent*/, const QString& text, MessageIcon icon) override {
        messages.push_back({text, icon});
    }
    std::vector<Message> messages;
};

}  // namespace vela::test
