#include "commands.h"
#include "storage_options.h"

#include "storage/database_file.h"
#include "storage/hex_port.h"
#include "storage/text_encoding.h"
#include "storage/tracker_checks.h"
#include "storage/tracker_csv.h"
#include "storage/tracker_store.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace velactl {

namespace {

constexpr const char* kUsage =
    "Usage: velactl trackers list [--dir DIR]\n"
    "       velactl trackers add [--dir DIR] --description TEXT --phone DIGITS [--apn NAME]\n"
    "                [--push-port HEX] [--auth none|chap|pap] [--sms-user TEXT]\n"
    "                [--sms-password TEXT] [--gprs-user TEXT] [--gprs-password TEXT]\n"
    "                [--device-type FM2XXX]\n"
    "       velactl trackers remove [--dir DIR] --description TEXT\n"
    "       velactl trackers import [--dir DIR] [--replace] [--encoding utf8|latin1] FILE\n"
    "       velactl trackers export [--dir DIR] [FILE]\n\n"
    "Keeps the tracker list in DIR/settings.accdb (default: the current directory).\n\n"
    "add      appends a tracker after the checks of the tracker list dialog: a\n"
    "         description, a phone number and an APN are needed, and the description\n"
    "         must not be in use (compared exactly). The phone number is digits in\n"
    "         international form (a leading + is dropped). The push port is hexadecimal,\n"
    "         1 to 4 digits, as in the dialog (default 07D1 = 2001); the APN defaults to\n"
    "         'internet', authentication to none, the device type to FM2XXX.\n"
    "remove   removes the tracker with exactly this description.\n"
    "import   reads a CSV file ('-' for standard input) and appends its trackers, or\n"
    "         replaces the list with --replace. Every row passes the checks of 'add';\n"
    "         one failing row imports nothing. The file is UTF-8 (a leading byte order\n"
    "         mark is skipped; a row that is not UTF-8 is refused) unless --encoding\n"
    "         latin1 converts it from Latin-1.\n"
    "export   writes the list as CSV to FILE or standard output.\n\n"
    "CSV: RFC 4180, a header row of column names Imei,Phone,Port,APN,Auth,SMSuser,\n"
    "SMSpass,GPRSuser,GPRSpass,Mode, one tracker per row; numbers in decimal (Port\n"
    "2001, Auth 0 none / 1 CHAP / 2 PAP, Mode 0 FM2XXX).\n";

int usage(const std::string& text) {
    return usageError("trackers", text, kUsage);
}

bool onlyDir(const StorageArgs& parsed) {
    return parsed.values.size() == (parsed.has("--dir") ? 1u : 0u);
}

// The list as stored; a database that does not exist yet reads as an empty list when
// `missingIsEmpty` (the following save creates it).
bool loadList(const std::filesystem::path& dir, vela::TrackerList& list, bool missingIsEmpty) {
    std::error_code ec;
    if (missingIsEmpty && !std::filesystem::exists(vela::databaseFile(dir), ec)) return true;
    return static_cast<bool>(vela::TrackerStore(dir, warningReporter()).load(list));
}

bool saveList(const std::filesystem::path& dir, const vela::TrackerList& list) {
    return static_cast<bool>(vela::TrackerStore(dir, warningReporter()).save(list));
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

int runList(const StorageArgs& parsed) {
    if (!onlyDir(parsed) || parsed.positional.size() > 1) return usage("list takes only --dir");
    vela::TrackerList list;
    const bool loaded = loadList(parsed.directory(), list, false);
    std::printf("Description\tPhone\tPush port\tAPN\tAuth\tDevice type\n");
    for (const vela::TrackerEntry& e : list.entries()) {
        std::printf("%s\t+%s\t%s\t%s\t%s\t%s\n", e.description.c_str(), e.phone.c_str(),
                    vela::formatHexPort(e.pushPort).c_str(), e.apn.c_str(), authName(e.auth),
                    deviceTypeName(e.deviceType).c_str());
    }
    return loaded ? kExitOk : kExitFailure;
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int runAdd(const StorageArgs& parsed) {
    if (parsed.positional.size() > 1) return usage("add takes options only");
    vela::TrackerEntry entry;
    entry.description = parsed.value("--description").value_or("");
    entry.phone = parsed.value("--phone").value_or("");
    if (entry.phone.starts_with('+')) entry.phone.erase(0, 1);
    if (entry.phone.find_first_not_of("0123456789") != std::string::npos) {
        return usage("--phone takes digits only, not '" + entry.phone + "'");
    }
    std::string port = parsed.value("--push-port").value_or("07D1");
    if (port.empty() || port.size() > 4 ||
        port.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
        return usage("--push-port takes 1 to 4 hexadecimal digits (07D1 is 2001), not '" + port +
                     "'");
    }
    for (char& c : port) {
        if (isHexDigit(c) && c >= 'a') c = static_cast<char>(c - 'a' + 'A');  // as the box does
    }
    entry.pushPort = vela::parseHexPort(port);
    entry.apn = parsed.value("--apn").value_or("internet");
    const std::string auth = parsed.value("--auth").value_or("none");
    if (auth == "none" || auth == "None" || auth == "0") {
        entry.auth = vela::kAuthNone;
    } else if (auth == "chap" || auth == "CHAP" || auth == "1") {
        entry.auth = vela::kAuthChap;
    } else if (auth == "pap" || auth == "PAP" || auth == "2") {
        entry.auth = vela::kAuthPap;
    } else {
        return usage("--auth takes none, chap or pap, not '" + auth + "'");
    }
    entry.smsUser = parsed.value("--sms-user").value_or("");
    entry.smsPassword = parsed.value("--sms-password").value_or("");
    entry.gprsUser = parsed.value("--gprs-user").value_or("");
    entry.gprsPassword = parsed.value("--gprs-password").value_or("");
    const std::string type = parsed.value("--device-type").value_or(vela::kTrackerDeviceTypes[0]);
    entry.deviceType = -1;
    for (size_t i = 0; i < vela::kTrackerDeviceTypes.size(); ++i) {
        if (type == vela::kTrackerDeviceTypes[i] || type == std::to_string(i)) {
            entry.deviceType = static_cast<int32_t>(i);
        }
    }
    if (entry.deviceType < 0) return usage("--device-type takes FM2XXX, not '" + type + "'");

    const std::filesystem::path dir = parsed.directory();
    vela::TrackerList list;
    if (!loadList(dir, list, true)) return kExitFailure;
    if (std::string_view failed = vela::checkNewTracker(list, entry); !failed.empty()) {
        std::fprintf(stderr, "error: %.*s\n", static_cast<int>(failed.size()), failed.data());
        return kExitFailure;
    }
    list.add(entry);
    if (!saveList(dir, list)) return kExitFailure;
    std::printf("added %s\n", entry.description.c_str());
    return kExitOk;
}

int runRemove(const StorageArgs& parsed) {
    if (parsed.positional.size() > 1) return usage("remove takes options only");
    auto description = parsed.value("--description");
    if (!description) return usage("remove needs --description");
    const std::filesystem::path dir = parsed.directory();
    vela::TrackerList list;
    if (!loadList(dir, list, false)) return kExitFailure;
    const int index = list.findByDescription(*description);
    if (index < 0) {
        std::fprintf(stderr, "velactl trackers remove: no tracker is described '%s'\n",
                     description->c_str());
        return kExitFailure;
    }
    list.removeAt(index);
    if (!saveList(dir, list)) return kExitFailure;
    std::printf("removed %s\n", description->c_str());
    return kExitOk;
}

int runImport(const StorageArgs& parsed) {
    const std::optional<std::string> encodingName = parsed.value("--encoding");
    if (parsed.values.size() != (parsed.has("--dir") ? 1u : 0u) + (encodingName ? 1u : 0u)) {
        return usage("import takes only --dir, --replace and --encoding");
    }
    if (encodingName && *encodingName != "utf8" && *encodingName != "latin1") {
        return usage("--encoding is utf8 or latin1");
    }
    const vela::TextEncoding encoding = encodingName && *encodingName == "latin1"
                                            ? vela::TextEncoding::Latin1
                                            : vela::TextEncoding::Utf8;
    if (parsed.positional.size() != 2) return usage("import needs one FILE");
    const std::string& source = parsed.positional[1];
    std::string text;
    if (source == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(source, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "velactl trackers import: cannot read %s\n", source.c_str());
            return kExitFailure;
        }
        std::ostringstream content;
        content << in.rdbuf();  // an empty file reads as no text; the reader names that
        text = content.str();
    }
    vela::Result<std::string> decoded = vela::DecodeFileText(text, encoding);
    if (!decoded) {
        std::fprintf(stderr, "velactl trackers import: %s: %s\n", source.c_str(),
                     decoded.message().c_str());
        return kExitFailure;
    }
    vela::Result<std::vector<vela::TrackerEntry>> rows = vela::readTrackerCsv(decoded.value());
    if (!rows) {
        std::fprintf(stderr, "velactl trackers import: %s: %s\n", source.c_str(),
                     rows.message().c_str());
        return kExitFailure;
    }
    const std::filesystem::path dir = parsed.directory();
    vela::TrackerList list;
    if (parsed.flags.count("--replace") == 0 && !loadList(dir, list, true)) return kExitFailure;
    for (size_t i = 0; i < rows.value().size(); ++i) {
        const vela::TrackerEntry& entry = rows.value()[i];
        if (std::string_view failed = vela::checkNewTracker(list, entry); !failed.empty()) {
            std::fprintf(stderr, "error: row %zu (%s): %.*s\n", i + 1, entry.description.c_str(),
                         static_cast<int>(failed.size()), failed.data());
            return kExitFailure;
        }
        list.add(entry);
    }
    if (!saveList(dir, list)) return kExitFailure;
    std::printf("imported %zu trackers\n", rows.value().size());
    return kExitOk;
}

int runExport(const StorageArgs& parsed) {
    if (!onlyDir(parsed)) return usage("export takes only --dir");
    if (parsed.positional.size() > 2) return usage("export takes at most one FILE");
    vela::TrackerList list;
    if (!loadList(parsed.directory(), list, false)) return kExitFailure;
    const std::string text = vela::writeTrackerCsv(list);
    if (parsed.positional.size() < 2 || parsed.positional[1] == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
    }
    const std::string& target = parsed.positional[1];
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())) ||
        !out.flush()) {
        std::fprintf(stderr, "velactl trackers export: cannot write %s\n", target.c_str());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

int RunTrackers(const Args& args) {
    StorageArgs parsed = parseStorageArgs(
        args,
        {"--dir", "--description", "--phone", "--push-port", "--apn", "--auth", "--sms-user",
         "--sms-password", "--gprs-user", "--gprs-password", "--device-type", "--encoding"},
        {"--replace"}, 2);
    if (parsed.flags.count("--help") > 0) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!parsed.error.empty()) return usage(parsed.error);
    if (parsed.positional.empty()) return usage("missing subcommand");
    const std::string& sub = parsed.positional[0];
    if (sub != "import" && parsed.flags.count("--replace") > 0) {
        return usage("--replace belongs to import");
    }
    if (sub != "import" && parsed.has("--encoding")) return usage("--encoding belongs to import");
    if (sub == "list") return runList(parsed);
    if (sub == "add") return runAdd(parsed);
    if (sub == "remove") {
        for (const auto& [name, value] : parsed.values) {
            if (name != "--dir" && name != "--description") {
                return usage("remove takes only --dir and --description");
            }
        }
        return runRemove(parsed);
    }
    if (sub == "import") return runImport(parsed);
    if (sub == "export") return runExport(parsed);
    return usage("unknown subcommand '" + sub + "'");
}

}  // namespace velactl
