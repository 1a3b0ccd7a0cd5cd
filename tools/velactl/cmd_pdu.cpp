// velactl pdu: the wake-up SMS of a tracker as a PDU in hex, from options or from the
// database.
#include "cmd_modem_common.h"
#include "commands.h"
#include "common/command_line.h"
#include "common/file_access.h"
#include "common/terminal_text.h"
#include "modem/push_message.h"
#include "storage/database_file.h"
#include "storage/settings_store.h"
#include "storage/tracker_store.h"
#include "storage_options.h"

#include <cstdio>
#include <filesystem>
#include <limits>
#include <utility>

namespace velactl {

namespace {

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
                                               const vela::InstallationChoice& choice,
                                               std::FILE* warnings) {
    std::error_code ec;
    const std::filesystem::path file = vela::databaseFile(choice.directory);
    if (!choice.databaseUrl && !std::filesystem::exists(file, ec)) {
        std::fprintf(stderr, "velactl %s: no %s in %s\n", command, vela::kDatabaseFileName,
                     vela::EscapeForTerminal(choice.directory.string()).c_str());
        return std::nullopt;
    }
    std::optional<StoredForRun> loaded = LoadForRun(choice, command, warnings);
    if (!loaded) return std::nullopt;
    StoredTracker stored;
    stored.settings = loaded->settings;
    const vela::TrackerList& list = loaded->trackers;
    const int index = list.findByDescription(description);
    if (index < 0) {
        std::fprintf(stderr, "velactl %s: no tracker '%s' in %s\n", command,
                     vela::EscapeForTerminal(description).c_str(),
                     vela::EscapeForTerminal(choice.storage()->location()).c_str());
        return std::nullopt;
    }
    stored.tracker = list.at(index);
    return stored;
}

int RunPdu(const Args& args) {
    vela::CommandLine commandLine(
        "velactl pdu",
        "velactl pdu --phone P --push-port N --ip A.B.C.D --port N --apn TEXT\n"
        "                   --auth none|chap|pap [--sms-user U]\n"
        "                   [--sms-password P | --sms-password-file FILE]\n"
        "                   [--gprs-user U] [--gprs-password P | --gprs-password-file FILE]\n"
        "       velactl pdu --tracker DESC [--dir DIR | --user-data] [--database URL]",
        "Prints the wake-up SMS (SMS-SUBMIT PDU, hex) on one line. Ports are decimal\n"
        "or hexadecimal with 0x. --tracker reads the tracker and the settings from\n"
        "chosen installation (settings.accdb or a shared database). Passwords are read from\n"
        "the first line of a file, '-' for standard input, so they stay off the command line.");
    commandLine.option("--phone", "P", "the tracker's phone number")
        .option("--push-port", "N", "the tracker's port for the wake-up SMS")
        .option("--ip", "A.B.C.D", "the address the tracker calls")
        .option("--port", "N", "the port the tracker calls")
        .option("--apn", "TEXT", "the access point name")
        .option("--auth", "MODE", "GPRS authentication: none, chap, pap (or 0, 1, 2)")
        .choices("--auth", {"none", "chap", "pap"})
        .option("--sms-user", "U", "the SMS user")
        .option("--sms-password", "P", "the SMS password (visible to every user in ps)")
        .option("--sms-password-file", "FILE", "the SMS password, from FILE or - (stdin)")
        .option("--gprs-user", "U", "the GPRS user")
        .option("--gprs-password", "P", "the GPRS password (visible to every user in ps)")
        .option("--gprs-password-file", "FILE", "the GPRS password, from FILE or - (stdin)")
        .option("--tracker", "DESC", "read the tracker from the database")
        .dataChoice();
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = commandLine.parse(args, exitCode);
    if (!options) return exitCode;
    const auto given = [&](const char* name) { return options->valueOr(name, ""); };

    vela::TrackerEntry tracker;
    vela::ProgramSettings settings;
    const bool choiceGiven = options->has("--dir") || options->has("--user-data") ||
                             options->has("--database") || options->has("--database-file");
    if (options->has("--tracker")) {
        for (const char* other : {"--phone", "--push-port", "--ip", "--port", "--apn", "--auth",
                                  "--sms-user", "--sms-password", "--sms-password-file",
                                  "--gprs-user", "--gprs-password", "--gprs-password-file"}) {
            if (options->has(other))
                return commandLine.usageError("--tracker takes only the data choice besides");
        }
        const std::optional<vela::InstallationChoice> choice =
            ChosenInstallation(*options, exitCode);
        if (!choice) return exitCode;
        const auto stored = LoadStoredTracker("pdu", given("--tracker"), *choice, stderr);
        if (!stored) return kExitFailure;
        tracker = stored->tracker;
        settings = stored->settings;
    } else {
        for (const char* required :
             {"--phone", "--push-port", "--ip", "--port", "--apn", "--auth"}) {
            if (!options->has(required)) {
                return commandLine.usageError(std::string(required) + " is required");
            }
        }
        if (choiceGiven) return commandLine.usageError("the data choice goes with --tracker");
        const auto pushPort = parseNumber(given("--push-port"));
        const auto port = parseNumber(given("--port"));
        const auto auth = vela::ParseAuthentication(given("--auth"));
        const auto ip = parseIpv4(given("--ip"));
        if (!pushPort || !port || !auth || !ip) {
            return commandLine.usageError(!pushPort ? "--push-port needs a number"
                                          : !port   ? "--port needs a number"
                                          : !auth   ? "--auth needs none, chap, pap, 0, 1 or 2"
                                                    : "--ip needs an address A.B.C.D");
        }
        tracker.phone = given("--phone");
        tracker.pushPort = *pushPort;
        tracker.apn = given("--apn");
        tracker.auth = *auth;
        tracker.smsUser = given("--sms-user");
        tracker.gprsUser = given("--gprs-user");
        tracker.smsPassword = given("--sms-password");
        tracker.gprsPassword = given("--gprs-password");
        if (options->has("--sms-password-file") && options->has("--gprs-password-file") &&
            given("--sms-password-file") == "-" && given("--gprs-password-file") == "-") {
            return commandLine.usageError("only one password can come from standard input");
        }
        for (const auto& [option, target] :
             {std::pair{"--sms-password-file", &tracker.smsPassword},
              std::pair{"--gprs-password-file", &tracker.gprsPassword}}) {
            if (!options->has(option)) continue;
            if (options->has(std::string(option).substr(0, std::string(option).size() - 5))) {
                return commandLine.usageError(std::string(option) +
                                              " and the password itself exclude each other");
            }
            const vela::Result<std::string> secret = vela::ReadSecretFile(given(option));
            if (!secret) {
                std::fprintf(stderr, "velactl pdu: %s: %s\n", option, secret.message().c_str());
                return kExitFailure;
            }
            *target = *secret;
        }
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
