// velactl sms: the modem dialogue alone, a rehearsal of the wake-up SMS without a
// tracker. Message boxes print as "error: TEXT", their reason on standard error.
#include "cmd_modem_common.h"
#include "commands.h"
#include "common/command_line.h"
#include "modem/push_message.h"
#include "modem/serial_port.h"
#include "modem/serial_trace.h"
#include "modem/sms_dialogue.h"
#include "storage/station_options.h"
#include "storage_options.h"

#include <cstdio>

namespace velactl {

namespace {

class ConsoleModemUi : public vela::ModemDialogueUi {
public:
    void SetWaitCursor(bool) override {}
    void ShowModemError(const std::string& text, const std::string& reason) override {
        std::printf("error: %s\n", text.c_str());
        std::fflush(stdout);
        // Standard output keeps the box's exact text; the reason is a diagnostic.
        if (!reason.empty()) std::fprintf(stderr, "velactl sms: %s\n", reason.c_str());
    }
};

}  // namespace

int RunSms(const Args& args) {
    vela::CommandLine commandLine(
        "velactl sms",
        "velactl sms --tracker DESC [--dir DIR | --user-data] [--database URL]\n"
        "                   [--trace FILE] [--delivery-report]",
        "Sends the tracker's wake-up SMS through the modem named in the stored settings\n"
        "(settings.accdb or a shared database) and prints the result. With\n"
        "--delivery-report the SMS asks the network for a status report, which is awaited\n"
        "for up to 30 s and printed.\n"
        "Exit status 0 when the modem accepted the SMS, 1 otherwise (also when the network\n"
        "reports that it cannot be delivered).");
    commandLine.option("--tracker", "DESC", "the tracker's description in the database")
        .dataChoice()
        .option("--trace", "FILE",
                "record every byte written to and read from the modem (owner-only file)")
        .flag("--delivery-report",
              "ask the network for a status report and wait for it (default: the stored "
              "option)");
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = commandLine.parse(args, exitCode);
    if (!options) return exitCode;
    if (!options->has("--tracker")) return commandLine.usageError("--tracker is required");

    const std::optional<vela::InstallationChoice> choice = ChosenInstallation(*options, exitCode);
    if (!choice) return exitCode;
    const auto stored = LoadStoredTracker("sms", *options->value("--tracker"), *choice, stdout);
    if (!stored) return kExitFailure;

    ConsoleModemUi ui;
    // A message that cannot be sent is refused before the modem is touched, and the
    // run ends as a failed SMS does.
    // Without the option, the stored choice of the station decides.
    bool report = options->has("--delivery-report");
    if (vela::StationOptions stationOptions;
        !report && choice->storage()->loadOptions(stationOptions)) {
        report = stationOptions.askForDeliveryReports;
    }
    const vela::Result<std::string> pdu =
        vela::BuildPushMessage(stored->tracker, stored->settings, report);
    if (!pdu) {
        ui.ShowModemError(pdu.message(), {});
        return kExitFailure;
    }
    vela::SerialPort port;
    std::unique_ptr<vela::SerialTrace> trace;
    if (const auto tracePath = options->value("--trace")) {
        auto created = vela::SerialTrace::Create(*tracePath);
        if (!created) {
            std::fprintf(stderr, "velactl sms: %s\n", created.message().c_str());
            return kExitFailure;
        }
        trace = std::move(created).value();
        port.setTrace(trace.get());
    }
    const std::string& portName = stored->settings.modemPort;
    const vela::DialogueOutcome outcome = vela::RunSmsDialogue(port, portName, *pdu);
    if (!outcome.sent) ui.ShowModemError(outcome.failureText, outcome.reason);
    const bool sent = outcome.sent;
    port.setTrace(nullptr);
    if (trace && !trace->status()) {
        std::fprintf(stderr, "velactl sms: trace: %s\n", trace->status().message().c_str());
    }
    if (!sent) return kExitFailure;
    std::printf("sms: sent to %s through %s\n", stored->tracker.phone.c_str(), portName.c_str());
    if (!outcome.reportAsked) return kExitOk;
    const std::string delivery = vela::DeliveryLine(outcome);
    std::printf("sms: %s\n", delivery.c_str());
    return outcome.report && outcome.report->state == vela::DeliveryState::Failed ? kExitFailure
                                                                                  : kExitOk;
}

}  // namespace velactl
