#pragma once

#include "modem/serial_port.h"
#include "modem/status_report.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

namespace vela {

// What the modem dialogue shows the operator. The window shows a wait cursor and a
// modal message box with the stop icon; velactl prints lines.
class ModemDialogueUi {
public:
    virtual ~ModemDialogueUi() = default;
    virtual void SetWaitCursor(bool shown) = 0;  // shown at start, hidden at the end
    // Modal box, stop icon: the step's fixed text, with the reason as its details.
    virtual void ShowModemError(const std::string& text, const std::string& reason) = 0;
};

// The dialogue's sense of time. The program uses the steady clock and waits on the
// port; tests put in a clock of their own to check the real limits without waiting.
class DialogueClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~DialogueClock() = default;
    virtual TimePoint Now();
    // Returns when input is queued or `limit` has passed.
    virtual void WaitForInput(SerialPort& port, std::chrono::milliseconds limit);
    virtual void Sleep(std::chrono::milliseconds length);
};

// Time limits of the dialogue's steps; only tests shorten them.
struct DialogueLimits {
    std::chrono::milliseconds shortStep{6000};
    std::chrono::milliseconds longStep{16000};
    // A busy SIM is asked again after this pause, within the step's limit.
    std::chrono::milliseconds simBusyRetry{1000};
    DialogueClock* clock = nullptr;  // nullptr: the steady clock
    // Set from another thread to end the dialogue within `cancelPoll` (the operator's
    // stop); the outcome is then `cancelled`.
    const std::atomic<bool>* cancel = nullptr;
    std::chrono::milliseconds cancelPoll{200};
    // How long the port is read for the status report after an accepted message that
    // asked for one.
    std::chrono::milliseconds reportWait{30000};
};

// How far a dialogue got. Every rule about an SMS's fate reads this, never a text: the
// texts belong to the operator.
enum class DialogueStage {
    PortNotOpened,  // the port did not open: nothing reached the modem
    BeforeMessage,  // a command before the message failed: the message was not handed over
    AfterPrompt,    // the message was handed over but not confirmed: it may have gone out
    Accepted,       // the modem accepted the message
};

// How a dialogue ended: sent, or the failed step's fixed text and the reason behind it
// (the port's error, the modem's own final line and its meaning, or what a time-out saw).
struct DialogueOutcome {
    bool sent = false;
    DialogueStage stage = DialogueStage::PortNotOpened;
    bool cancelled = false;  // ended by `DialogueLimits::cancel`
    std::string failureText;
    std::string reason;
    // The reference of "+CMGS: <mr>" once accepted: a status report names the message by it.
    std::optional<int> messageReference;
    // For a message that asked for a status report: the report the network sent for it
    // (its final one, or the last "still trying" when no final one came in time), or why
    // there is none in `reportNote`.
    bool reportAsked = false;
    std::optional<StatusReport> report;
    std::string reportNote;
};

// Operator texts of the dialogue.
inline constexpr const char* kTextStoppedByOperator = "stopped by the operator";
inline constexpr const char* kTextPortNotOpened = "Could not open selected port";
inline constexpr const char* kTextNoModem1 = "Modem was not found, 1st command";
inline constexpr const char* kTextNoModem2 = "Modem was not found, 2nd command";
inline constexpr const char* kTextNoPduMode = "Could not set modem to PDU mode";
inline constexpr const char* kTextSimProblem = "SIM was not found or protected";
inline constexpr const char* kTextNoPrompt = "Could not start sms routine";
inline constexpr const char* kTextNotSent = "Could not send SMS";

// Sends `pushMessage` (PDU in hex text) through the modem on `portName`: opens the port
// (closing it first, with the pause, when it is still open), then ATQ0, ATE0, AT+CMGF=0,
// AT+CPIN?, AT+CMGS=n and the message followed by Ctrl-Z and CR LF. A message that asks
// for a status report (TP-SRR) also has the modem route reports to the line (AT+CNMI=?
// and AT+CNMI before AT+CMGS) and the port read for its report afterwards (up to
// `reportWait`); a modem that cannot route them still sends the message. True when the modem
// accepted the message; false after the first failed step, shown through `ui`. The port
// stays open either way.
bool SendPushSms(SerialPort& port, const std::string& portName, std::string pushMessage,
                 ModemDialogueUi& ui, const DialogueLimits& limits = {});

// The same dialogue without any user interface, for callers that run it off their UI
// thread and report the outcome themselves. A failure after the "> " prompt leaves the
// prompt with ESC, so the modem answers commands again.
DialogueOutcome RunSmsDialogue(SerialPort& port, const std::string& portName,
                               std::string pushMessage, const DialogueLimits& limits = {});

// What the network said of an accepted message that asked for a status report: "delivered
// at 10:15:35", "not delivered: the tracker was unreachable until the message expired",
// or "not confirmed as delivered: " and why.
std::string DeliveryLine(const DialogueOutcome& outcome);

}  // namespace vela
