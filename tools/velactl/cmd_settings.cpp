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

void print(const vela::ProgramSettings& s, const vela::StationOptions& options) {
    std::printf("external-ip: %s\nexternal-port: %d\nlocal-port: %d\ntimeout: %d\nmodem-port: %s\n",
                vela::formatIpv4(s.externalIp).c_str(), s.externalPort, s.localPort,
                s.timeoutSeconds, vela::EscapeForTerminal(s.modemPort).c_str());
    std::printf("allow-from: %s\ndelivery-reports: %s\n",
                options.allowFrom.empty() ? "everyone" : options.allowFrom.Text().c_str(),
                vela::OnOffText(options.askForDeliveryReports));
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
    vela::StationOptions stationOptions;
    const bool loaded = static_cast<bool>(storage->engine->loadSettings(settings)) &&
                        static_cast<bool>(storage->engine->loadOptions(stationOptions));
    if (options->has("--json")) {
        PrintJsonArray(QJsonArray{SettingsJson(settings, stationOptions)});
    } else {
        print(settings, stationOptions);  // the values the program would run with
    }
    return loaded ? kExitOk : kExitFailure;
}

int runSet(const Args& args) {
    vela::CommandLine line(
        "velactl settings set",
        "velactl settings set [--dir DIR | --user-data | --database URL] [--external-ip A.B.C.D]\n"
        "                            [--external-port N] [--local-port N] [--modem-port NAME]\n"
        "                            [--allow-from CIDR,...] [--delivery-reports on|off]",
        "Changes the stored settings, keeping the values it is not given, and creates\n"
        "the database when it does not exist. Ports are decimal, 1 to 65535. The modem\n"
        "port is a name such as COM3 or a device path such as /dev/ttyUSB0. The\n"
        "allow-list replaces the stored one; --allow-from '' lets everyone call.");
    AddStorageOptions(line)
        .option("--external-ip", "A.B.C.D", "the address trackers are told to call")
        .option("--external-port", "N", "the port trackers are told to call (decimal)")
        .option("--local-port", "N", "the port to listen on (decimal)")
        .option("--modem-port", "NAME", "the modem's serial port")
        .repeatable("--allow-from", "CIDR,...",
                    "the callers the runs and campaigns serve (A.B.C.D/N; repeatable)")
        .option("--delivery-reports", "on|off", "whether each SMS asks for a delivery report");
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
    std::optional<vela::AddressAllowList> allowFrom;
    if (const std::vector<std::string> lists = options->values("--allow-from"); !lists.empty()) {
        std::string joined;
        for (const std::string& list : lists) joined += list + ",";
        vela::Result<vela::AddressAllowList> parsed = vela::parseAddressAllowList(joined);
        if (!parsed) return line.usageError("--allow-from: " + parsed.message());
        allowFrom = std::move(parsed).value();
    }
    std::optional<bool> deliveryReports;
    if (const auto text = options->value("--delivery-reports")) {
        const vela::Result<bool> on = vela::ParseOnOff(*text);
        if (!on) {
            return line.usageError("--delivery-reports takes on or off, not '" +
                                   vela::EscapeForTerminal(*text) + "'");
        }
        deliveryReports = on.value();
    }
    const bool settingsChange = ip || externalPort || localPort || name;
    if (!settingsChange && !allowFrom && !deliveryReports) {
        return line.usageError("set needs at least one value to change");
    }
    const auto storage = OpenChosenStorage(*options, exitCode);
    if (!storage) return exitCode;

    vela::ProgramSettings settings;
    vela::StationOptions stationOptions;
    // A database that does not exist yet is made by the save below; one that cannot be
    // read is not overwritten.
    if (!storage->fileMissing && !storage->engine->loadSettings(settings)) return kExitFailure;
    if (ip) settings.externalIp = *ip;
    if (externalPort) settings.externalPort = *externalPort;
    if (localPort) settings.localPort = *localPort;
    if (name) settings.modemPort = *name;
    if (settingsChange && !storage->engine->saveSettings(settings)) return kExitFailure;
    // Options that cannot be read are replaced only as a whole: both are given.
    const bool bothOptions = allowFrom && deliveryReports;
    if (!storage->engine->loadOptions(stationOptions) && !bothOptions &&
        (allowFrom || deliveryReports)) {
        return kExitFailure;
    }
    if (allowFrom) stationOptions.allowFrom = std::move(*allowFrom);
    if (deliveryReports) stationOptions.askForDeliveryReports = *deliveryReports;
    if ((allowFrom || deliveryReports) && !storage->engine->saveOptions(stationOptions)) {
        return kExitFailure;
    }
    print(settings, stationOptions);
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
