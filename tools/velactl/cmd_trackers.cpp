#include "commands.h"
#include "fleet_csv.h"
#include "json_output.h"
#include "storage_options.h"

#include "common/ascii.h"
#include "common/file_access.h"
#include "common/terminal_text.h"
#include "storage/database_file.h"
#include "storage/hex_port.h"
#include "storage/text_encoding.h"
#include "storage/tracker_checks.h"
#include "storage/tracker_csv.h"

#include <array>
#include <cstdio>
#include <utility>

namespace velactl {

namespace {

constexpr const char* kCsvHelp =
    "CSV: RFC 4180, a header row of column names Imei,Phone,Port,APN,Auth,SMSuser,\n"
    "SMSpass,GPRSuser,GPRSpass,Mode, one tracker per row; numbers in decimal (Port\n"
    "2001, Auth 0 none / 1 CHAP / 2 PAP, Mode 0 FM2XXX). A cell that a spreadsheet\n"
    "would take for a formula (starting with = + - @, a tab or a carriage return) is\n"
    "written with an apostrophe in front, which import removes again.";

// The list as stored, and its stamp; a database file that does not exist yet reads as
// an empty list when `missingIsEmpty` (the following save creates it).
bool loadList(const ChosenStorage& storage, vela::TrackerList& list, bool missingIsEmpty,
              vela::TrackerListStamp& stamp) {
    stamp = vela::StampOf(vela::TrackerList());
    if (missingIsEmpty && storage.fileMissing) return true;
    return static_cast<bool>(storage.engine->loadTrackers(list, stamp));
}

// In a shared database, saves only while the stored list is still the one loaded: a
// change another operator made in between is not overwritten.
bool saveList(const ChosenStorage& storage, const vela::TrackerList& list,
              vela::TrackerListStamp loaded) {
    if (!storage.shared) return static_cast<bool>(storage.engine->saveTrackers(list));
    bool changedMeanwhile = false;
    return static_cast<bool>(
        storage.engine->saveTrackersIfUnchanged(list, loaded, changedMeanwhile));
}

const char* authName(int32_t auth) {
    switch (auth) {
        case vela::kAuthNone:
            return "None";
        case vela::kAuthChap:
            return "CHAP";
        case vela::kAuthPap:
            return "PAP";
        default:
            return "?";
    }
}

std::string deviceTypeName(int32_t type) {
    if (type >= 0 && static_cast<size_t>(type) < vela::kTrackerDeviceTypes.size()) {
        return vela::kTrackerDeviceTypes[static_cast<size_t>(type)];
    }
    return std::to_string(type);
}

void failed(const char* what, std::string_view text) {
    std::fprintf(stderr, "error: %s%s\n", what, vela::EscapeForTerminal(text).c_str());
}

int runList(const Args& args) {
    vela::CommandLine line(
        "velactl trackers list",
        "velactl trackers list [--dir DIR | --user-data | --database URL] [--json]",
        "Lists the trackers without their passwords, one per line, tab-separated.");
    AddStorageOptions(line).flag("--json",
                                 "print a JSON array of objects keyed by the column names");
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto storage = OpenChosenStorage(*options, exitCode);
    if (!storage) return exitCode;
    vela::TrackerList list;
    vela::TrackerListStamp stamp = 0;
    const bool loaded = loadList(*storage, list, false, stamp);
    if (options->has("--json")) {
        QJsonArray array;
        for (const vela::TrackerEntry& e : list.entries()) array.append(TrackerJson(e));
        PrintJsonArray(array);
        return loaded ? kExitOk : kExitFailure;
    }
    std::printf("Description\tPhone\tPush port\tAPN\tAuth\tDevice type\n");
    for (const vela::TrackerEntry& e : list.entries()) {
        std::printf("%s\t+%s\t%s\t%s\t%s\t%s\n", vela::EscapeForTerminal(e.description).c_str(),
                    vela::EscapeForTerminal(e.phone).c_str(),
                    vela::formatHexPort(e.pushPort).c_str(), vela::EscapeForTerminal(e.apn).c_str(),
                    authName(e.auth),
                    vela::EscapeForTerminal(deviceTypeName(e.deviceType)).c_str());
    }
    return loaded ? kExitOk : kExitFailure;
}

// A password from its option or from its file ("-": standard input); nothing after a
// usage error or a file that cannot be read (exitCode says which).
std::optional<std::string> password(const vela::CommandLine& line,
                                    const vela::ParsedOptions& options, const std::string& option,
                                    int& exitCode) {
    const auto text = options.value(option);
    const auto file = options.value(option + "-file");
    if (text && file) {
        exitCode = line.usageError(option + " and " + option + "-file cannot both be given");
        return std::nullopt;
    }
    if (!file) return text.value_or("");
    vela::Result<std::string> secret = vela::ReadSecretFile(*file);
    if (!secret) {
        failed("", secret.message());
        exitCode = kExitFailure;
        return std::nullopt;
    }
    return secret.value();
}

int runAdd(const Args& args) {
    vela::CommandLine line(
        "velactl trackers add",
        "velactl trackers add [--dir DIR | --user-data | --database URL] --description TEXT "
        "--phone DIGITS\n"
        "                [--apn NAME] [--push-port HEX] [--auth none|chap|pap]\n"
        "                [--sms-user TEXT] [--sms-password TEXT | --sms-password-file FILE]\n"
        "                [--gprs-user TEXT] [--gprs-password TEXT | --gprs-password-file FILE]\n"
        "                [--device-type FM2XXX]",
        "Appends a tracker after the checks of the tracker list dialog: a description, a\n"
        "phone number and an APN are needed, and the description must not be in use\n"
        "(compared exactly). The phone number is digits in international form (a leading\n"
        "+ is dropped). The push port is hexadecimal, 1 to 4 digits, as in the dialog\n"
        "(default 07D1 = 2001); the APN defaults to 'internet', authentication to none,\n"
        "the device type to FM2XXX.\n\n"
        "Passwords given as options are visible to every user of the machine (ps, the\n"
        "shell's history): prefer the -file options, which read the first line of FILE\n"
        "or, for '-', of standard input.");
    AddStorageOptions(line)
        .option("--description", "TEXT", "the tracker's description, normally its IMEI")
        .option("--phone", "DIGITS", "the phone number of its SIM")
        .option("--apn", "NAME", "the GPRS access point (default internet)")
        .option("--push-port", "HEX", "the port of the wake-up SMS, hexadecimal (default 07D1)")
        .option("--auth", "MODE", "GPRS authentication: none, chap, pap or 0, 1, 2")
        .choices("--auth", {"none", "chap", "pap"})
        .option("--sms-user", "TEXT", "the SMS user name")
        .option("--sms-password", "TEXT", "the SMS password")
        .option("--sms-password-file", "FILE", "read the SMS password from FILE ('-': stdin)")
        .option("--gprs-user", "TEXT", "the GPRS user name")
        .option("--gprs-password", "TEXT", "the GPRS password")
        .option("--gprs-password-file", "FILE", "read the GPRS password from FILE ('-': stdin)")
        .option("--device-type", "TYPE", "FM2XXX (or 0), the only device type");
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;

    vela::TrackerEntry entry;
    entry.description = options->valueOr("--description", "");
    entry.phone = options->valueOr("--phone", "");
    if (entry.phone.starts_with('+')) entry.phone.erase(0, 1);
    if (entry.phone.find_first_not_of("0123456789") != std::string::npos) {
        return line.usageError("--phone takes digits only, not '" +
                               vela::EscapeForTerminal(entry.phone) + "'");
    }
    std::string port = options->valueOr("--push-port", "07D1");
    if (port.empty() || port.size() > 4 ||
        port.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
        return line.usageError("--push-port takes 1 to 4 hexadecimal digits (07D1 is 2001), not '" +
                               vela::EscapeForTerminal(port) + "'");
    }
    for (char& c : port) {
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');  // as the box does
    }
    entry.pushPort = vela::parseHexPort(port);
    entry.apn = options->valueOr("--apn", "internet");
    const std::string auth = options->valueOr("--auth", "none");
    const std::optional<int> mode = vela::ParseAuthentication(auth);
    if (!mode) {
        return line.usageError("--auth takes none, chap, pap or 0, 1, 2, not '" +
                               vela::EscapeForTerminal(auth) + "'");
    }
    entry.auth = *mode;
    entry.smsUser = options->valueOr("--sms-user", "");
    entry.gprsUser = options->valueOr("--gprs-user", "");
    if (options->value("--sms-password-file") == "-" &&
        options->value("--gprs-password-file") == "-") {
        return line.usageError("only one password can come from standard input");
    }
    const auto smsPassword = password(line, *options, "--sms-password", exitCode);
    if (!smsPassword) return exitCode;
    const auto gprsPassword = password(line, *options, "--gprs-password", exitCode);
    if (!gprsPassword) return exitCode;
    entry.smsPassword = *smsPassword;
    entry.gprsPassword = *gprsPassword;
    const std::string type = options->valueOr("--device-type", vela::kTrackerDeviceTypes[0]);
    entry.deviceType = -1;
    for (size_t i = 0; i < vela::kTrackerDeviceTypes.size(); ++i) {
        if (type == vela::kTrackerDeviceTypes[i] || type == std::to_string(i)) {
            entry.deviceType = static_cast<int32_t>(i);
        }
    }
    if (entry.deviceType < 0) {
        return line.usageError("--device-type takes FM2XXX, not '" + vela::EscapeForTerminal(type) +
                               "'");
    }

    const auto storage = OpenChosenStorage(*options, exitCode);
    if (!storage) return exitCode;
    vela::TrackerList list;
    vela::TrackerListStamp stamp = 0;
    if (!loadList(*storage, list, true, stamp)) return kExitFailure;
    // The same checks as every imported row.
    if (std::string_view refused = vela::NewTrackerChecks(list).check(entry); !refused.empty()) {
        failed("", refused);
        return kExitFailure;
    }
    list.add(entry);
    if (!saveList(*storage, list, stamp)) return kExitFailure;
    std::printf("added %s\n", vela::EscapeForTerminal(entry.description).c_str());
    return kExitOk;
}

int runRemove(const Args& args) {
    vela::CommandLine line(
        "velactl trackers remove",
        "velactl trackers remove [--dir DIR | --user-data | --database URL] --description TEXT",
        "Removes the tracker with exactly this description.");
    AddStorageOptions(line).option("--description", "TEXT", "the tracker's description");
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto description = options->value("--description");
    if (!description) return line.usageError("remove needs --description");
    const auto storage = OpenChosenStorage(*options, exitCode);
    if (!storage) return exitCode;
    vela::TrackerList list;
    vela::TrackerListStamp stamp = 0;
    if (!loadList(*storage, list, false, stamp)) return kExitFailure;
    const int index = list.findByDescription(*description);
    const std::string shown = vela::EscapeForTerminal(*description);
    if (index < 0) {
        std::fprintf(stderr, "velactl trackers remove: no tracker is described '%s'\n",
                     shown.c_str());
        return kExitFailure;
    }
    list.removeAt(index);
    if (!saveList(*storage, list, stamp)) return kExitFailure;
    std::printf("removed %s\n", shown.c_str());
    return kExitOk;
}

int runImport(const Args& args) {
    vela::CommandLine line(
        "velactl trackers import",
        "velactl trackers import [--dir DIR | --user-data | --database URL] [--replace]\n"
        "                               [--encoding utf8|latin1] [--column COLUMN=NAME ...]\n"
        "                               [--delimiter auto|comma|semicolon|tab] FILE",
        "Reads a CSV file ('-' for standard input, at most 256 MiB) and appends its\n"
        "trackers, or replaces the list with --replace. Every row passes the checks of\n"
        "'add'; every refused row is named with its line and reason, and then nothing is\n"
        "imported. A fleet system's export works as it is: the delimiter (comma,\n"
        "semicolon or tab) is found in the header row, --column Imei=IMEI takes a\n"
        "tracker column from a column of another name, other columns are left out (and\n"
        "named), and phone numbers lose '+', spaces, dashes, dots and parentheses. The\n"
        "file is UTF-8 (a leading byte order mark is skipped; a row that is not UTF-8 is\n"
        "refused) unless --encoding latin1 converts it from Latin-1.");
    AddStorageOptions(line)
        .flag("--replace", "replace the list instead of appending to it")
        .option("--encoding", "NAME", "the file's encoding: utf8 (default) or latin1")
        .choices("--encoding", {"utf8", "latin1"})
        .repeatable("--column", "COLUMN=NAME",
                    "the tracker column COLUMN (Imei, Phone, Port, APN, Auth, SMSuser, SMSpass, "
                    "GPRSuser, GPRSpass, Mode) is the file's column NAME")
        .option("--delimiter", "WHICH", "auto (default), comma, semicolon or tab")
        .choices("--delimiter", {"auto", "comma", "semicolon", "tab"})
        .positionals(1, 1)
        .epilog(kCsvHelp);
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const std::string encodingName = options->valueOr("--encoding", "utf8");
    if (encodingName != "utf8" && encodingName != "latin1") {
        return line.usageError("--encoding is utf8 or latin1");
    }
    const vela::TextEncoding encoding =
        encodingName == "latin1" ? vela::TextEncoding::Latin1 : vela::TextEncoding::Utf8;
    std::map<std::string, std::string> mapping;
    for (const std::string& given : options->values("--column")) {
        const std::size_t equals = given.find('=');
        const std::string column = given.substr(0, equals);
        const bool known = std::any_of(
            vela::kTrackerCsvColumns.begin(), vela::kTrackerCsvColumns.end(),
            [&](const char* name) { return vela::EqualsIgnoringAsciiCase(name, column); });
        if (equals == std::string::npos || equals + 1 == given.size() || !known)
            return line.usageError(
                "--column takes COLUMN=NAME with a tracker column (Imei, "
                "Phone, Port, APN, Auth, SMSuser, SMSpass, GPRSuser, "
                "GPRSpass, Mode)");
        mapping[column] = given.substr(equals + 1);
    }
    const std::string delimiterWord = options->valueOr("--delimiter", "auto");
    const char delimiter = delimiterWord == "comma"       ? ','
                           : delimiterWord == "semicolon" ? ';'
                           : delimiterWord == "tab"       ? '\t'
                                                          : '\0';
    if (delimiter == '\0' && delimiterWord != "auto")
        return line.usageError("--delimiter is auto, comma, semicolon or tab");
    const auto storage = OpenChosenStorage(*options, exitCode);
    if (!storage) return exitCode;
    const std::string& source = options->positional()[0];
    const std::string shownSource = vela::EscapeForTerminal(source);
    vela::Result<std::string> text = vela::ReadRegularFile(source, vela::kMaxTrackerCsvBytes);
    if (!text) {
        std::fprintf(stderr, "velactl trackers import: %s\n",
                     vela::EscapeForTerminal(text.message()).c_str());
        return kExitFailure;
    }
    vela::Result<std::string> decoded = vela::DecodeFileText(text.value(), encoding);
    text = std::string();
    if (!decoded) {
        std::fprintf(stderr, "velactl trackers import: %s: %s\n", shownSource.c_str(),
                     vela::EscapeForTerminal(decoded.message()).c_str());
        return kExitFailure;
    }
    vela::Result<FleetCsv> fleet = TranslateFleetCsv(decoded.value(), mapping, delimiter);
    decoded = std::string();
    if (!fleet) {
        std::fprintf(stderr, "velactl trackers import: %s: %s\n", shownSource.c_str(),
                     vela::EscapeForTerminal(fleet.message()).c_str());
        return fleet.code() == vela::StatusCode::Invalid && !mapping.empty() ? kExitUsage
                                                                             : kExitFailure;
    }
    for (const std::string& name : fleet->ignored) {
        std::fprintf(stderr, "note: column '%s' is not a tracker column and is left out\n",
                     vela::EscapeForTerminal(name).c_str());
    }
    vela::Result<std::vector<vela::TrackerEntry>> rows = vela::readTrackerCsv(fleet->csv);
    fleet.value().csv = std::string();  // the rows hold the content now
    if (!rows) {
        std::fprintf(stderr, "velactl trackers import: %s: %s\n", shownSource.c_str(),
                     vela::EscapeForTerminal(rows.message()).c_str());
        return kExitFailure;
    }
    vela::TrackerList list;
    vela::TrackerListStamp stamp = 0;
    const bool replace = options->has("--replace");
    if (!replace && !loadList(*storage, list, true, stamp)) return kExitFailure;
    // Every row is checked and every refusal named; one refusal imports nothing.
    vela::NewTrackerChecks checks(list);
    std::size_t refused = 0;
    for (size_t i = 0; i < rows.value().size(); ++i) {
        vela::TrackerEntry& entry = rows.value()[i];
        if (std::string_view reason = checks.check(entry); !reason.empty()) {
            std::fprintf(stderr, "error: line %zu (%s): %s\n", fleet->lines[i],
                         vela::EscapeForTerminal(entry.description).c_str(),
                         std::string(reason).c_str());
            ++refused;
            continue;
        }
        checks.accept(entry);
        list.add(std::move(entry));
    }
    if (refused > 0) {
        std::fprintf(stderr, "velactl trackers import: %zu of %zu rows refused; nothing imported\n",
                     refused, rows.value().size());
        return kExitFailure;
    }
    const bool saved = replace ? static_cast<bool>(storage->engine->saveTrackers(list))
                               : saveList(*storage, list, stamp);
    if (!saved) return kExitFailure;
    std::printf("imported %zu trackers\n", rows.value().size());
    return kExitOk;
}

int runExport(const Args& args) {
    vela::CommandLine line(
        "velactl trackers export",
        "velactl trackers export [--dir DIR | --user-data | --database URL] [FILE]",
        "Writes the list, passwords included, as CSV to FILE or standard output. FILE is\n"
        "created readable and writable by its owner only, and never through a symbolic\n"
        "link.");
    AddStorageOptions(line).positionals(0, 1).epilog(kCsvHelp);
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto storage = OpenChosenStorage(*options, exitCode);
    if (!storage) return exitCode;
    vela::TrackerList list;
    vela::TrackerListStamp stamp = 0;
    if (!loadList(*storage, list, false, stamp)) return kExitFailure;
    const std::string text = vela::writeTrackerCsv(list);
    if (options->positional().empty() || options->positional()[0] == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
    }
    if (vela::Status written = vela::WritePrivateFile(options->positional()[0], text); !written) {
        std::fprintf(stderr, "velactl trackers export: %s\n",
                     vela::EscapeForTerminal(written.message()).c_str());
        return kExitFailure;
    }
    return kExitOk;
}

constexpr std::array<Subcommand, 5> kSubcommands = {{
    {"list", "list the trackers (without passwords)", runList},
    {"add", "add a tracker", runAdd},
    {"remove", "remove a tracker", runRemove},
    {"import", "add or replace trackers from a CSV file", runImport},
    {"export", "write the trackers as CSV", runExport},
}};

}  // namespace

int RunTrackers(const Args& args) {
    return RunSubcommandGroup("trackers",
                              "Keeps the tracker list in settings.accdb. Each subcommand has its\n"
                              "own --help.",
                              kSubcommands, args);
}

}  // namespace velactl
