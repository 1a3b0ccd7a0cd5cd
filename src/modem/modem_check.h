#pragma once

#include "modem/serial_port.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace vela {

// What an open modem says about itself: model, SIM, signal, registration and service
// centre, as "name: value" lines, and whether it can send an SMS (SIM ready and
// registered), with the reason when it cannot. Modem bytes in the values are escaped.
struct ModemCheck {
    std::vector<std::pair<std::string, std::string>> lines;
    bool canSend = false;
    std::string reason;
};

// Asks the modem on the open `port`; each question waits at most `limit` for its final
// result.
ModemCheck CheckModem(SerialPort& port, std::chrono::milliseconds limit);

}  // namespace vela
