#include "commands.h"
#include "storage_options.h"

#include "common/number.h"
#include "common/terminal_text.h"
#include "storage/database_file.h"
#include "storage/database_maintenance.h"
#include "storage/history_store.h"
#include "storage/pg/connection.h"
#include "storage/pg/installation_choice.h"
#include "storage/pg/pg_schema.h"
#include "storage/pg/storage_choice.h"
#include "storage/text_encoding.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <optional>

namespace velactl {

namespace {

// The shared database's side of init and check: its tables made or brought forward, or
// the problems that keep Vela from using them.
std::vector<std::string> sharedDatabaseProblems(const std::string& url, bool bringForward) {
    vela::Result<vela::pg::Connection> connection = vela::pg::Connection::open(url);
    if (!connection) return {connection.message()};
    if (bringForward) {
        if (vela::Status migrated = vela::pg::MigrateSchema(connection.value()); !migrated)
            return {migrated.message()};
    }
    std::vector<std::string> problems;
    vela::Result<int> version = vela::pg::SchemaVersion(connection.value());
    if (!version) return {version.message()};
    if (version.value() != vela::pg::LatestSchemaVersion()) {
        problems.push_back("the tables are at version " + std::to_string(version.value()) +
                           ", this Vela uses version " +
                           std::to_string(vela::pg::LatestSchemaVersion()) +
                           (version.value() < vela::pg::LatestSchemaVersion()
                                ? " (velactl db init brings them forward)"
                                : " (a newer Vela made them)"));
    }
    constexpr const char* kReads[] = {
        "SELECT \"IP\", \"EPort\", \"LPort\", \"Timeout\", \"MPort\" FROM \"Settings\" LIMIT 0",
        ("SELECT \"Imei\", \"Phone\", \"Port\", \"APN\", \"Auth\", \"SMSuser\", \"SMSpass\", "
         "\"GPRSuser\", \"GPRSpass\", \"Mode\" FROM \"Trackers\" LIMIT 0"),
        "SELECT \"Name\", \"Value\" FROM \"Options\" LIMIT 0",
    };
    for (const char* read : kReads) {
        if (auto done = connection.value().execute(read); !done) problems.push_back(done.message());
    }
    return problems;
}

int runInit(const Args& args) {
    vela::CommandLine line(
        "velactl db init",
        "velactl db init [--dir DIR | --user-data | --database URL] [--force]",
        "Creates the database settings.accdb with empty Settings and Trackers\n"
        "tables, readable and writable by its owner only. With a PostgreSQL database,\n"
        "makes its tables or brings them forward, keeping every row.");
    AddStorageOptions(line).flag("--force", "replace an existing settings.accdb");
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto choice = ChosenInstallation(*options, exitCode);
    if (!choice) return exitCode;
    if (choice->databaseUrl) {
        const std::vector<std::string> problems = sharedDatabaseProblems(*choice->databaseUrl, true);
        for (const std::string& problem : problems)
            std::fprintf(stderr, "velactl db init: %s\n", vela::EscapeForTerminal(problem).c_str());
        if (!problems.empty()) return kExitFailure;
        std::printf("the tables of %s are ready\n",
                    vela::EscapeForTerminal(vela::pg::RedactUrl(*choice->databaseUrl)).c_str());
        return kExitOk;
    }
    const std::filesystem::path file = vela::databaseFile(choice->directory);
    vela::Status created = vela::createDatabase(file, options->has("--force"));
    if (!created) {
        std::fprintf(stderr, "velactl db init: %s%s\n",
                     vela::EscapeForTerminal(created.message()).c_str(),
                     created.message().ends_with("already exists") ? " (--force replaces it)" : "");
        return kExitFailure;
    }
    std::printf("created %s\n", file.string().c_str());
    return kExitOk;
}

int runBackup(const Args& args) {
    vela::CommandLine line(
        "velactl db backup", "velactl db backup [--dir DIR | --user-data] FILE",
        "Copies the database into FILE, consistently even while Vela is using\n"
        "it (SQLite's online backup). FILE is created readable and writable by\n"
        "its owner only: it holds the trackers' passwords. To restore, put the\n"
        "copy in place of settings.accdb while Vela is not running. A PostgreSQL\n"
        "database is backed up with the server's own tools (pg_dump).");
    AddStorageOptions(line).positionals(1, 1);
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto choice = ChosenInstallation(*options, exitCode);
    if (!choice) return exitCode;
    if (choice->databaseUrl) {
        std::fprintf(stderr,
                     "velactl db backup: %s is a PostgreSQL database: back it up with pg_dump "
                     "(pg_dump -Fc -f FILE DATABASE), or copy it into a settings.accdb with "
                     "velactl db migrate --from\n",
                     vela::EscapeForTerminal(vela::pg::RedactUrl(*choice->databaseUrl)).c_str());
        return kExitFailure;
    }
    const std::string& target = options->positional()[0];
    if (vela::Status copied = vela::BackupDatabase(vela::databaseFile(choice->directory), target);
        !copied) {
        std::fprintf(stderr, "velactl db backup: %s\n",
                     vela::EscapeForTerminal(copied.message()).c_str());
        return kExitFailure;
    }
    std::printf("backed up to %s\n", vela::EscapeForTerminal(target).c_str());
    return kExitOk;
}

int runCheck(const Args& args) {
    vela::CommandLine line(
        "velactl db check", "velactl db check [--dir DIR | --user-data | --database URL]",
        "Runs SQLite's integrity check on the database and checks that its\n"
        "Settings and Trackers tables have the columns Vela uses (a PostgreSQL\n"
        "database: that it answers and its tables are this Vela's). Prints \"ok\"\n"
        "or each problem; the exit status is 0 only for \"ok\".");
    AddStorageOptions(line);
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto choice = ChosenInstallation(*options, exitCode);
    if (!choice) return exitCode;
    auto problems = choice->databaseUrl
                        ? vela::Result<std::vector<std::string>>(
                              sharedDatabaseProblems(*choice->databaseUrl, false))
                        : vela::CheckDatabase(vela::databaseFile(choice->directory));
    if (!problems) {
        std::fprintf(stderr, "velactl db check: %s\n",
                     vela::EscapeForTerminal(problems.message()).c_str());
        return kExitFailure;
    }
    if (problems.value().empty()) {
        std::printf("ok\n");
        return kExitOk;
    }
    for (const std::string& problem : problems.value()) {
        std::printf("%s\n", vela::EscapeForTerminal(problem).c_str());
    }
    return kExitFailure;
}

// PostgreSQL keeps texts as UTF-8 only. A text of settings.accdb in another encoding
// (written by an older tool) is read as Latin-1, as the window shows it, and named.
void makeTextsUtf8(vela::StoredContent& content) {
    const auto convert = [](std::string& text, const std::string& where) {
        if (vela::IsValidUtf8(text)) return;
        text = vela::ReadableUtf8(text);
        std::fprintf(stderr, "warning: %s is not UTF-8; it is copied as read in Latin-1\n",
                     vela::EscapeForTerminal(where).c_str());
    };
    if (content.settings) convert(content.settings->modemPort, "the modem port");
    vela::TrackerList converted;
    for (vela::TrackerEntry entry : content.trackers.entries()) {
        const std::string name =
            "a text of tracker '" + vela::ReadableUtf8(entry.description) + "'";
        for (std::string* text : {&entry.description, &entry.phone, &entry.apn, &entry.smsUser,
                                  &entry.smsPassword, &entry.gprsUser, &entry.gprsPassword}) {
            convert(*text, name);
        }
        converted.add(std::move(entry));
    }
    content.trackers = std::move(converted);
    for (vela::HistoryRecord& record : content.history) {
        const std::string name = "a text of history row " + std::to_string(record.id);
        for (std::string* text :
             {&record.startedAt, &record.endedAt, &record.kind, &record.tracker, &record.phone,
              &record.modemPort, &record.configFile, &record.configSha256, &record.callerAddress,
              &record.callerImei, &record.detail}) {
            convert(*text, name);
        }
    }
    for (vela::CampaignRecord& campaign : content.campaigns) {
        const std::string name = "a text of campaign " + std::to_string(campaign.id);
        convert(campaign.configFile, name);
        for (std::string& port : campaign.modemPorts) convert(port, name);
    }
    for (vela::CampaignTrackerRecord& row : content.campaignTrackers) {
        const std::string name = "a text of tracker '" + vela::ReadableUtf8(row.tracker) +
                                 "' in campaign " + std::to_string(row.campaignId);
        for (std::string* text :
             {&row.tracker, &row.phone, &row.lastEvent, &row.detail, &row.modemPort,
              &row.callerAddress, &row.callerImei, &row.answer, &row.station}) {
            convert(*text, name);
        }
    }
    for (vela::CampaignStationRecord& station : content.campaignStations) {
        const std::string name = "a station of campaign " + std::to_string(station.campaignId);
        convert(station.name, name);
        convert(station.address, name);
    }
}

int runMigrate(const Args& args) {
    vela::CommandLine line(
        "velactl db migrate",
        "velactl db migrate --to URL [--dir DIR | --user-data] [--force]\n"
        "       velactl db migrate --from URL [--dir DIR | --user-data] [--force]",
        "Copies the settings, trackers and run history of settings.accdb into a\n"
        "PostgreSQL database (--to), or from one into settings.accdb (--from), in one\n"
        "transaction. A target that already holds any of them is left alone unless\n"
        "--force replaces its content. Campaigns are copied with their IDs.");
    AddDataDirectoryOptions(line)
        .option("--to", "URL", "the PostgreSQL database to copy into")
        .option("--from", "URL", "the PostgreSQL database to copy from")
        .flag("--force", "replace what the target holds");
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto to = options->value("--to");
    const auto from = options->value("--from");
    if (to.has_value() == from.has_value()) return line.usageError("migrate needs --to or --from");
    const std::string& url = to ? *to : *from;
    if (!vela::pg::IsPostgresUrl(url)) {
        return line.usageError(std::string(to ? "--to" : "--from") +
                               " takes a postgresql:// URL, not '" +
                               vela::EscapeForTerminal(vela::pg::RedactUrl(url)) + "'");
    }
    if (vela::pg::HoldsPassword(url)) {
        return line.usageError(vela::PasswordOnCommandLine(to ? "--to" : "--from"));
    }
    const auto directory = DataDirectory(*options, exitCode);
    if (!directory) return exitCode;
    const auto file = vela::OpenStorage(*directory, std::nullopt, warningReporter());
    const auto database = vela::OpenStorage(*directory, url, warningReporter());
    const vela::StorageEngine& source = to ? *file : *database;
    const vela::StorageEngine& target = to ? *database : *file;

    vela::Result<vela::StoredContent> content = source.loadContent();
    if (!content) return kExitFailure;  // reported as a warning with its reason
    if (to) makeTextsUtf8(content.value());
    if (vela::Status copied = target.replaceContent(content.value(), options->has("--force"));
        !copied) {
        if (copied.code() == vela::StatusCode::Conflict) {
            std::fprintf(stderr,
                         "velactl db migrate: the target is not empty (--force replaces it)\n");
        }
        return kExitFailure;
    }
    const vela::StoredContent& copied = content.value();
    std::string counts = std::to_string(copied.trackers.count()) + " trackers";
    if (copied.campaigns.empty()) {
        counts += " and " + std::to_string(copied.history.size()) + " history rows";
    } else {
        counts += ", " + std::to_string(copied.history.size()) + " history rows and " +
                  std::to_string(copied.campaigns.size()) + " campaigns";
    }
    std::printf("copied %s, %s from %s to %s\n", copied.settings ? "the settings" : "no settings",
                counts.c_str(), vela::EscapeForTerminal(source.location()).c_str(),
                vela::EscapeForTerminal(target.location()).c_str());
    return kExitOk;
}

int runPrune(const Args& args) {
    vela::CommandLine line(
        "velactl db prune",
        "velactl db prune [--history-older-than DAYS] [--campaigns-finished-before DAYS] "
        "[--dir DIR | --database URL]",
        "Deletes the history rows that ended more than DAYS days ago and the finished\n"
        "campaigns (with their tracker rows) that ended more than DAYS days ago, in\n"
        "one transaction, and prints what was deleted. Running campaigns and\n"
        "interrupted ones are kept.");
    line.option("--history-older-than", "DAYS", "history rows that ended before then")
        .option("--campaigns-finished-before", "DAYS", "campaigns finished before then");
    AddStorageOptions(line);
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    std::optional<std::string> before[2];
    const char* names[2] = {"--history-older-than", "--campaigns-finished-before"};
    for (int i = 0; i < 2; ++i) {
        const std::optional<std::string> text = options->value(names[i]);
        if (!text) continue;
        const std::optional<long> days = vela::parseWholeNumber(*text, 0, 36500);
        if (!days) return line.usageError(std::string(names[i]) + " takes 0 to 36500 days");
        before[i] = vela::HistoryTimestamp(std::chrono::system_clock::now() -
                                           std::chrono::hours(24) * *days);
    }
    if (!before[0] && !before[1])
        return line.usageError("give --history-older-than or --campaigns-finished-before");
    const std::optional<ChosenStorage> storage = OpenChosenStorage(*options, exitCode);
    if (!storage) return exitCode;
    const vela::Result<vela::CampaignStorage::PruneCounts> pruned =
        storage->campaigns->prune(before[0], before[1]);
    if (!pruned) {
        std::fprintf(stderr, "velactl db prune: %s\n",
                     vela::EscapeForTerminal(pruned.message()).c_str());
        return kExitFailure;
    }
    std::printf("deleted %lld history rows, %lld campaigns (%lld tracker rows)\n",
                static_cast<long long>(pruned.value().historyRows),
                static_cast<long long>(pruned.value().campaigns),
                static_cast<long long>(pruned.value().campaignTrackers));
    return kExitOk;
}

constexpr std::array<Subcommand, 5> kSubcommands = {{
    {"init", "create an empty database", runInit},
    {"backup", "copy the database safely into a file", runBackup},
    {"check", "check the database's integrity and tables", runCheck},
    {"migrate", "copy everything to or from a PostgreSQL database", runMigrate},
    {"prune", "delete old history rows and finished campaigns", runPrune},
}};

}  // namespace

int RunDb(const Args& args) {
    return RunSubcommandGroup("db",
                              "Creates, backs up and checks settings.accdb, the database of the\n"
                              "settings and trackers.",
                              kSubcommands, args);
}

}  // namespace velactl
