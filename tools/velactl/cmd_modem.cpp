// velactl modem check: what the modem says about itself, to find out why an SMS does not
// go out before a tracker is involved.
#include "commands.h"
#include "common/command_line.h"
#include "common/data_directory.h"
#include "modem/modem_check.h"
#include "modem/serial_port.h"
#include "storage/settings_store.h"
#include "storage/storage_errors.h"

#include <cstdio>
#include <filesystem>

namespace velactl {

namespace {

// Each question's wait, as the dialogue's short steps.
constexpr std::chrono::milliseconds kAnswerLimit{6000};

int runCheck(const Args& args) {
    vela::CommandLine commandLine(
        "velactl modem check", "velactl modem check [--port P] [--dir DIR]",
        "Opens the modem's port and prints, one 'name: value' line each, the model (ATI),\n"
        "the SIM state (AT+CPIN?), the signal (AT+CSQ, also in dBm), the registration\n"
        "(AT+CREG?) and the service centre (AT+CSCA?). The port is --port, or the modem\n"
        "port of settings.accdb in DIR (default: VELA_DIR or the current directory).\n"
        "Exit status 0 when the modem can send an SMS (SIM ready, registered), 1 otherwise\n"
        "with the reason on standard error.");
    commandLine.option("--port", "P", "COMn, a name such as ttyUSB0, or a device path")
        .option("--dir", "DIR", "the directory of settings.accdb");
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = commandLine.parse(args, exitCode);
    if (!options) return exitCode;

    std::string portName;
    if (const auto port = options->value("--port")) {
        portName = *port;
    } else {
        const vela::Result<std::filesystem::path> dir =
            vela::ResolveDataDirectory(options->value("--dir"), false);
        if (!dir) {
            std::fprintf(stderr, "velactl modem check: %s\n", dir.message().c_str());
            return kExitFailure;
        }
        std::error_code ec;
        if (!std::filesystem::exists(*dir / vela::kDatabaseFileName, ec)) {
            std::fprintf(stderr, "velactl modem check: no %s in %s; give --port\n",
                         vela::kDatabaseFileName, dir->c_str());
            return kExitFailure;
        }
        vela::ProgramSettings settings;
        const vela::Status loaded = vela::SettingsStore(*dir, [](const std::string& message) {
                                        std::fprintf(stderr, "warning: %s\n", message.c_str());
                                    }).load(settings);
        if (!loaded) return kExitFailure;
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
    vela::CommandLine commandLine("velactl modem", "velactl modem check [--port P] [--dir DIR]",
                                  "Diagnoses the GSM modem. Subcommands:\n"
                                  "  check   the modem's model, SIM, signal, registration and "
                                  "service centre");
    commandLine.positionals(1, 1);
    if (!args.empty() && args.front() == "check")
        return runCheck(Args(args.begin() + 1, args.end()));
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = commandLine.parse(args, exitCode);
    if (!options) return exitCode;
    return commandLine.usageError("unknown subcommand '" + options->positional().front() + "'");
}

}  // namespace velactl
