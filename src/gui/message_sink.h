#pragma once

#include <QString>

class QWidget;

namespace vela {

// The two icons of the program's message boxes.
enum class MessageIcon {
    Stop,         // input and run errors, the modem, the test server
    Exclamation,  // the data layer's own error texts
};

// Where modal message boxes go. The window uses QMessageBoxSink; tests use a recording
// sink so that no test ever blocks on a modal box.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void ShowMessage(QWidget* parent, const QString& text, MessageIcon icon) = 0;
    // The same box with a reason behind its text; sinks without details show the text.
    virtual void ShowMessageWithDetails(QWidget* parent, const QString& text, MessageIcon icon,
                                        const QString& details) {
        (void)details;
        ShowMessage(parent, text, icon);
    }
    // A question with Yes and No buttons, No the default; true for Yes. Sinks that
    // cannot ask answer No.
    virtual bool AskYesNo(QWidget* parent, const QString& text, MessageIcon icon) {
        ShowMessage(parent, text, icon);
        return false;
    }
    // A question with the buttons `proceed` and `cancel`, the latter the default (and
    // Escape); true for `proceed`. Sinks that cannot ask answer `cancel`.
    virtual bool AskToProceed(QWidget* parent, const QString& text, const QString& proceed,
                              const QString& cancel) {
        (void)proceed;
        (void)cancel;
        ShowMessage(parent, text, MessageIcon::Exclamation);
        return false;
    }
};

// A modal QMessageBox with an OK button, titled with the program's name.
class QMessageBoxSink : public MessageSink {
public:
    void ShowMessage(QWidget* parent, const QString& text, MessageIcon icon) override;
    void ShowMessageWithDetails(QWidget* parent, const QString& text, MessageIcon icon,
                                const QString& details) override;
    bool AskYesNo(QWidget* parent, const QString& text, MessageIcon icon) override;
    bool AskToProceed(QWidget* parent, const QString& text, const QString& proceed,
                      const QString& cancel) override;
};

}  // namespace vela
