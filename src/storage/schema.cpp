#include "storage/schema.h"

#include <span>
#include <string>

namespace vela {

namespace {

// One step forward: the statements that turn version - 1 into `version`. Add a new
// step at the end; never change one that has shipped.
struct Migration {
    int version;
    std::span<const char* const> statements;
};

constexpr const char* kVersion1[] = {
    "CREATE TABLE IF NOT EXISTS \"History\" ("
    "\"ID\" INTEGER PRIMARY KEY, \"StartedAt\" TEXT NOT NULL, \"EndedAt\" TEXT NOT NULL, "
    "\"Kind\" TEXT NOT NULL, \"Tracker\" TEXT, \"Phone\" TEXT, \"ModemPort\" TEXT, "
    "\"ConfigFile\" TEXT, \"ConfigSha256\" TEXT, \"ImageBytes\" INTEGER, "
    "\"CallerAddress\" TEXT, \"CallerImei\" TEXT, \"AnswerBytes\" INTEGER, "
    "\"Verdict\" TEXT NOT NULL, \"Detail\" TEXT, \"CampaignId\" INTEGER)",
    "CREATE INDEX IF NOT EXISTS \"HistoryByTracker\" ON \"History\" (\"Tracker\")",
};

// The campaigns: what each was asked to do, and where each of its trackers stands.
constexpr const char* kVersion2[] = {
    "CREATE TABLE IF NOT EXISTS \"Campaigns\" ("
    "\"ID\" INTEGER PRIMARY KEY, \"CreatedAt\" TEXT NOT NULL, \"UpdatedAt\" TEXT, "
    "\"State\" TEXT NOT NULL, \"ConfigFile\" TEXT, \"ConfigSha256\" TEXT, "
    "\"ModemPorts\" TEXT, \"WaitSeconds\" INTEGER, \"Attempts\" INTEGER, \"Images\" TEXT, "
    "\"RunnerPid\" INTEGER)",
    "CREATE TABLE IF NOT EXISTS \"CampaignTrackers\" ("
    "\"ID\" INTEGER PRIMARY KEY, \"CampaignId\" INTEGER NOT NULL, \"Position\" INTEGER, "
    "\"Tracker\" TEXT NOT NULL, \"Phone\" TEXT, \"State\" TEXT NOT NULL, "
    "\"Attempts\" INTEGER, \"LastEvent\" TEXT, \"Detail\" TEXT, \"Verdict\" TEXT, "
    "\"WaitUntil\" INTEGER, \"ModemPort\" TEXT, \"CallerAddress\" TEXT, "
    "\"CallerImei\" TEXT, \"Answer\" TEXT, \"UpdatedAt\" TEXT, "
    "UNIQUE (\"CampaignId\", \"Tracker\"))",
    "CREATE INDEX IF NOT EXISTS \"HistoryByCampaign\" ON \"History\" (\"CampaignId\")",
};

// The stations of a campaign: who holds each tracker, and until when.
constexpr const char* kVersion3[] = {
    "ALTER TABLE \"CampaignTrackers\" ADD COLUMN \"Station\" TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE \"CampaignTrackers\" ADD COLUMN \"LeaseUntil\" INTEGER NOT NULL DEFAULT 0",
    "CREATE TABLE IF NOT EXISTS \"CampaignStations\" ("
    "\"ID\" INTEGER PRIMARY KEY, \"CampaignId\" INTEGER NOT NULL, \"Station\" TEXT NOT NULL, "
    "\"Address\" TEXT, \"JoinedAt\" TEXT, \"SeenUntil\" INTEGER NOT NULL DEFAULT 0, "
    "UNIQUE (\"CampaignId\", \"Station\"))",
};

// The station's options beyond the six columns of Settings (one row per option), what
// the network said of each SMS, and the index a campaign's summary reads by.
constexpr const char* kVersion4[] = {
    "CREATE TABLE IF NOT EXISTS \"Options\" ("
    "\"Name\" TEXT PRIMARY KEY, \"Value\" TEXT NOT NULL)",
    "ALTER TABLE \"History\" ADD COLUMN \"Delivery\" TEXT",
    "ALTER TABLE \"History\" ADD COLUMN \"DeliveredAt\" TEXT",
    "ALTER TABLE \"CampaignTrackers\" ADD COLUMN \"Delivery\" TEXT",
    "ALTER TABLE \"CampaignTrackers\" ADD COLUMN \"DeliveredAt\" TEXT",
    "ALTER TABLE \"CampaignTrackers\" ADD COLUMN \"MessageReference\" INTEGER",
    "CREATE INDEX IF NOT EXISTS \"CampaignTrackersByState\" ON \"CampaignTrackers\" "
    "(\"CampaignId\", \"State\")",
    // A campaign's rows in its order without a sort: status and claims read them so.
    "CREATE INDEX IF NOT EXISTS \"CampaignTrackersByPosition\" ON \"CampaignTrackers\" "
    "(\"CampaignId\", \"Position\")",
};

constexpr Migration kMigrations[] = {
    {1, kVersion1},
    {2, kVersion2},
    {3, kVersion3},
    {4, kVersion4},
};

}  // namespace

int LatestSchemaVersion() {
    return std::span(kMigrations).back().version;
}

Result<int> SchemaVersion(sqlite::Database& db) {
    Result<sqlite::Statement> query = db.prepare("PRAGMA user_version");
    if (!query) return query.status();
    Result<bool> row = query.value().step();
    if (!row) return row.status();
    if (!row.value()) return Result<int>::Fail("PRAGMA user_version gave no row");
    return static_cast<int>(query.value().columnInt(0));
}

Status MigrateSchema(sqlite::Database& db) {
    Result<int> current = SchemaVersion(db);
    if (!current) return current.status();
    for (const Migration& step : kMigrations) {
        if (step.version <= current.value()) continue;
        for (const char* statement : step.statements) {
            if (Status done = db.execute(statement); !done) {
                return Status::Fail("cannot bring the database to version " +
                                    std::to_string(step.version) + ": " + done.message());
            }
        }
        // A pragma takes no parameters; the number is our own constant.
        if (Status marked = db.execute("PRAGMA user_version = " + std::to_string(step.version));
            !marked) {
            return marked;
        }
    }
    return Status::Ok();
}

}  // namespace vela
