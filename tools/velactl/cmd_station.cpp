// velactl station: an unattended station that works the campaign queue of a shared
// database (serve), and the stations as their heartbeats show them (status).
#include "commands.h"
#include "json_output.h"
#include "storage_options.h"

#include "common/command_line.h"
#include "common/terminal_text.h"
#include "station/station_config.h"
#include "station/station_service.h"
#include "storage/history_store.h"
#include "storage/pg/pg_campaign_queue.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace velactl {

namespace {

vela::StationService* gService = nullptr;

extern "C" void stopStation(int) {
    if (gService != nullptr) gService->RequestStop();
}

// Under systemd the journal stamps every line itself (JOURNAL_STREAM is set there):
// a time of our own would be shown twice.
void logLine(const std::string& text) {
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    const std::string shown = vela::EscapeForTerminal(text);
    if (journal) {
        std::fprintf(stderr, "%s\n", shown.c_str());
    } else {
        std::fprintf(stderr, "%s %s\n", vela::HistoryTimestamp().c_str(), shown.c_str());
    }
    std::fflush(stderr);
}

int runServe(const Args& args) {
    vela::CommandLine cli(
        "velactl station serve", "velactl station serve --config FILE [--metrics-file PATH]",
        "Runs an unattended station: takes the queued and running campaigns of its group\n"
        "from the shared database, highest priority first and never before their time,\n"
        "and configures their trackers through its modems until it is stopped (SIGTERM or\n"
        "SIGINT: the campaign in hand stops, its trackers are given back). Logs to standard\n"
        "error. Exit status: 0 stopped, 1 the station could not start, 2 usage error.");
    cli.option("--config", "FILE", "the station's configuration file")
        .option("--metrics-file", "PATH",
                "write the station's figures for node_exporter's textfile collector");
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;
    const std::optional<std::string> file = options->value("--config");
    if (!file) return cli.usageError("--config FILE is required");
    vela::Result<vela::StationConfig> config = vela::ReadStationConfig(*file);
    if (!config) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(config.message()).c_str());
        return kExitFailure;
    }
    if (const auto metrics = options->value("--metrics-file"))
        config.value().metricsFile = *metrics;

    vela::StationTiming timing;
    // Tests shorten the station's waits; nothing else sets this.
    if (const char* poll = std::getenv("VELA_STATION_POLL_MS"); poll != nullptr) {
        timing.poll = std::chrono::milliseconds(std::max(50, std::atoi(poll)));
        timing.backOff = timing.poll * 5;
    }
    vela::StationService service(std::move(config).value(), timing, logLine);
    gService = &service;
    struct sigaction action {};
    action.sa_handler = stopStation;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const vela::Status served = service.Serve();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    gService = nullptr;
    if (!served) {
        logLine("error: " + served.message());
        return kExitFailure;
    }
    return kExitOk;
}

QJsonObject stationJson(const vela::StationRecord& station) {
    QJsonArray modems;
    for (const vela::StationModemFigures& modem : station.beat.modems) {
        modems.append(QJsonObject{{"port", JsonText(modem.port)},
                                  {"open", modem.open},
                                  {"sms_sent", static_cast<qint64>(modem.smsSent)},
                                  {"sms_failed", static_cast<qint64>(modem.smsFailed)},
                                  {"last_error", JsonText(modem.lastError)}});
    }
    return QJsonObject{{"station", JsonText(station.beat.name)},
                       {"group", JsonText(station.beat.group)},
                       {"live", station.live},
                       {"state", JsonText(station.beat.state)},
                       {"campaign", static_cast<qint64>(station.beat.campaign)},
                       {"claimed", static_cast<qint64>(station.claimed)},
                       {"address", JsonText(station.beat.address)},
                       {"host", JsonText(station.beat.host)},
                       {"pid", static_cast<qint64>(station.beat.pid)},
                       {"started_at", JsonText(station.beat.startedAt)},
                       {"seen_at", JsonText(station.seenAt)},
                       {"callers_refused", static_cast<qint64>(station.beat.callersRefused)},
                       {"modems", modems}};
}

int runStatus(const Args& args) {
    vela::CommandLine cli("velactl station status",
                          "velactl station status (--database URL | --config FILE) [--json]",
                          "The stations of a shared database as their heartbeats show them:\n"
                          "live or not, what they do, the trackers they hold, and each modem's\n"
                          "SMS sent and failed with its last error.");
    cli.option("--config", "FILE", "take the database from this station configuration file")
        .flag("--json", "a JSON array of objects");
    AddStorageOptions(cli);
    int exitCode = 0;
    const std::optional<vela::ParsedOptions> options = cli.parse(args, exitCode);
    if (!options) return exitCode;
    std::optional<std::string> url;
    if (const auto file = options->value("--config")) {
        vela::Result<vela::StationConfig> config = vela::ReadStationConfig(*file);
        if (!config) {
            std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(config.message()).c_str());
            return kExitFailure;
        }
        url = config.value().database;
    } else {
        const std::optional<vela::InstallationChoice> choice =
            ChosenInstallation(*options, exitCode);
        if (!choice) return exitCode;
        url = choice->databaseUrl;
    }
    if (!url) return cli.usageError("stations need a shared database: give --database URL");
    vela::CampaignQueue queue(*url);
    vela::Result<std::vector<vela::StationRecord>> stations = queue.stations();
    if (!stations) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(stations.message()).c_str());
        return kExitFailure;
    }
    if (options->has("--json")) {
        QJsonArray array;
        for (const vela::StationRecord& station : stations.value())
            array.append(stationJson(station));
        PrintJsonArray(array);
        return kExitOk;
    }
    std::printf("%-20s %-10s %-4s %-20s %-8s %-7s %s\n", "STATION", "GROUP", "LIVE", "STATE",
                "CAMPAIGN", "CLAIMED", "SEEN");
    for (const vela::StationRecord& station : stations.value()) {
        const vela::StationBeat& beat = station.beat;
        std::printf("%-20s %-10s %-4s %-20s %-8s %-7lld %s\n",
                    vela::EscapeForTerminal(beat.name).c_str(),
                    beat.group.empty() ? "-" : vela::EscapeForTerminal(beat.group).c_str(),
                    station.live ? "yes" : "no", vela::EscapeForTerminal(beat.state).c_str(),
                    beat.campaign == 0 ? "-" : std::to_string(beat.campaign).c_str(),
                    static_cast<long long>(station.claimed), station.seenAt.c_str());
        for (const vela::StationModemFigures& modem : beat.modems) {
            std::printf("  modem %s: %s, %lld sent, %lld failed%s%s\n",
                        vela::EscapeForTerminal(modem.port).c_str(),
                        modem.open ? "open" : "cannot be opened",
                        static_cast<long long>(modem.smsSent),
                        static_cast<long long>(modem.smsFailed),
                        modem.lastError.empty() ? "" : ", last error: ",
                        vela::EscapeForTerminal(modem.lastError).c_str());
        }
    }
    return kExitOk;
}

constexpr Subcommand kActions[] = {
    {"serve", "run an unattended station over the campaign queue", runServe},
    {"status", "show the stations of a shared database", runStatus},
};

}  // namespace

int RunStation(const Args& args) {
    return RunSubcommandGroup(
        "station",
        "Unattended stations: services that take queued campaigns from a shared PostgreSQL\n"
        "database and carry them out. Each action has its own --help.",
        kActions, args);
}

}  // namespace velactl
