// velactl pdu: the wake-up SMS of a tracker as a PDU in hex, from options or from the
// database.
#include "cmd_modem_common.h"
#include "commands.h"
#include "modem/push_message.h"
#include "storage/settings_store.h"
#include "storage/tracker_store.h"

#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>

namespace velactl {

namespace {

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: velactl pdu --phone P --push-port N --ip A.B.C.D --port N --apn TEXT\n"
                 "                   --auth 0|1|2 [--sms-user U] [--sms-password P]\n"
                 "                   [--gprs-user U] [--gprs-password P]\n"
                 "       velactl pdu --tracker DESC [--dir DIR]\n\n"
                 "Prints the wake-up SMS (SMS-SUBMIT PDU, hex) on one line. Ports are decimal\n"
                 "or hexadecimal with 0x. --tracker reads the tracker and the settings from\n"
                 "settings.accdb in DIR (default: the current directory).\n");
}

// A decimal number, or hexadecimal after "0x"; within the 32-bit range.
std::optional<int32_t> parseNumber(const std::string& text) {
    std::string digits = text;
    int base = 10;
    bool negative = false;
    if (!digits.empty() && digits[0] == '-') {
        negative = true;
        digits.erase(0, 1);
    }
    if (digits.size() > 2 && (digits.compare(0, 2, "0x") == 0 || digits.compare(0, 2, "0X") == 0)) {
        base = 16;
        digits.erase(0, 2);
    }
    if (digits.empty() || digits.size() > 10) return std::nullopt;
    int64_t value = 0;
    for (char c : digits) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) return std::nullopt;
        value = value * base + digit;
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

std::optional<uint32_t> parseIpv4(const std::string& text) {
    uint32_t address = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        size_t end = at;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == at || end - at > 3) return std::nullopt;
        const int octet = std::stoi(text.substr(at, end - at));
        if (octet > 255) return std::nullopt;
        address = address << 8 | static_cast<uint32_t>(octet);
        if (part < 3) {
            if (end >= text.size() || text[end] != '.') return std::nullopt;
            at = end + 1;
        } else if (end != text.size()) {
            return std::nullopt;
        }
    }
    return address;
}

}  // namespace

std::optional<StoredTracker> LoadStoredTracker(const char* command, const std::string& description,
                                               const std::string& directory, std::FILE* warnings) {
    const std::filesystem::path dir(directory);
    std::error_code ec;
    if (!std::filesystem::exists(dir / vela::kDatabaseFileName, ec)) {
        std::fprintf(stderr, "velactl %s: no %s in %s\n", command, vela::kDatabaseFileName,
                     directory.c_str());
        return std::nullopt;
    }
    auto report = [warnings](const std::string& message) {
        std::fprintf(warnings, "warning: %s\n", message.c_str());
        std::fflush(warnings);
    };
    StoredTracker stored;
    // A failed load has been reported; the defaults stand in, as in the window.
    (void)vela::SettingsStore(dir, report).load(stored.settings);
    vela::TrackerList list;
    (void)vela::TrackerStore(dir, report).load(list);
    const int index = list.findByDescription(description);
    if (index < 0) {
        std::fprintf(stderr, "velactl %s: no tracker '%s' in %s\n", command, description.c_str(),
                     (dir / vela::kDatabaseFileName).c_str());
        return std::nullopt;
    }
    stored.tracker = list.at(index);
    return stored;
}

int RunPdu(const Args& args) {
    std::map<std::string, std::string> values;
    static const char* const kOptions[] = {
        "--phone",    "--push-port",    "--ip",        "--port",          "--apn",     "--auth",
        "--sms-user", "--sms-password", "--gprs-user", "--gprs-password", "--tracker", "--dir"};
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            printUsage(stdout);
            return kExitOk;
        }
        bool known = false;
        for (const char* option : kOptions) known = known || args[i] == option;
        if (!known || i + 1 >= args.size()) {
            std::fprintf(stderr, "velactl pdu: %s '%s'\n",
                         known ? "missing value for" : "unknown option", args[i].c_str());
            printUsage(stderr);
            return kExitUsage;
        }
        const std::string& name = args[i];
        values[name] = args[++i];
    }

    vela::TrackerEntry tracker;
    vela::ProgramSettings settings;
    if (values.count("--tracker") != 0) {
        if (values.size() != 1 + values.count("--dir")) {
            std::fprintf(stderr, "velactl pdu: --tracker takes only --dir besides\n");
            return kExitUsage;
        }
        const std::string dir = values.count("--dir") != 0 ? values["--dir"] : ".";
        const auto stored = LoadStoredTracker("pdu", values["--tracker"], dir, stderr);
        if (!stored) return kExitFailure;
        tracker = stored->tracker;
        settings = stored->settings;
    } else {
        for (const char* required :
             {"--phone", "--push-port", "--ip", "--port", "--apn", "--auth"}) {
            if (values.count(required) == 0) {
                std::fprintf(stderr, "velactl pdu: %s is required\n", required);
                printUsage(stderr);
                return kExitUsage;
            }
        }
        if (values.count("--dir") != 0) {
            std::fprintf(stderr, "velactl pdu: --dir goes with --tracker\n");
            return kExitUsage;
        }
        const auto pushPort = parseNumber(values["--push-port"]);
        const auto port = parseNumber(values["--port"]);
        const auto auth = parseNumber(values["--auth"]);
        const auto ip = parseIpv4(values["--ip"]);
        if (!pushPort || !port || !auth || !ip) {
            std::fprintf(stderr, "velactl pdu: %s\n",
                         !pushPort ? "--push-port needs a number"
                         : !port   ? "--port needs a number"
                         : !auth   ? "--auth needs a number"
                                   : "--ip needs an address A.B.C.D");
            return kExitUsage;
        }
        tracker.phone = values["--phone"];
        tracker.pushPort = *pushPort;
        tracker.apn = values["--apn"];
        tracker.auth = *auth;
        tracker.smsUser = values["--sms-user"];
        tracker.smsPassword = values["--sms-password"];
        tracker.gprsUser = values["--gprs-user"];
        tracker.gprsPassword = values["--gprs-password"];
        settings.externalIp = *ip;
        settings.externalPort = *port;
    }

    const vela::Result<std::string> pdu = vela::BuildPushMessage(tracker, settings);
    if (!pdu) {
        std::fprintf(stderr, "velactl pdu: %s\n", pdu.message().c_str());
        return kExitFailure;
    }
    std::printf("%s\n", pdu->c_str());
    return kExitOk;
}

}  // namespace velactl
