// velactl campaign: many trackers configured in one run, resumable after a crash or a
// stop. Event lines go to stdout, one per change and flushed at once; diagnostics to
// stderr.
#include "campaign_progress.h"
#include "campaign_report.h"
#include "commands.h"
#include "json_output.h"

#include "app/config_digest.h"
#include "campaign/campaign_engine.h"
#include "campaign/campaign_retry.h"
#include "campaign/campaign_setup.h"
#include "common/command_line.h"
#include "common/data_directory.h"
#include "common/file_access.h"
#include "common/number.h"
#include "common/terminal_text.h"
#include "storage/campaign_store.h"
#include "storage/pg/pg_campaign_queue.h"
#include "storage/verdict.h"
#include "storage_options.h"

#include <unistd.h>
#include <QJsonDocument>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <regex>
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

// How a run shows where it stands, beside its events: a live line on a terminal, JSON
// objects for scripts, or nothing.
enum class ProgressMode { Line, Json, None };

// Prints the engine's events as lines or JSON objects on standard output, and the
// progress on standard error.
class EventPrinter : public vela::CampaignObserver {
public:
    EventPrinter(bool json, ProgressMode progress, const vela::CampaignStorage& campaigns)
        : json_(json), progressMode_(progress), campaigns_(campaigns) {}

    void CampaignStarted(int64_t id, int trackers) override {
        if (progressMode_ != ProgressMode::None) {
            const auto rows = campaigns_.trackers(id);
            progress_.Start(rows ? rows.value() : std::vector<vela::CampaignTrackerRecord>{},
                            CampaignProgress::Clock::now());
        }
        if (json_) {
            PrintJsonLine({{"time", JsonTimeNow()},
                           {"event", "started"},
                           {"campaign", static_cast<qint64>(id)},
                           {"trackers", trackers}});
        } else {
            std::printf("campaign: %lld\n", static_cast<long long>(id));
            std::fflush(stdout);
        }
        showProgress();
    }
    void TrackerChanged(const vela::CampaignTrackerUpdate& update) override {
        const std::string event(vela::CampaignEventWord(update.event));
        progress_.Change(update, CampaignProgress::Clock::now());
        clearLiveLine();
        if (json_) {
            PrintJsonLine({{"time", JsonTimeNow()},
                           {"event", JsonText(event)},
                           {"tracker", JsonText(update.description)},
                           {"detail", JsonText(update.detail)}});
        } else {
            const std::string detail = vela::EscapeForTerminal(update.detail);
            std::printf("tracker: %s %s%s%s\n", vela::EscapeForTerminal(update.description).c_str(),
                        event.c_str(), detail.empty() ? "" : " ", detail.c_str());
            std::fflush(stdout);
        }
        showProgress();
    }
    void CallerRefused(const std::string& imei, const std::string& address) override {
        clearLiveLine();
        std::fprintf(stderr, "velactl campaign: caller %s from %s got nothing\n",
                     vela::EscapeForTerminal(imei).c_str(), address.c_str());
        showProgress();
    }
    void Warning(const std::string& text) override {
        clearLiveLine();
        std::fprintf(stderr, "warning: %s\n", vela::EscapeForTerminal(text).c_str());
        showProgress();
    }
    void Summary(const vela::CampaignSummary& summary) {
        if (lineShown_) std::fputs("\n", stderr);  // the last figures stay on the screen
        lineShown_ = false;
        // The text shows the delivery counts only when status reports were asked for.
        const bool reports = summary.delivered + summary.undeliverable + summary.unconfirmed > 0;
        if (json_) {
            // One shape for scripts: the delivery counts are 0 without status reports.
            PrintJsonLine({{"time", JsonTimeNow()},
                           {"event", "summary"},
                           {"campaign", static_cast<qint64>(summary.id)},
                           {"configured", summary.configured},
                           {"failed", summary.failed},
                           {"trackers", summary.total},
                           {"delivered", summary.delivered},
                           {"undeliverable", summary.undeliverable},
                           {"unconfirmed", summary.unconfirmed}});
            return;
        }
        std::printf("summary: %d configured, %d failed, %d trackers", summary.configured,
                    summary.failed, summary.total);
        if (reports) {
            std::printf(" (SMS: %d delivered, %d undeliverable, %d not confirmed)",
                        summary.delivered, summary.undeliverable, summary.unconfirmed);
        }
        std::printf("\n");
        std::fflush(stdout);
    }

private:
    void clearLiveLine() {
        if (!lineShown_) return;
        std::fputs("\r\033[K", stderr);
        lineShown_ = false;
    }
    void showProgress() {
        const ProgressFigures figures = progress_.Figures(CampaignProgress::Clock::now());
        if (progressMode_ == ProgressMode::Line) {
            std::fprintf(stderr, "\r%s\033[K", CampaignProgress::Line(figures).c_str());
            std::fflush(stderr);
            lineShown_ = true;
        } else if (progressMode_ == ProgressMode::Json) {
            QJsonObject object = CampaignProgress::Json(figures);
            object.insert("time", JsonTimeNow());
            object.insert("event", "progress");
            PrintJsonLine(object, stderr);
        }
    }

    bool json_;
    ProgressMode progressMode_;
    const vela::CampaignStorage& campaigns_;
    CampaignProgress progress_;
    bool lineShown_ = false;
};

vela::CommandLine& addProgressOption(vela::CommandLine& cli) {
    return cli
        .option("--progress", "MODE",
                "line: one live line on standard error (the default on a terminal); json: "
                "one JSON object per change on standard error; none")
        .choices("--progress", {"line", "json", "none"});
}

// --progress as given; without it a live line when standard error is a terminal.
std::optional<ProgressMode> progressMode(const vela::CommandLine& cli,
                                         const vela::ParsedOptions& options) {
    const std::optional<std::string> word = options.value("--progress");
    if (!word) return ::isatty(STDERR_FILENO) ? ProgressMode::Line : ProgressMode::None;
    if (*word == "line") return ProgressMode::Line;
    if (*word == "json") return ProgressMode::Json;
    if (*word == "none") return ProgressMode::None;
    cli.usageError("--progress takes line, json or none");
    return std::nullopt;
}

// Settings, trackers and campaigns as the options choose them, shared with the engine.
struct CampaignDatabase {
    std::shared_ptr<const vela::StorageEngine> store;
    std::shared_ptr<const vela::CampaignStorage> campaigns;
};

std::optional<CampaignDatabase> openDatabase(const vela::ParsedOptions& options, int& exitCode) {
    std::optional<ChosenStorage> chosen = OpenChosenStorage(options, exitCode);
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
                    "only callers from this range (A.B.C.D/N); repeatable; default: the "
                    "stored allow-list")
        .option("--lease", "S",
                "seconds a station's claim on its trackers lasts unless renewed (default 30)")
        .option("--sms-per-minute", "N",
                "at most N SMS a minute through each modem (default: as fast as it takes them)")
        .flag("--delivery-report",
              "the SMS ask the network for status reports: delivered or not, for each tracker "
              "(default: the stored option)");
}

// Applies the station options; false (after a usage error) when one is not valid.
bool applyStationOptions(const vela::CommandLine& cli, const vela::ParsedOptions& options,
                         vela::CampaignEngine& engine, int& exitCode) {
    vela::CampaignStationSettings station;
    station.name = options.value("--station").value_or("");
    station.modemPorts = options.values("--modem");
    if (options.has("--delivery-report")) station.deliveryReports = true;
    if (const auto pace = options.value("--sms-per-minute")) {
        const std::optional<long> perMinute = vela::parseWholeNumber(*pace, 1, 6000);
        if (!perMinute) {
            exitCode = cli.usageError("--sms-per-minute takes a number from 1 to 6000");
            return false;
        }
        station.smsPerMinute = static_cast<int>(*perMinute);
    }
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
int runCampaign(vela::CampaignEngine& engine, EventPrinter& printer, int64_t id) {
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

// The new campaign the options ask for: file, trackers, wait and attempts; nothing
// after a usage error or when --from cannot be read (`exitCode` says which).
std::optional<vela::CampaignRequest> campaignRequest(const vela::CommandLine& cli,
                                                     const vela::ParsedOptions& options,
                                                     int& exitCode) {
    exitCode = kExitUsage;
    const int choices = (options.has("--all") ? 1 : 0) + (options.has("--tracker") ? 1 : 0) +
                        (options.has("--from") ? 1 : 0);
    if (choices != 1) {
        cli.usageError("give exactly one of --all, --tracker and --from");
        return std::nullopt;
    }
    if (!options.has("--config")) {
        cli.usageError("--config is required");
        return std::nullopt;
    }
    vela::CampaignRequest request;
    if (const auto wait = options.value("--wait")) {
        const std::optional<long> seconds = vela::parseWholeNumber(*wait, 1, 24L * 3600);
        if (!seconds) {
            cli.usageError("--wait takes a number of seconds from 1 to 86400");
            return std::nullopt;
        }
        request.wait = std::chrono::seconds(*seconds);
    }
    if (const auto attempts = options.value("--attempts")) {
        const std::optional<long> count = vela::parseWholeNumber(*attempts, 1, 100);
        if (!count) {
            cli.usageError("--attempts takes a number from 1 to 100");
            return std::nullopt;
        }
        request.attempts = static_cast<int>(*count);
    }
    request.configFile = *options.value("--config");
    request.configSha256 = vela::ConfigFileSha256(*options.value("--config"));
    request.allTrackers = options.has("--all");
    request.trackers = options.values("--tracker");
    request.modemPorts = options.values("--modem");
    if (const auto from = options.value("--from")) {
        std::string error;
        request.trackers = readDescriptions(*from, error);
        if (!error.empty()) {
            std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(error).c_str());
            exitCode = kExitFailure;
            return std::nullopt;
        }
    }
    return request;
}

int runNew(const std::vector<std::string>& args) {
    vela::CommandLine cli(
        "velactl campaign run",
        "velactl campaign run --config FILE\n"
        "                            (--all | --tracker DESC ... | --from FILE)\n"
        "                            [--modem PORT ...] [--wait S] [--attempts N]\n"
        "                            [--dir DIR | --database URL] [--json]",
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
    addProgressOption(cli);
    AddStorageOptions(addStationOptions(cli));
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;

    std::optional<vela::CampaignRequest> request = campaignRequest(cli, *options, exitCode);
    if (!request) return exitCode;
    const std::optional<CampaignDatabase> database = openDatabase(*options, exitCode);
    if (!database) return exitCode;

    const std::optional<ProgressMode> progress = progressMode(cli, *options);
    if (!progress) return kExitUsage;
    EventPrinter printer(options->has("--json"), *progress, *database->campaigns);
    vela::CampaignEngine engine(database->store, database->campaigns, &printer);
    if (!applyStationOptions(cli, *options, engine, exitCode)) return exitCode;
    if (const auto trace = options->value("--trace")) engine.setModemTrace(*trace);
    const vela::Result<int64_t> id = engine.Create(*request);
    if (!id) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(id.message()).c_str());
        return kExitFailure;
    }
    return runCampaign(engine, printer, id.value());
}

// A time with its date, hour, minute and zone ("2026-12-08T06:00:00Z", "...+01:00"):
// one without a zone would be read in the database server's zone.
bool isZonedTime(const std::string& text) {
    static const std::regex pattern(
        R"(\d{4}-\d\d-\d\d[T ]\d\d:\d\d(:\d\d(\.\d+)?)?(Z|[+-]\d\d(:?\d\d)?))");
    return std::regex_match(text, pattern);
}

int runSubmit(const Args& args) {
    vela::CommandLine cli(
        "velactl campaign submit",
        "velactl campaign submit --config FILE (--all | --tracker DESC ... | --from FILE)\n"
        "                            [--not-before TIME] [--priority N] [--station-group G]\n"
        "                            [--wait S] [--attempts N] --database URL",
        "Checks the trackers, encodes the image of FILE and puts the campaign in the queue\n"
        "of the shared database, where the stations of its group take it ('velactl station\n"
        "serve'); sends nothing itself. A file or a tracker that is refused never enters\n"
        "the queue. Prints the campaign's ID. Exit status: 0 queued, 1 refused, 2 usage\n"
        "error.");
    cli.option("--config", "FILE", "the XML configuration file")
        .flag("--all", "every tracker of the list")
        .repeatable("--tracker", "DESC", "a tracker by its description (an IMEI)")
        .option("--from", "FILE", "one description per line ('-': standard input)")
        .option("--wait", "S", "seconds to wait for a call after each SMS (default 300)")
        .option("--attempts", "N", "SMS attempts per tracker (default 2)")
        .option("--not-before", "TIME",
                "not taken before this time, with its zone (2026-12-08T06:00:00Z)")
        .option("--priority", "N", "higher first (default 0, from -1000 to 1000)")
        .option("--station-group", "G", "the group of stations that take it (default: '')");
    AddStorageOptions(cli);
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;
    vela::QueuePlace place;
    if (const auto priority = options->value("--priority")) {
        const std::optional<long> number = vela::parseWholeNumber(*priority, -1000, 1000);
        if (!number) return cli.usageError("--priority takes a number from -1000 to 1000");
        place.priority = static_cast<int>(*number);
    }
    if (const auto time = options->value("--not-before")) {
        if (!isZonedTime(*time))
            return cli.usageError("--not-before takes a time with its zone, as 2026-12-08T06:00Z");
        place.notBefore = *time;
    }
    place.stationGroup = options->value("--station-group").value_or("");
    std::optional<vela::CampaignRequest> request = campaignRequest(cli, *options, exitCode);
    if (!request) return exitCode;
    std::optional<ChosenStorage> chosen = OpenChosenStorage(*options, exitCode);
    if (!chosen) return exitCode;
    if (!chosen->choice.databaseUrl) {
        return cli.usageError(
            "the queue is in a shared database: give --database URL or VELA_DATABASE");
    }
    const std::unique_ptr<vela::CampaignStorage> queue =
        vela::QueueingCampaignStorage(*chosen->choice.databaseUrl, place);
    const vela::Result<int64_t> id = vela::CreateCampaign(*chosen->engine, *queue, *request);
    if (!id) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(id.message()).c_str());
        return kExitFailure;
    }
    std::printf("campaign: %lld queued\n", static_cast<long long>(id.value()));
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
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

// Resumes campaign ID, runs it as one more station beside the others (join), or runs a
// new campaign of its trackers that did not end configured (retry).
enum class StationRun { Resume, Join, Retry };

int runStation(const std::vector<std::string>& args, StationRun kind) {
    const bool join = kind == StationRun::Join;
    const bool retry = kind == StationRun::Retry;
    vela::CommandLine cli =
        retry ? vela::CommandLine(
                    "velactl campaign retry",
                    "velactl campaign retry ID [--only VERDICT,...] [OPTIONS]",
                    "Starts a new campaign of the trackers of campaign ID that did not end\n"
                    "configured (with --only, those that ended with one of the verdicts), with\n"
                    "the same file, modems, wait and attempts, and runs it. Exit status as for\n"
                    "'run'.")
        : join
            ? vela::CommandLine(
                  "velactl campaign join", "velactl campaign join ID --database URL [OPTIONS]",
                  "Adds this machine as one more station to a campaign in a shared database:\n"
                  "it claims trackers that no live station holds, wakes them through its own\n"
                  "modems with its own address, and serves those that call it. Exit status as\n"
                  "for 'run'.")
            : vela::CommandLine("velactl campaign resume", "velactl campaign resume ID [OPTIONS]",
                                "Goes on with an interrupted campaign where it stood.");
    if (retry) cli.option("--only", "VERDICT,...", "only the trackers that ended so (no-call,...)");
    cli.repeatable("--modem", "PORT", "a modem port of this station (default: the campaign's)")
        .option("--trace", "FILE", "record each modem's serial bytes (FILE, FILE.2, ...)")
        .flag("--json", "one JSON object per line")
        .positionals(1, 1);
    addProgressOption(cli);
    AddStorageOptions(addStationOptions(cli));
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;
    const std::optional<int64_t> id = campaignId(cli, *options);
    if (!id) return kExitUsage;
    const std::optional<CampaignDatabase> database = openDatabase(*options, exitCode);
    if (!database) return exitCode;
    if (join && !database->campaigns->shared()) {
        return cli.usageError(
            "joining needs a shared database (--database URL or VELA_DATABASE); a campaign in "
            "settings.accdb is resumed with 'velactl campaign resume'");
    }
    const std::optional<ProgressMode> progress = progressMode(cli, *options);
    if (!progress) return kExitUsage;
    int64_t runId = *id;
    if (retry) {
        // A new campaign of the trackers that did not end configured, same file and
        // options; then it runs as any other.
        std::vector<std::string> only;
        if (const auto words = options->value("--only")) {
            std::istringstream list(*words);
            for (std::string word; std::getline(list, word, ',');) {
                if (!vela::VerdictFromWord(word))
                    return cli.usageError("--only: unknown verdict '" + word + "'");
                only.push_back(word);
            }
        }
        const vela::Result<int64_t> created =
            vela::CreateRetryCampaign(*database->campaigns, *id, only);
        if (!created) {
            std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(created.message()).c_str());
            return kExitFailure;
        }
        runId = created.value();
    }
    EventPrinter printer(options->has("--json"), *progress, *database->campaigns);
    vela::CampaignEngine engine(database->store, database->campaigns, &printer);
    if (!applyStationOptions(cli, *options, engine, exitCode)) return exitCode;
    if (const auto trace = options->value("--trace")) engine.setModemTrace(*trace);
    return runCampaign(engine, printer, runId);
}

int statusFailure(const vela::Status& status) {
    std::fflush(stdout);
    std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(status.message()).c_str());
    return kExitFailure;
}

int runStatus(const std::vector<std::string>& args) {
    vela::CommandLine cli("velactl campaign status",
                          "velactl campaign status ID [--dir DIR | --database URL]\n"
                          "                              [--json | --csv]",
                          "One row per tracker: state, attempts, last event, verdict, and the\n"
                          "station that holds it; then the campaign's stations and the totals.");
    cli.flag("--json", "a JSON array of objects")
        .flag("--csv", "CSV: a header of the JSON keys, then one record per tracker")
        .positionals(1, 1);
    AddStorageOptions(cli);
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;
    const std::optional<int64_t> id = campaignId(cli, *options);
    if (!id) return kExitUsage;
    if (options->has("--json") && options->has("--csv"))
        return cli.usageError("--json and --csv cannot be used together");
    const std::optional<CampaignDatabase> database = openDatabase(*options, exitCode);
    if (!database) return exitCode;

    const vela::CampaignStorage& store = *database->campaigns;
    vela::Result<vela::CampaignRecord> campaign = store.campaign(*id);
    if (options->has("--csv")) {
        vela::Result<std::vector<vela::CampaignTrackerRecord>> rows =
            campaign ? store.trackers(*id)
                     : vela::Result<std::vector<vela::CampaignTrackerRecord>>(campaign.status());
        if (!rows) return statusFailure(rows.status());
        std::fputs(CampaignCsv(rows.value()).c_str(), stdout);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
    }
    const vela::Result<std::vector<vela::CampaignStationRecord>> stations =
        campaign ? store.stations(*id)
                 : vela::Result<std::vector<vela::CampaignStationRecord>>(campaign.status());
    if (!stations) return statusFailure(stations.status());
    // The rows are written as they are read: a fleet's campaign never sits in memory.
    const bool json = options->has("--json");
    if (!json) {
        std::printf("%-20s %-11s %-8s %-11s %-10s %s\n", "TRACKER", "STATE", "ATTEMPTS",
                    "LAST-EVENT", "VERDICT", "STATION");
    }
    CampaignTotals totals;
    const vela::Status read = store.eachTracker(*id, [&](const vela::CampaignTrackerRecord& row) {
        if (json) {
            std::fputs(totals.trackers == 0 ? "[\n" : ",\n", stdout);
            const QByteArray object =
                QJsonDocument(CampaignTrackerJson(row)).toJson(QJsonDocument::Compact);
            std::fwrite(object.constData(), 1, static_cast<std::size_t>(object.size()), stdout);
        } else {
            std::printf("%-20s %-11s %-8lld %-11s %-10s %s\n",
                        vela::EscapeForTerminal(row.tracker).c_str(), row.state.c_str(),
                        static_cast<long long>(row.attempts),
                        row.lastEvent.empty() ? "-" : row.lastEvent.c_str(),
                        row.verdict.empty() ? "-" : row.verdict.c_str(),
                        row.station.empty() ? "-" : vela::EscapeForTerminal(row.station).c_str());
        }
        AddToTotals(totals, row);
    });
    if (json) std::fputs(totals.trackers == 0 ? "[]\n" : "\n]\n", stdout);
    if (!read) return statusFailure(read);
    if (json) return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
    if (!stations.value().empty())
        std::printf("\n%-24s %-22s %-20s %s\n", "STATION", "ADDRESS", "JOINED", "LIVE");
    for (const vela::CampaignStationRecord& station : stations.value()) {
        std::printf("%-24s %-22s %-20s %s\n", vela::EscapeForTerminal(station.name).c_str(),
                    vela::EscapeForTerminal(station.address).c_str(), station.joinedAt.c_str(),
                    station.live ? "yes" : "no");
    }
    std::printf("\n%s\n", TotalsLine(totals).c_str());
    return kExitOk;
}

int runReport(const Args& args) {
    vela::CommandLine cli("velactl campaign report",
                          "velactl campaign report ID --html FILE [--dir DIR | --database URL]",
                          "Writes a page that needs no network: the totals, a chart of the\n"
                          "trackers configured and failed over time, the figures of each modem\n"
                          "and every tracker with its verdict.");
    cli.option("--html", "FILE", "the page to write ('-': standard output)").positionals(1, 1);
    AddStorageOptions(cli);
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;
    const std::optional<int64_t> id = campaignId(cli, *options);
    if (!id) return kExitUsage;
    const std::optional<std::string> file = options->value("--html");
    if (!file) return cli.usageError("--html FILE is required");
    const std::optional<CampaignDatabase> database = openDatabase(*options, exitCode);
    if (!database) return exitCode;
    const vela::Result<vela::CampaignRecord> campaign = database->campaigns->campaign(*id);
    const vela::Result<std::vector<vela::CampaignTrackerRecord>> rows =
        campaign ? database->campaigns->trackers(*id)
                 : vela::Result<std::vector<vela::CampaignTrackerRecord>>(campaign.status());
    if (!rows) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(rows.message()).c_str());
        return kExitFailure;
    }
    const std::string page = CampaignHtml(campaign.value(), rows.value());
    if (*file == "-") {
        std::fputs(page.c_str(), stdout);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
    }
    std::FILE* out = std::fopen(file->c_str(), "w");
    const bool written =
        out != nullptr && std::fwrite(page.data(), 1, page.size(), out) == page.size();
    if (out == nullptr || std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "error: cannot write %s: %s\n", vela::EscapeForTerminal(*file).c_str(),
                     std::strerror(errno));
        return kExitFailure;
    }
    std::printf("report: %s\n", vela::EscapeForTerminal(*file).c_str());
    return kExitOk;
}

int runList(const std::vector<std::string>& args) {
    vela::CommandLine cli("velactl campaign list",
                          "velactl campaign list [--dir DIR | --database URL] [--json]",
                          "The campaigns, newest first, with their counts.");
    AddStorageOptions(cli).flag("--json", "a JSON array of objects");
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;
    const std::optional<CampaignDatabase> database = openDatabase(*options, exitCode);
    if (!database) return exitCode;
    vela::Result<std::vector<vela::CampaignRecord>> campaigns = database->campaigns->list();
    if (!campaigns) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(campaigns.message()).c_str());
        return kExitFailure;
    }
    if (options->has("--json")) {
        QJsonArray array;
        for (const vela::CampaignRecord& c : campaigns.value()) array.append(CampaignJson(c));
        PrintJsonArray(array);
        return kExitOk;
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

int runResume(const Args& args) {
    return runStation(args, StationRun::Resume);
}
int runJoin(const Args& args) {
    return runStation(args, StationRun::Join);
}
int runRetry(const Args& args) {
    return runStation(args, StationRun::Retry);
}

constexpr Subcommand kActions[] = {
    {"run", "start a campaign: wake and configure many trackers", runNew},
    {"submit", "queue a campaign for the unattended stations of a shared database", runSubmit},
    {"resume", "go on with a campaign that was stopped or cut", runResume},
    {"join", "add this station to a campaign in a shared database", runJoin},
    {"retry", "run again the trackers of a campaign that were not configured", runRetry},
    {"status", "show a campaign's trackers and their states", runStatus},
    {"list", "list the campaigns", runList},
    {"report", "write a campaign's report as a self-contained HTML page", runReport},
};

}  // namespace

int RunCampaign(const Args& args) {
    return RunSubcommandGroup(
        "campaign",
        "Configures many trackers in one run, resumable after a crash or a stop. Every\n"
        "action takes --database URL (or VELA_DATABASE) for a shared PostgreSQL database,\n"
        "where several stations run one campaign together. Each action has its own --help.",
        kActions, args);
}

}  // namespace velactl
