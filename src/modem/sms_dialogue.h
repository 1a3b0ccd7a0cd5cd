#pragma once

#include "modem/serial_port.h"

#include <chrono>
#include <string>

namespace vela {

// What the modem dialogue shows the operator. The window shows a wait cursor and a
// modal message box with the stop icon; velactl prints lines.
class ModemDialogueUi {
public:
    virtual ~ModemDialogueUi() = default;
    virtual void SetWaitCursor(bool shown) = 0;                // shown at start, hidden at the end
    virtual void ShowModemError(const std::string& text) = 0;  // modal box, stop icon
};

// Time limits of the dialogue's steps; only tests shorten them.
struct DialogueLimits {
    std::chrono::milliseconds shortStep{6000};
    std::chrono::milliseconds longStep{16000};
};

// Operator texts of the dialogue.
inline constexpr const char* kTextPortNotOpened = "Could not open selected port";
inline constexpr const char* kTextNoModem1 = "Modem was not found, 1st command";
inline constexpr const char* kTextNoModem2 = "Modem was not found, 2nd command";
inline constexpr const char* kTextNoPduMode = "Could not set modem to PDU mode";
inline constexpr const char* kTextSimProblem = "SIM was not found or protected";
inline constexpr const char* kTextNoPrompt = "Could not start sms routine";
inline constexpr const char* kTextNotSent = "Could not send SMS";

// Sends `pushMessage` (PDU in hex text) through the modem on `portName`: opens the port
// (closing it first, with the pause, when it is still open), then ATQ0, ATE0, AT+CMGF=0,
// AT+CPIN?, AT+CMGS=n and the message followed by Ctrl-Z and CR LF. True when the modem
// accepted the message; false after the first failed step, shown through `ui`. The port
// stays open either way.
bool SendPushSms(SerialPort& port, const std::string& portName, std::string pushMessage,
                 ModemDialogueUi& ui, const DialogueLimits& limits = {});

}  // namespace vela
