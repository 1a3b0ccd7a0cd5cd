// velactl modem check: what the modem says about itself, to find out why an SMS does not
// go out before a tracker is involved.
#include "commands.h"
#include "common/command_line.h"
#include "common/terminal_text.h"
#include "modem/modem_check.h"
#include "modem/serial_port.h"
#include "storage/database_file.h"
#include "storage/settings_store.h"
#include "storage/storage_errors.h"
#include "storage_options.h"

#include <cstdio>
#include <filesystem>

namespace velactl {

namespace {

// Each question's wait, as the dialogue's short steps.
constexpr std::chrono::milliseconds kAnswerLimit{6000};

int runCheck(const Args& args) {
    vela::CommandLine commandLine(
        "velactl modem check",
        "velactl modem check [--port P] [--dir DIR | --user-data] [--database URL]",
        "Opens the modem's port and prints, one 'name: value' line each, the model (ATI),\n"
        "the SIM state (AT+CPIN?), the signal (AT+CSQ, also in dBm), the registration\n"
        "(AT+CREG?) and the service centre (AT+CSCA?). The port is --port, or the modem\n"
        "port of the stored settings (settings.accdb or a shared database).\n"
        "Exit status 0 when the modem can send an SMS (SIM ready, registered), 1 otherwise\n"
        "with the reason on standard error.");
    commandLine.option("--port", "P", "COMn, a name such as ttyUSB0, or a device path")
        .dataChoice();
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = commandLine.parse(args, exitCode);
    if (!options) return exitCode;

    std::string portName;
    if (const auto port = options->value("--port")) {
        portName = *port;
    } else {
        const std::optional<vela::InstallationChoice> choice =
            ChosenInstallation(*options, exitCode);
        if (!choice) return exitCode;
        std::error_code ec;
        if (!choice->databaseUrl &&
            !std::filesystem::exists(vela::databaseFile(choice->directory), ec)) {
            std::fprintf(stderr, "velactl modem check: no %s in %s; give --port\n",
                         vela::kDatabaseFileName,
                         vela::EscapeForTerminal(choice->directory.string()).c_str());
            return kExitFailure;
        }
        vela::ProgramSettings settings;
        if (!choice->storage(warningReporter())->loadSettings(settings)) return kExitFailure;
        portName = settings.modemPort;
    }

    vela::SerialPort port;
    if (const vela::Status opened = port.Open(portName); !opened) {
        std::fprintf(stderr, "velactl modem check: %s\n", opened.message().c_str());
        return kExitFailure;
    }
    std::printf("port: %s\n", portName.c_str());
    const vela::ModemCheck check = vela::CheckModem(port, kAnswerLimit);
    for (const auto& [name, value] : check.lines)
        std::printf("%s: %s\n", name.c_str(), value.c_str());
    std::fflush(stdout);
    if (!check.canSend) {
        std::fprintf(stderr, "velactl modem check: the modem cannot send: %s\n",
                     check.reason.c_str());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

int RunModem(const Args& args) {
    vela::CommandLine commandLine("velactl modem",
                                  "velactl modem check [--port P] [--dir DIR] [--database URL]",
                                  "Diagnoses the GSM modem. Subcommands:\n"
                                  "  check   the modem's model, SIM, signal, registration and "
                                  "service centre");
    commandLine.positionals(1, 1);
    if (!args.empty() && args.front() == vela::kDescribeOptions) {
        std::printf(
            "subcommand\tcheck\tthe modem's model, SIM, signal, registration and service "
            "centre\n");
        return kExitOk;
    }
    if (!args.empty() && args.front() == "check")
        return runCheck(Args(args.begin() + 1, args.end()));
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = commandLine.parse(args, exitCode);
    if (!options) return exitCode;
    return commandLine.usageError("unknown subcommand '" + options->positional().front() + "'");
}

}  // namespace velactl
