#include "commands.h"
#include "json_output.h"
#include "storage_options.h"

#include "common/number.h"
#include "common/terminal_text.h"

#include <array>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

namespace velactl {

namespace {

std::optional<int32_t> parsePort(std::string_view text) {
    const std::optional<long> value = vela::parseWholeNumber(text, 1, 65535);
    if (!value) return std::nullopt;
    return static_cast<int32_t>(*value);
}

void print(const vela::ProgramSettings& s) {
    std::printf("external-ip: %s\nexternal-port: %d\nlocal-port: %d\ntimeout: %d\nmodem-port: %s\n",
                vela::formatIpv4(s.externalIp).c_str(), s.externalPort, s.localPort,
                s.timeoutSeconds, vela::EscapeForTerminal(s.modemPort).c_str());
}

int runShow(const Args& args) {
    vela::CommandLine line(
        "velactl settings show",
        "velactl settings show [--dir DIR | --user-data | --database URL] [--json]",
        "Shows the stored settings, or the defaults the program runs with when\n"
        "they cannot be read.");
    AddStorageOptions(line).flag("--json", "print a JSON array of one object");
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto storage = OpenChosenStorage(*options, exitCode);
    if (!storage) return exitCode;
    vela::ProgramSettings settings;
    const bool loaded = static_cast<bool>(storage->engine->loadSettings(settings));
    if (options->has("--json")) {
        PrintJsonArray(QJsonArray{SettingsJson(settings)});
    } else {
        print(settings);  // the values the program would run with
    }
    return loaded ? kExitOk : kExitFailure;
}

int runSet(const Args& args) {
    vela::CommandLine line(
        "velactl settings set",
        "velactl settings set [--dir DIR | --user-data | --database URL] [--external-ip A.B.C.D]\n"
        "                            [--external-port N] [--local-port N] [--modem-port NAME]",
        "Changes the stored settings, keeping the values it is not given, and creates\n"
        "the database when it does not exist. Ports are decimal, 1 to 65535. The modem\n"
        "port is a name such as COM3 or a device path such as /dev/ttyUSB0.");
    AddStorageOptions(line)
        .option("--external-ip", "A.B.C.D", "the address trackers are told to call")
        .option("--external-port", "N", "the port trackers are told to call (decimal)")
        .option("--local-port", "N", "the port to listen on (decimal)")
        .option("--modem-port", "NAME", "the modem's serial port");
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    std::optional<uint32_t> ip;
    std::optional<int32_t> externalPort;
    std::optional<int32_t> localPort;
    if (auto text = options->value("--external-ip")) {
        if (!(ip = vela::parseIpv4(*text))) {
            return line.usageError("--external-ip takes an address A.B.C.D, not '" +
                                   vela::EscapeForTerminal(*text) + "'");
        }
    }
    for (auto [name, target] :
         {std::pair{"--external-port", &externalPort}, std::pair{"--local-port", &localPort}}) {
        if (auto text = options->value(name)) {
            if (!(*target = parsePort(*text))) {
                return line.usageError(std::string(name) + " takes a port 1 to 65535, not '" +
                                       vela::EscapeForTerminal(*text) + "'");
            }
        }
    }
    const auto name = options->value("--modem-port");
    if (!ip && !externalPort && !localPort && !name) {
        return line.usageError("set needs at least one value to change");
    }
    const auto storage = OpenChosenStorage(*options, exitCode);
    if (!storage) return exitCode;

    vela::ProgramSettings settings;
    // A database that does not exist yet is made by the save below; one that cannot be
    // read is not overwritten.
    if (!storage->fileMissing && !storage->engine->loadSettings(settings)) return kExitFailure;
    if (ip) settings.externalIp = *ip;
    if (externalPort) settings.externalPort = *externalPort;
    if (localPort) settings.localPort = *localPort;
    if (name) settings.modemPort = *name;
    if (!storage->engine->saveSettings(settings)) return kExitFailure;
    print(settings);
    return kExitOk;
}

constexpr std::array<Subcommand, 2> kSubcommands = {{
    {"show", "show the stored settings", runShow},
    {"set", "change the stored settings", runSet},
}};

}  // namespace

int RunSettings(const Args& args) {
    return RunSubcommandGroup("settings", "Shows or changes the settings stored in settings.accdb.",
                              kSubcommands, args);
}

}  // namespace velactl
