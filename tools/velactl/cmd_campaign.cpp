// velactl campaign: many trackers configured in one run, resumable after a crash or a
// stop. Event lines go to stdout, one per change and flushed at once; diagnostics to
// stderr.
#include "commands.h"

#include "app/config_digest.h"
#include "campaign/campaign_engine.h"
#include "common/command_line.h"
#include "common/data_directory.h"
#include "common/file_access.h"
#include "common/number.h"
#include "common/terminal_text.h"
#include "storage/campaign_store.h"
#include "storage_options.h"

#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace velactl {

namespace {

constexpr std::size_t kTrackerFileLimit = 16 * 1024 * 1024;

vela::CampaignEngine* gRunningEngine = nullptr;

extern "C" void stopCampaign(int) {
    if (gRunningEngine != nullptr) gRunningEngine->RequestStop();
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (code < 0x20 || code >= 0x7F) {
            // Bytes from modems and callers may be anything; keep the output pure ASCII.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Prints the engine's events as lines or JSON objects.
class EventPrinter : public vela::CampaignObserver {
public:
    explicit EventPrinter(bool json) : json_(json) {}

    void CampaignStarted(int64_t id, int) override {
        if (json_)
            std::printf("{\"campaign\":%lld}\n", static_cast<long long>(id));
        else
            std::printf("campaign: %lld\n", static_cast<long long>(id));
        std::fflush(stdout);
    }
    void TrackerChanged(const vela::CampaignTrackerUpdate& update) override {
        const std::string event(vela::CampaignEventWord(update.event));
        if (json_) {
            std::printf("{\"tracker\":%s,\"event\":%s,\"detail\":%s}\n",
                        jsonString(update.description).c_str(), jsonString(event).c_str(),
                        jsonString(update.detail).c_str());
        } else {
            const std::string detail = vela::EscapeForTerminal(update.detail);
            std::printf("tracker: %s %s%s%s\n", vela::EscapeForTerminal(update.description).c_str(),
                        event.c_str(), detail.empty() ? "" : " ", detail.c_str());
        }
        std::fflush(stdout);
    }
    void CallerRefused(const std::string& imei, const std::string& address) override {
        std::fprintf(stderr, "velactl campaign: caller %s from %s got nothing\n",
                     vela::EscapeForTerminal(imei).c_str(), address.c_str());
    }
    void Warning(const std::string& text) override {
        std::fprintf(stderr, "warning: %s\n", vela::EscapeForTerminal(text).c_str());
    }
    void Summary(const vela::CampaignSummary& summary) const {
        if (json_) {
            std::printf("{\"summary\":{\"configured\":%d,\"failed\":%d,\"trackers\":%d}}\n",
                        summary.configured, summary.failed, summary.total);
        } else {
            std::printf("summary: %d configured, %d failed, %d trackers\n", summary.configured,
                        summary.failed, summary.total);
        }
        std::fflush(stdout);
    }

private:
    bool json_;
};

// Settings, trackers and campaigns as the options choose them, shared with the engine.
struct CampaignDatabase {
    std::shared_ptr<const vela::StorageEngine> store;
    std::shared_ptr<const vela::CampaignStorage> campaigns;
};

std::optional<CampaignDatabase> openDatabase(const vela::ParsedOptions& options) {
    std::optional<ChosenStorage> chosen = OpenChosenStorage(options);
    if (!chosen) return std::nullopt;
    return CampaignDatabase{std::move(chosen->engine), std::move(chosen->campaigns)};
}

vela::CommandLine& addStationOptions(vela::CommandLine& cli) {
    return cli
        .option("--station", "NAME", "this station's name in a shared campaign (default HOST:PID)")
        .option("--external-ip", "A.B.C.D",
                "the address this station's trackers are told to call (default: the settings')")
        .option("--external-port", "PORT",
                "the port they are told to call (default: the settings')")
        .option("--local-port", "PORT", "the port this station listens on (default: the settings')")
        .repeatable("--allow-from", "CIDR",
                    "only callers from this range (A.B.C.D/N); repeatable; default: everyone")
        .option("--lease", "S",
                "seconds a station's claim on its trackers lasts unless renewed (default 30)");
}

// Applies the station options; false (after a usage error) when one is not valid.
bool applyStationOptions(const vela::CommandLine& cli, const vela::ParsedOptions& options,
                         vela::CampaignEngine& engine, int& exitCode) {
    vela::CampaignStationSettings station;
    station.name = options.value("--station").value_or("");
    station.modemPorts = options.values("--modem");
    if (const auto ip = options.value("--external-ip")) {
        station.externalIp = vela::parseIpv4(*ip);
        if (!station.externalIp) {
            exitCode = cli.usageError("--external-ip takes an address A.B.C.D");
            return false;
        }
    }
    for (auto [name, target] : {std::pair{"--external-port", &station.externalPort},
                                std::pair{"--local-port", &station.listenPort}}) {
        if (const auto text = options.value(name)) {
            const std::optional<long> port = vela::parseWholeNumber(*text, 1, 65535);
            if (!port) {
                exitCode = cli.usageError(std::string(name) + " takes a port from 1 to 65535");
                return false;
            }
            *target = static_cast<int>(*port);
        }
    }
    std::vector<vela::AddressRange> ranges;
    for (const std::string& text : options.values("--allow-from")) {
        const vela::Result<vela::AddressRange> range = vela::parseAddressRange(text);
        if (!range) {
            exitCode = cli.usageError("--allow-from: " + range.message());
            return false;
        }
        ranges.push_back(*range);
    }
    if (!ranges.empty()) station.allowFrom = vela::AddressAllowList(std::move(ranges));
    if (const auto lease = options.value("--lease")) {
        const std::optional<long> seconds = vela::parseWholeNumber(*lease, 1, 3600);
        if (!seconds) {
            exitCode = cli.usageError("--lease takes a number of seconds from 1 to 3600");
            return false;
        }
        vela::CampaignLimits limits;
        limits.lease = std::chrono::seconds(*seconds);
        engine.setLimits(limits);
    }
    engine.setStation(station);
    return true;
}

// Runs campaign `id` with SIGINT and SIGTERM asking it to stop.
int runCampaign(vela::CampaignEngine& engine, const EventPrinter& printer, int64_t id) {
    gRunningEngine = &engine;
    struct sigaction action {};
    action.sa_handler = stopCampaign;
    sigemptyset(&action.sa_mask);
    struct sigaction oldInt {};
    struct sigaction oldTerm {};
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
    vela::Result<vela::CampaignSummary> summary = engine.Run(id);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    gRunningEngine = nullptr;

    if (!summary) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(summary.message()).c_str());
        return kExitFailure;
    }
    printer.Summary(summary.value());
    switch (summary.value().end) {
        case vela::CampaignEnd::AllConfigured:
            return kExitOk;
        case vela::CampaignEnd::Interrupted:
            if (!summary.value().reason.empty()) {
                std::fprintf(stderr, "velactl campaign: %s\n",
                             vela::EscapeForTerminal(summary.value().reason).c_str());
            }
            std::fprintf(
                stderr,
                "velactl campaign: interrupted; resume with 'velactl campaign resume %lld'\n",
                static_cast<long long>(id));
            return kExitTimeout;
        case vela::CampaignEnd::SomeFailed:
            break;
    }
    return kExitFailure;
}

std::vector<std::string> readDescriptions(const std::string& from, std::string& error) {
    vela::Result<std::string> text = vela::ReadRegularFile(from, kTrackerFileLimit);
    if (!text) {
        error = text.message();
        return {};
    }
    std::vector<std::string> descriptions;
    std::istringstream in(text.value());
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) descriptions.push_back(line);
    }
    return descriptions;
}

int runNew(const std::vector<std::string>& args) {
    vela::CommandLine cli(
        "velactl campaign run",
        "velactl campaign run --config FILE (--all | --tracker DESC ... | --from FILE)\n"
        "                            [--modem PORT ...] [--wait S] [--attempts N] [--dir DIR] "
        "[--json]",
        "Configures many trackers in one run: wakes each by SMS through the modems (in\n"
        "parallel) and serves every caller with the image of FILE. One line per event.\n"
        "Exit status: 0 every tracker configured, 1 any not, 2 usage error, 3 interrupted\n"
        "(resume it with 'velactl campaign resume ID').");
    cli.option("--config", "FILE", "the XML configuration file")
        .flag("--all", "every tracker of the list")
        .repeatable("--tracker", "DESC", "a tracker by its description (an IMEI)")
        .option("--from", "FILE", "one description per line ('-': standard input)")
        .repeatable("--modem", "PORT", "a modem port (default: the settings' modem)")
        .option("--wait", "S", "seconds to wait for a call after each SMS (default 300)")
        .option("--attempts", "N", "SMS attempts per tracker (default 2)")
        .option("--trace", "FILE", "record each modem's serial bytes (FILE, FILE.2, ...)")
        .flag("--json", "one JSON object per line");
    AddStorageOptions(addStationOptions(cli));
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;

    const int choices = (options->has("--all") ? 1 : 0) + (options->has("--tracker") ? 1 : 0) +
                        (options->has("--from") ? 1 : 0);
    if (choices != 1) return cli.usageError("give exactly one of --all, --tracker and --from");
    if (!options->has("--config")) return cli.usageError("--config is required");
    vela::CampaignRequest request;
    if (const auto wait = options->value("--wait")) {
        const std::optional<long> seconds = vela::parseWholeNumber(*wait, 1, 24L * 3600);
        if (!seconds) return cli.usageError("--wait takes a number of seconds from 1 to 86400");
        request.wait = std::chrono::seconds(*seconds);
    }
    if (const auto attempts = options->value("--attempts")) {
        const std::optional<long> count = vela::parseWholeNumber(*attempts, 1, 100);
        if (!count) return cli.usageError("--attempts takes a number from 1 to 100");
        request.attempts = static_cast<int>(*count);
    }
    const std::optional<CampaignDatabase> database = openDatabase(*options);
    if (!database) return kExitUsage;

    request.configFile = *options->value("--config");
    request.configSha256 = vela::ConfigFileSha256(*options->value("--config"));
    request.allTrackers = options->has("--all");
    request.trackers = options->values("--tracker");
    request.modemPorts = options->values("--modem");
    if (const auto from = options->value("--from")) {
        std::string error;
        request.trackers = readDescriptions(*from, error);
        if (!error.empty()) {
            std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(error).c_str());
            return kExitFailure;
        }
    }

    EventPrinter printer(options->has("--json"));
    vela::CampaignEngine engine(database->store, database->campaigns, &printer);
    if (!applyStationOptions(cli, *options, engine, exitCode)) return exitCode;
    if (const auto trace = options->value("--trace")) engine.setModemTrace(*trace);
    const vela::Result<int64_t> id = engine.Create(request);
    if (!id) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(id.message()).c_str());
        return kExitFailure;
    }
    return runCampaign(engine, printer, id.value());
}

std::optional<int64_t> campaignId(const vela::CommandLine& cli,
                                  const vela::ParsedOptions& options) {
    const std::optional<long> id =
        vela::parseWholeNumber(options.positional().front(), 1, 0x7FFFFFFFL);
    if (!id) {
        cli.usageError("ID must be a campaign number");
        return std::nullopt;
    }
    return *id;
}

// Resumes campaign ID, or (join) runs it as one more station beside the others.
int runStation(const std::vector<std::string>& args, bool join) {
    vela::CommandLine cli =
        join ? vela::CommandLine(
                   "velactl campaign join", "velactl campaign join ID --database URL [OPTIONS]",
                   "Adds this machine as one more station to a campaign in a shared database:\n"
                   "it claims trackers that no live station holds, wakes them through its own\n"
                   "modems with its own address, and serves those that call it. Exit status as\n"
                   "for 'run'.")
             : vela::CommandLine("velactl campaign resume", "velactl campaign resume ID [OPTIONS]",
                                 "Goes on with an interrupted campaign where it stood.");
    cli.repeatable("--modem", "PORT", "a modem port of this station (default: the campaign's)")
        .option("--trace", "FILE", "record each modem's serial bytes (FILE, FILE.2, ...)")
        .flag("--json", "one JSON object per line")
        .positionals(1, 1);
    AddStorageOptions(addStationOptions(cli));
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;
    const std::optional<int64_t> id = campaignId(cli, *options);
    if (!id) return kExitUsage;
    const std::optional<CampaignDatabase> database = openDatabase(*options);
    if (!database) return kExitUsage;
    if (join && !database->campaigns->shared()) {
        return cli.usageError(
            "joining needs a shared database (--database URL or VELA_DATABASE); a campaign in "
            "settings.accdb is resumed with 'velactl campaign resume'");
    }
    EventPrinter printer(options->has("--json"));
    vela::CampaignEngine engine(database->store, database->campaigns, &printer);
    if (!applyStationOptions(cli, *options, engine, exitCode)) return exitCode;
    if (const auto trace = options->value("--trace")) engine.setModemTrace(*trace);
    return runCampaign(engine, printer, *id);
}

int runStatus(const std::vector<std::string>& args) {
    vela::CommandLine cli("velactl campaign status",
                          "velactl campaign status ID [--dir DIR | --database URL] [--json]",
                          "One row per tracker: state, attempts, last event, verdict, and the\n"
                          "station that holds it; then the campaign's stations.");
    cli.flag("--json", "a JSON array of objects").positionals(1, 1);
    AddStorageOptions(cli);
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;
    const std::optional<int64_t> id = campaignId(cli, *options);
    if (!id) return kExitUsage;
    const std::optional<CampaignDatabase> database = openDatabase(*options);
    if (!database) return kExitUsage;

    const vela::CampaignStorage& store = *database->campaigns;
    vela::Result<vela::CampaignRecord> campaign = store.campaign(*id);
    vela::Result<std::vector<vela::CampaignTrackerRecord>> rows =
        campaign ? store.trackers(*id)
                 : vela::Result<std::vector<vela::CampaignTrackerRecord>>(campaign.status());
    const vela::Result<std::vector<vela::CampaignStationRecord>> stations =
        rows ? store.stations(*id)
             : vela::Result<std::vector<vela::CampaignStationRecord>>(rows.status());
    if (!stations) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(stations.message()).c_str());
        return kExitFailure;
    }
    if (options->has("--json")) {
        std::printf("[");
        bool first = true;
        for (const vela::CampaignTrackerRecord& row : rows.value()) {
            std::printf(
                "%s\n{\"tracker\":%s,\"state\":%s,\"attempts\":%lld,\"lastEvent\":%s,"
                "\"verdict\":%s,\"detail\":%s,\"modemPort\":%s,\"callerAddress\":%s,"
                "\"answer\":%s,\"updatedAt\":%s,\"station\":%s}",
                first ? "" : ",", jsonString(row.tracker).c_str(), jsonString(row.state).c_str(),
                static_cast<long long>(row.attempts), jsonString(row.lastEvent).c_str(),
                jsonString(row.verdict).c_str(), jsonString(row.detail).c_str(),
                jsonString(row.modemPort).c_str(), jsonString(row.callerAddress).c_str(),
                jsonString(row.answer).c_str(), jsonString(row.updatedAt).c_str(),
                jsonString(row.station).c_str());
            first = false;
        }
        std::printf("%s]\n", first ? "" : "\n");
        return kExitOk;
    }
    std::printf("%-20s %-11s %-8s %-11s %-10s %s\n", "TRACKER", "STATE", "ATTEMPTS", "LAST-EVENT",
                "VERDICT", "STATION");
    for (const vela::CampaignTrackerRecord& row : rows.value()) {
        std::printf("%-20s %-11s %-8lld %-11s %-10s %s\n",
                    vela::EscapeForTerminal(row.tracker).c_str(), row.state.c_str(),
                    static_cast<long long>(row.attempts),
                    row.lastEvent.empty() ? "-" : row.lastEvent.c_str(),
                    row.verdict.empty() ? "-" : row.verdict.c_str(),
                    row.station.empty() ? "-" : vela::EscapeForTerminal(row.station).c_str());
    }
    if (!stations.value().empty())
        std::printf("\n%-24s %-22s %-20s %s\n", "STATION", "ADDRESS", "JOINED", "LIVE");
    for (const vela::CampaignStationRecord& station : stations.value()) {
        std::printf("%-24s %-22s %-20s %s\n", vela::EscapeForTerminal(station.name).c_str(),
                    vela::EscapeForTerminal(station.address).c_str(), station.joinedAt.c_str(),
                    station.live ? "yes" : "no");
    }
    return kExitOk;
}

int runList(const std::vector<std::string>& args) {
    vela::CommandLine cli("velactl campaign list",
                          "velactl campaign list [--dir DIR | --database URL]",
                          "The campaigns, newest first, with their counts.");
    AddStorageOptions(cli);
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;
    const std::optional<CampaignDatabase> database = openDatabase(*options);
    if (!database) return kExitUsage;
    vela::Result<std::vector<vela::CampaignRecord>> campaigns = database->campaigns->list();
    if (!campaigns) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(campaigns.message()).c_str());
        return kExitFailure;
    }
    std::printf("%-6s %-20s %-11s %-10s %-6s %-8s %s\n", "ID", "CREATED", "STATE", "CONFIGURED",
                "FAILED", "TRACKERS", "CONFIG");
    for (const vela::CampaignRecord& c : campaigns.value()) {
        std::printf("%-6lld %-20s %-11s %-10lld %-6lld %-8lld %s\n", static_cast<long long>(c.id),
                    c.createdAt.c_str(), c.state.c_str(), static_cast<long long>(c.configured),
                    static_cast<long long>(c.failed), static_cast<long long>(c.total),
                    vela::EscapeForTerminal(c.configFile).c_str());
    }
    return kExitOk;
}

void printUsage(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: velactl campaign run --config FILE (--all | --tracker DESC ... | --from FILE)\n"
        "                            [--modem PORT ...] [--wait S] [--attempts N] [--dir DIR] "
        "[--json]\n"
        "       velactl campaign resume ID [--dir DIR]\n"
        "       velactl campaign join ID --database URL [--station NAME] [--modem PORT ...]\n"
        "       velactl campaign status ID [--dir DIR] [--json]\n"
        "       velactl campaign list [--dir DIR]\n\n"
        "Configures many trackers in one run, resumable after a crash or a stop. Every\n"
        "action takes --database URL (or VELA_DATABASE) for a shared PostgreSQL database,\n"
        "where several stations run one campaign together.\n"
        "'velactl campaign ACTION --help' tells more.\n");
}

}  // namespace

int RunCampaign(const Args& args) {
    if (args.empty()) {
        printUsage(stderr);
        return kExitUsage;
    }
    const std::string& action = args.front();
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (action == "--help" || action == "-h") {
        printUsage(stdout);
        return kExitOk;
    }
    if (action == "run") return runNew(rest);
    if (action == "resume") return runStation(rest, false);
    if (action == "join") return runStation(rest, true);
    if (action == "status") return runStatus(rest);
    if (action == "list") return runList(rest);
    std::fprintf(stderr, "velactl campaign: unknown action '%s'\n\n",
                 vela::EscapeForTerminal(action).c_str());
    printUsage(stderr);
    return kExitUsage;
}

}  // namespace velactl
