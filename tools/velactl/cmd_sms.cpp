// velactl sms: the modem dialogue alone, a rehearsal of the wake-up SMS without a
// tracker. Message boxes print as "error: TEXT".
#include "cmd_modem_common.h"
#include "commands.h"
#include "modem/push_message.h"
#include "modem/serial_port.h"
#include "modem/sms_dialogue.h"

#include <cstdio>

namespace velactl {

namespace {

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: velactl sms --tracker DESC [--dir DIR]\n\n"
                 "Sends the tracker's wake-up SMS through the modem named in the settings of\n"
                 "settings.accdb in DIR (default: the current directory) and prints the result.\n"
                 "Exit status 0 when the modem accepted the SMS, 1 otherwise.\n");
}

class ConsoleModemUi : public vela::ModemDialogueUi {
public:
    void SetWaitCursor(bool) override {}
    void ShowModemError(const std::string& text) override {
        std::printf("error: %s\n", text.c_str());
        std::fflush(stdout);
        lastError = text;
    }
    std::string lastError;
};

}  // namespace

int RunSms(const Args& args) {
    std::string description;
    std::string dir = ".";
    bool haveTracker = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            printUsage(stdout);
            return kExitOk;
        }
        if ((args[i] == "--tracker" || args[i] == "--dir") && i + 1 < args.size()) {
            (args[i] == "--tracker" ? description : dir) = args[i + 1];
            haveTracker = haveTracker || args[i] == "--tracker";
            ++i;
            continue;
        }
        std::fprintf(stderr, "velactl sms: unexpected '%s'\n", args[i].c_str());
        printUsage(stderr);
        return kExitUsage;
    }
    if (!haveTracker) {
        std::fprintf(stderr, "velactl sms: --tracker is required\n");
        printUsage(stderr);
        return kExitUsage;
    }

    const auto stored = LoadStoredTracker("sms", description, dir, stdout);
    if (!stored) return kExitFailure;

    ConsoleModemUi ui;
    // A message that cannot be sent is refused before the modem is touched, and the
    // run ends as a failed SMS does.
    const vela::Result<std::string> pdu = vela::BuildPushMessage(stored->tracker, stored->settings);
    if (!pdu) {
        ui.ShowModemError(pdu.message());
        return kExitFailure;
    }
    vela::SerialPort port;
    const std::string& portName = stored->settings.modemPort;
    if (!vela::SendPushSms(port, portName, *pdu, ui)) {
        if (ui.lastError == vela::kTextPortNotOpened) {
            // The box keeps its fixed text; the likely cause goes to the diagnostics.
            vela::SerialPort probe;
            const vela::Status status = probe.Open(portName);
            if (!status) std::fprintf(stderr, "velactl sms: %s\n", status.message().c_str());
        }
        return kExitFailure;
    }
    std::printf("sms: sent to %s through %s\n", stored->tracker.phone.c_str(), portName.c_str());
    return kExitOk;
}

}  // namespace velactl
