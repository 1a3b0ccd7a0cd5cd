#include "commands.h"
#include "storage_options.h"

#include "storage/database_file.h"
#include "storage/settings_store.h"

#include <cstdio>
#include <optional>
#include <string_view>

namespace velactl {

namespace {

constexpr const char* kUsage =
    "Usage: velactl settings show [--dir DIR]\n"
    "       velactl settings set [--dir DIR] [--external-ip A.B.C.D] [--external-port N]\n"
    "                            [--local-port N] [--modem-port NAME]\n\n"
    "Shows or changes the settings stored in DIR/settings.accdb (default: the current\n"
    "directory). Ports are decimal, 1 to 65535. The modem port is a name such as COM3\n"
    "or a device path such as /dev/ttyUSB0. 'set' keeps the values it is not given and\n"
    "creates the database when it does not exist.\n";

std::optional<int32_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    int32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return std::nullopt;
    return value;
}

std::optional<uint32_t> parseIpv4(std::string_view text) {
    uint32_t address = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (text.empty() || text.front() != '.') return std::nullopt;
            text.remove_prefix(1);
        }
        size_t digits = 0;
        uint32_t value = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
            value = value * 10 + static_cast<uint32_t>(text[digits] - '0');
            if (++digits > 3) return std::nullopt;
        }
        if (digits == 0 || value > 255) return std::nullopt;
        text.remove_prefix(digits);
        address = (address << 8) | value;
    }
    if (!text.empty()) return std::nullopt;
    return address;
}

void print(const vela::ProgramSettings& s) {
    std::printf("external-ip: %s\nexternal-port: %d\nlocal-port: %d\ntimeout: %d\nmodem-port: %s\n",
                vela::formatIpv4(s.externalIp).c_str(), s.externalPort, s.localPort,
                s.timeoutSeconds, s.modemPort.c_str());
}

int runSet(const StorageArgs& parsed) {
    vela::ProgramSettings settings;
    std::optional<uint32_t> ip;
    std::optional<int32_t> externalPort;
    std::optional<int32_t> localPort;
    if (auto text = parsed.value("--external-ip")) {
        if (!(ip = parseIpv4(*text))) {
            return usageError(
                "settings", "--external-ip takes an address A.B.C.D, not '" + *text + "'", kUsage);
        }
    }
    if (auto text = parsed.value("--external-port")) {
        if (!(externalPort = parsePort(*text))) {
            return usageError(
                "settings", "--external-port takes a port 1 to 65535, not '" + *text + "'", kUsage);
        }
    }
    if (auto text = parsed.value("--local-port")) {
        if (!(localPort = parsePort(*text))) {
            return usageError("settings",
                              "--local-port takes a port 1 to 65535, not '" + *text + "'", kUsage);
        }
    }
    if (parsed.values.size() == (parsed.has("--dir") ? 1u : 0u)) {
        return usageError("settings", "set needs at least one value to change", kUsage);
    }

    const std::filesystem::path dir = parsed.directory();
    vela::SettingsStore store(dir, warningReporter());
    std::error_code ec;
    // A database that does not exist yet is made by the save below; one that cannot be
    // read is not overwritten.
    if (std::filesystem::exists(vela::databaseFile(dir), ec) && !store.load(settings)) {
        return kExitFailure;
    }
    if (ip) settings.externalIp = *ip;
    if (externalPort) settings.externalPort = *externalPort;
    if (localPort) settings.localPort = *localPort;
    if (auto name = parsed.value("--modem-port")) settings.modemPort = *name;
    if (!store.save(settings)) return kExitFailure;
    print(settings);
    return kExitOk;
}

}  // namespace

int RunSettings(const Args& args) {
    StorageArgs parsed = parseStorageArgs(
        args, {"--dir", "--external-ip", "--external-port", "--local-port", "--modem-port"}, {}, 1);
    if (parsed.flags.count("--help") > 0) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!parsed.error.empty()) return usageError("settings", parsed.error, kUsage);
    if (parsed.positional.empty()) return usageError("settings", "missing subcommand", kUsage);
    const std::string& sub = parsed.positional[0];
    if (sub == "show") {
        if (parsed.values.size() != (parsed.has("--dir") ? 1u : 0u)) {
            return usageError("settings", "show takes only --dir", kUsage);
        }
        vela::ProgramSettings settings;
        const bool loaded = static_cast<bool>(
            vela::SettingsStore(parsed.directory(), warningReporter()).load(settings));
        print(settings);  // the values the program would run with
        return loaded ? kExitOk : kExitFailure;
    }
    if (sub == "set") return runSet(parsed);
    return usageError("settings", "unknown subcommand '" + sub + "'", kUsage);
}

}  // namespace velactl
