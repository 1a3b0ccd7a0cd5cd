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
    // Questions are kept as well, and answered with `proceed`.
    bool AskToProceed(QWidget* /*parent*/, const QString& text, const QString& yes,
                      const QString& no) override {
        questions.push_back(text + QStringLiteral(" [") + yes + QStringLiteral(" / ") + no +
                            QStringLiteral("]"));
        return proceed;
    }
    std::vector<Message> messages;
    std::vector<QString> questions;
    bool proceed = false;
};

}  // namespace vela::test
