#include "storage/campaign_store.h"

#include <sqlite3.h>

#include "common/process_alive.h"

#include "storage/database_checks.h"
#include "storage/database_file.h"
#include "storage/schema.h"
#include "storage/table_rows.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

namespace vela {

namespace {

constexpr const char* kInsertCampaign =
    "INSERT INTO \"Campaigns\" (\"CreatedAt\", \"UpdatedAt\", \"State\", \"ConfigFile\", "
    "\"ConfigSha256\", \"ModemPorts\", \"WaitSeconds\", \"Attempts\", \"Images\", \"RunnerPid\") "
    "VALUES (?1, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, 0)";

// A database from before the stations has no such columns yet.
constexpr const char* kNoStationColumns = "'', 0";

constexpr const char* kUpsertTracker =
    "INSERT INTO \"CampaignTrackers\" (\"CampaignId\", \"Position\", \"Tracker\", \"Phone\", "
    "\"State\", \"Attempts\", \"LastEvent\", \"Detail\", \"Verdict\", \"WaitUntil\", "
    "\"ModemPort\", \"CallerAddress\", \"CallerImei\", \"Answer\", \"UpdatedAt\", \"Station\", "
    "\"Delivery\", \"DeliveredAt\", \"MessageReference\") "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19) "
    "ON CONFLICT (\"CampaignId\", \"Tracker\") DO UPDATE SET \"State\" = ?5, "
    "\"Attempts\" = ?6, \"LastEvent\" = ?7, \"Detail\" = ?8, \"Verdict\" = ?9, "
    "\"WaitUntil\" = ?10, \"ModemPort\" = ?11, \"CallerAddress\" = ?12, \"CallerImei\" = ?13, "
    "\"Answer\" = ?14, \"UpdatedAt\" = ?15, \"Station\" = ?16, \"Delivery\" = ?17, "
    "\"DeliveredAt\" = ?18, \"MessageReference\" = ?19";

constexpr const char* kUpdateCampaignState =
    "UPDATE \"Campaigns\" SET \"State\" = ?1, \"RunnerPid\" = ?2, \"UpdatedAt\" = ?3 "
    "WHERE \"ID\" = ?4";

Status bindAll(sqlite::Statement& statement,
               std::initializer_list<std::pair<int, std::string_view>> texts,
               std::initializer_list<std::pair<int, int64_t>> numbers) {
    for (const auto& [index, text] : texts) {
        if (Status bound = statement.bind(index, text); !bound) return bound;
    }
    for (const auto& [index, number] : numbers) {
        if (Status bound = statement.bind(index, number); !bound) return bound;
    }
    return Status::Ok();
}

Status runOnce(sqlite::Statement& statement) {
    Result<bool> stepped = statement.step();
    if (!stepped) return stepped.status();
    return statement.reset();
}

Status saveTracker(sqlite::Database& db, const CampaignTrackerRecord& t) {
    Result<sqlite::Statement> row = db.prepare(kUpsertTracker);
    if (!row) return row.status();
    if (Status bound =
            bindAll(row.value(),
                    {{3, t.tracker},
                     {4, t.phone},
                     {5, t.state},
                     {7, t.lastEvent},
                     {8, t.detail},
                     {9, t.verdict},
                     {11, t.modemPort},
                     {12, t.callerAddress},
                     {13, t.callerImei},
                     {14, t.answer},
                     {15, t.updatedAt},
                     {16, t.station},
                     {17, t.delivery},
                     {18, t.deliveredAt}},
                    {{1, t.campaignId}, {2, t.position}, {6, t.attempts}, {10, t.waitUntilMs}});
        !bound)
        return bound;
    // Left unbound, the reference is NULL.
    if (t.messageReference) {
        if (Status bound = row.value().bind(19, *t.messageReference); !bound) return bound;
    }
    return runOnce(row.value());
}

CampaignRecord readCampaign(const sqlite::Statement& row) {
    CampaignRecord c;
    c.id = row.columnInt(0);
    c.createdAt = row.columnText(1);
    c.updatedAt = row.columnText(2);
    c.state = row.columnText(3);
    c.configFile = row.columnText(4);
    c.configSha256 = row.columnText(5);
    c.modemPorts = ModemPortsFromText(row.columnText(6));
    c.waitSeconds = row.columnInt(7);
    c.attempts = row.columnInt(8);
    c.images = row.columnText(9);
    c.runnerPid = row.columnInt(10);
    c.total = row.columnInt(11);
    c.configured = row.columnInt(12);
    c.failed = row.columnInt(13);
    return c;
}

CampaignTrackerRecord readTracker(const sqlite::Statement& row) {
    CampaignTrackerRecord t;
    t.campaignId = row.columnInt(0);
    t.position = row.columnInt(1);
    t.tracker = row.columnText(2);
    t.phone = row.columnText(3);
    t.state = row.columnText(4);
    t.attempts = row.columnInt(5);
    t.lastEvent = row.columnText(6);
    t.detail = row.columnText(7);
    t.verdict = row.columnText(8);
    t.waitUntilMs = row.columnInt(9);
    t.modemPort = row.columnText(10);
    t.callerAddress = row.columnText(11);
    t.callerImei = row.columnText(12);
    t.answer = row.columnText(13);
    t.updatedAt = row.columnText(14);
    t.station = row.columnText(15);
    t.leaseUntilMs = row.columnInt(16);
    t.delivery = row.columnText(17);
    t.deliveredAt = row.columnText(18);
    t.messageReference = MessageReferenceFromText(row.columnText(19));
    return t;
}

// The schema version of `db` when it has the campaign tables; 0 for an older database,
// which has no campaign yet.
Result<int> campaignTablesVersion(sqlite::Database& db) {
    Result<int> version = SchemaVersion(db);
    if (!version) return version;
    return version.value() < kCampaignSchemaVersion ? 0 : version.value();
}

// Reads through a connection of its own. A file that does not exist, or one from before
// the campaign tables, has no campaign: `read` is not called, and nothing is an error.
Status readCampaignTables(const std::filesystem::path& directory,
                          const std::function<Status(sqlite::Database&, int)>& read) {
    const std::filesystem::path file = databaseFile(directory);
    std::error_code missing;
    if (!std::filesystem::exists(file, missing) && !missing) return Status::Ok();
    return readDatabase(file, [&](sqlite::Database& db) -> Status {
        Result<int> version = campaignTablesVersion(db);
        if (!version) return version.status();
        return version.value() == 0 ? Status::Ok() : read(db, version.value());
    });
}

std::string trackerQuery(int version, const char* where) {
    return std::string("SELECT ") + kCampaignTrackerColumns +
           (version >= kCampaignStationsSchemaVersion ? kCampaignStationColumns
                                                      : kNoStationColumns) +
           (version >= kCampaignDeliverySchemaVersion ? kCampaignDeliveryColumns
                                                      : kNoCampaignDeliveryColumns) +
           " FROM \"CampaignTrackers\" " + where + " ORDER BY \"CampaignId\", \"Position\"";
}

// Steps through `statement`, handing each row to `take`.
Status eachRow(sqlite::Statement& statement, const std::function<void(sqlite::Statement&)>& take) {
    for (;;) {
        Result<bool> stepped = statement.step();
        if (!stepped) return stepped.status();
        if (!stepped.value()) return Status::Ok();
        take(statement);
    }
}

// Runs `sql` (with the campaign's ID bound as ?1 when there is one) and hands each row
// to `take`.
Status queryRows(sqlite::Database& db, const std::string& sql, std::optional<int64_t> id,
                 const std::function<void(sqlite::Statement&)>& take) {
    Result<sqlite::Statement> row = db.prepare(sql);
    if (!row) return row.status();
    if (id) {
        if (Status bound = row.value().bind(1, *id); !bound) return bound;
    }
    return eachRow(row.value(), take);
}

Status selectCampaigns(sqlite::Database& db, std::optional<int64_t> id, const char* order,
                       std::vector<CampaignRecord>& out) {
    return queryRows(db, std::string(kCampaignSelect) + (id ? "WHERE c.\"ID\" = ?1 " : "") + order,
                     id, [&](sqlite::Statement& r) { out.push_back(readCampaign(r)); });
}

Status selectTrackers(sqlite::Database& db, int version, std::optional<int64_t> id,
                      std::vector<CampaignTrackerRecord>& out) {
    return queryRows(db, trackerQuery(version, id ? "WHERE \"CampaignId\" = ?1" : ""), id,
                     [&](sqlite::Statement& r) { out.push_back(readTracker(r)); });
}

Status selectStations(sqlite::Database& db, int version, std::optional<int64_t> id,
                      std::vector<CampaignStationRecord>& out) {
    if (version < kCampaignStationsSchemaVersion) return Status::Ok();
    const std::string sql = std::string(
                                "SELECT \"CampaignId\", \"Station\", \"Address\", \"JoinedAt\", "
                                "\"SeenUntil\" FROM \"CampaignStations\" ") +
                            (id ? "WHERE \"CampaignId\" = ?1 " : "") +
                            "ORDER BY \"CampaignId\", \"ID\"";
    return queryRows(db, sql, id, [&](sqlite::Statement& r) {
        CampaignStationRecord station;
        station.campaignId = r.columnInt(0);
        station.name = r.columnText(1);
        station.address = r.columnText(2);
        station.joinedAt = r.columnText(3);
        station.seenUntilMs = r.columnInt(4);
        station.live = station.seenUntilMs != 0;
        out.push_back(std::move(station));
    });
}

constexpr const char* kOpenCount =
    "SELECT count(*) FROM \"CampaignTrackers\" WHERE \"CampaignId\" = ?1 "
    "AND \"State\" NOT IN ('configured', 'failed')";

}  // namespace

CampaignStore::CampaignStore(std::filesystem::path workingDirectory)
    : workingDirectory_(std::move(workingDirectory)) {}

Result<int64_t> CampaignStore::create(const CampaignRecord& campaign,
                                      const std::vector<CampaignTrackerRecord>& trackers) const {
    int64_t id = 0;
    Status written = writeDatabase(databaseFile(workingDirectory_), [&](sqlite::Database& db) {
        if (Status migrated = MigrateSchema(db); !migrated) return migrated;
        Result<sqlite::Statement> row = db.prepare(kInsertCampaign);
        if (!row) return row.status();
        const std::string ports = ModemPortsText(campaign.modemPorts);
        if (Status bound = bindAll(row.value(),
                                   {{1, campaign.createdAt},
                                    {2, campaign.state},
                                    {3, campaign.configFile},
                                    {4, campaign.configSha256},
                                    {5, ports},
                                    {8, campaign.images}},
                                   {{6, campaign.waitSeconds}, {7, campaign.attempts}});
            !bound)
            return bound;
        if (Status done = runOnce(row.value()); !done) return done;
        Result<sqlite::Statement> last = db.prepare("SELECT last_insert_rowid()");
        if (!last) return last.status();
        if (Result<bool> stepped = last.value().step(); !stepped) return stepped.status();
        id = last.value().columnInt(0);
        for (CampaignTrackerRecord tracker : trackers) {
            tracker.campaignId = id;
            if (Status saved = saveTracker(db, tracker); !saved) return saved;
        }
        return Status::Ok();
    });
    if (!written) return written;
    return id;
}

Result<CampaignRecord> CampaignStore::campaign(int64_t id) const {
    std::vector<CampaignRecord> found;
    Status read = readCampaignTables(workingDirectory_, [&](sqlite::Database& db, int) {
        return selectCampaigns(db, id, "", found);
    });
    if (!read) return read;
    if (found.empty())
        return Result<CampaignRecord>::Fail(NoSuchCampaign(id), StatusCode::NotFound);
    return found.front();
}

Result<std::vector<CampaignRecord>> CampaignStore::list() const {
    std::vector<CampaignRecord> campaigns;
    Status read = readCampaignTables(workingDirectory_, [&](sqlite::Database& db, int) {
        return selectCampaigns(db, std::nullopt, "ORDER BY c.\"ID\" DESC", campaigns);
    });
    if (!read) return read;
    return campaigns;
}

Result<std::vector<CampaignTrackerRecord>> CampaignStore::trackers(int64_t id) const {
    std::vector<CampaignTrackerRecord> rows;
    Status read = readCampaignTables(workingDirectory_, [&](sqlite::Database& db, int version) {
        return selectTrackers(db, version, id, rows);
    });
    if (!read) return read;
    return rows;
}

Result<CampaignStorage::PruneCounts> CampaignStore::prune(
    const std::optional<std::string>& historyBefore,
    const std::optional<std::string>& campaignsBefore) const {
    PruneCounts counts;
    Status pruned = writeDatabase(databaseFile(workingDirectory_), [&](sqlite::Database& db) {
        if (Status migrated = MigrateSchema(db); !migrated) return migrated;
        auto run = [&](const char* sql, const std::string& before, int64_t* deleted) -> Status {
            Result<sqlite::Statement> statement = db.prepare(sql);
            if (!statement) return statement.status();
            if (Status bound = bindAll(statement.value(), {{1, before}}, {}); !bound) return bound;
            if (Status done = runOnce(statement.value()); !done) return done;
            if (deleted != nullptr) *deleted = sqlite3_changes64(db.handle());
            return Status::Ok();
        };
        if (historyBefore) {
            if (Status done = run(kPruneHistory, *historyBefore, &counts.historyRows); !done)
                return done;
        }
        if (campaignsBefore) {
            for (const auto& [sql, deleted] :
                 {std::pair{kPruneCampaignTrackers, &counts.campaignTrackers},
                  std::pair{kPruneCampaignStations, static_cast<int64_t*>(nullptr)},
                  std::pair{kPruneCampaigns, &counts.campaigns}}) {
                if (Status done = run(sql, *campaignsBefore, deleted); !done) return done;
            }
        }
        return Status::Ok();
    });
    if (!pruned) return pruned;
    return counts;
}

Status CampaignStore::eachTracker(
    int64_t id, const std::function<void(const CampaignTrackerRecord&)>& take) const {
    return readCampaignTables(workingDirectory_, [&](sqlite::Database& db, int version) {
        return queryRows(db, trackerQuery(version, "WHERE \"CampaignId\" = ?1"), id,
                         [&](sqlite::Statement& r) { take(readTracker(r)); });
    });
}

namespace {

// The one station of a campaign in settings.accdb saves everything it is given.
class SqliteCampaignWriter final : public CampaignWriter {
public:
    SqliteCampaignWriter(sqlite::Database db, std::string station)
        : db_(std::move(db)), station_(std::move(station)) {}

    Result<std::vector<std::size_t>> save(const std::vector<CampaignChange>& changes) override {
        Result<sqlite::Transaction> transaction = sqlite::Transaction::begin(db_);
        if (!transaction) return transaction.status();
        const std::string now = HistoryTimestamp();
        for (const CampaignChange& change : changes) {
            if (change.tracker) {
                CampaignTrackerRecord row = *change.tracker;
                row.station = station_;
                if (Status saved = saveTracker(db_, row); !saved) return saved;
            }
            if (change.history) {
                if (Status saved = InsertHistoryRows(db_, {*change.history}); !saved) return saved;
            }
            if (change.campaignState) {
                Result<sqlite::Statement> row = db_.prepare(kUpdateCampaignState);
                if (!row) return row.status();
                if (Status bound = bindAll(row.value(), {{1, *change.campaignState}, {3, now}},
                                           {{2, change.runnerPid}, {4, change.campaignId}});
                    !bound)
                    return bound;
                if (Status done = runOnce(row.value()); !done) return done;
            }
        }
        if (Status committed = transaction.value().commit(); !committed) return committed;
        return std::vector<std::size_t>{};
    }

private:
    sqlite::Database db_;
    std::string station_;
};

// Everything open is this station's at once; the process kept in the campaign's row
// keeps a second one away, and a tracker that another live process's campaign holds
// without a verdict is left for later.
class SqliteCampaignClaims final : public CampaignClaims {
public:
    SqliteCampaignClaims(std::filesystem::path directory, int64_t id, CampaignStationInfo station)
        : directory_(std::move(directory)), id_(id), station_(std::move(station)) {}

    Result<std::vector<CampaignTrackerRecord>> claim(int limit) override {
        std::vector<CampaignTrackerRecord> claimed;
        // One write transaction: taking the campaign and its trackers is one step, so two
        // processes starting at once cannot both take them.
        Status taken = writeDatabase(databaseFile(directory_), [&](sqlite::Database& db) {
            Result<int> version = campaignTablesVersion(db);
            if (!version) return version.status();
            if (Status mine = takeCampaign(db); !mine) return mine;
            Result<std::map<std::string, int64_t>> busy = busyTrackers(db);
            if (!busy) return busy.status();
            elsewhere_.clear();
            // Row by row: a fleet's whole table is never held here at once, only what
            // is taken.
            bool full = false;
            return queryRows(db, trackerQuery(version.value(), "WHERE \"CampaignId\" = ?1"), id_,
                             [&](sqlite::Statement& r) {
                                 if (full) return;
                                 const std::string state = r.columnText(4);
                                 if (state == "configured" || state == "failed") return;
                                 std::string tracker = r.columnText(2);
                                 if (const auto other = busy.value().find(tracker);
                                     other != busy.value().end()) {
                                     elsewhere_.push_back(tracker + " (campaign " +
                                                          std::to_string(other->second) + ")");
                                     return;
                                 }
                                 if (static_cast<int>(claimed.size()) >= limit) {
                                     full = true;
                                     return;
                                 }
                                 if (held_.insert(std::move(tracker)).second)
                                     claimed.push_back(readTracker(r));
                             });
        });
        if (!taken) return taken;
        return claimed;
    }

    Result<int64_t> renew() override { return static_cast<int64_t>(held_.size()); }

    Result<int64_t> openCount() override {
        int64_t open = 0;
        Status read = readCampaignTables(directory_, [&](sqlite::Database& db, int) {
            Result<sqlite::Statement> row = db.prepare(kOpenCount);
            if (!row) return row.status();
            if (Status bound = row.value().bind(1, id_); !bound) return bound;
            Result<bool> stepped = row.value().step();
            if (!stepped) return stepped.status();
            open = row.value().columnInt(0);
            return Status::Ok();
        });
        if (!read) return read;
        return open;
    }

    Result<std::vector<std::string>> heldElsewhere() override { return elsewhere_; }

    Status leave() override {
        Result<int64_t> open = openCount();
        if (!open) return open.status();
        return writeDatabase(databaseFile(directory_), [&](sqlite::Database& db) {
            Result<sqlite::Statement> row = db.prepare(
                "UPDATE \"Campaigns\" SET \"State\" = ?1, \"RunnerPid\" = 0, "
                "\"UpdatedAt\" = ?2 WHERE \"ID\" = ?3");
            if (!row) return row.status();
            const char* state = open.value() > 0 ? kCampaignInterrupted : kCampaignFinished;
            if (Status bound =
                    bindAll(row.value(), {{1, state}, {2, HistoryTimestamp()}}, {{3, id_}});
                !bound)
                return bound;
            if (Status done = runOnce(row.value()); !done) return done;
            Result<sqlite::Statement> left = db.prepare(
                "UPDATE \"CampaignStations\" SET \"SeenUntil\" = 0 "
                "WHERE \"CampaignId\" = ?1 AND \"Station\" = ?2");
            if (!left) return left.status();
            if (Status bound = bindAll(left.value(), {{2, station_.name}}, {{1, id_}}); !bound)
                return bound;
            return runOnce(left.value());
        });
    }

private:
    // Marks the campaign as run by this process, unless another live one runs it.
    Status takeCampaign(sqlite::Database& db) {
        std::vector<CampaignRecord> found;
        if (Status read = selectCampaigns(db, id_, "", found); !read) return read;
        if (found.empty()) return Status::NotFound(NoSuchCampaign(id_));
        const CampaignRecord& campaign = found.front();
        if (campaign.state == kCampaignRunning && OtherProcessAlive(campaign.runnerPid)) {
            return Status::Refused("campaign " + std::to_string(id_) + " is being run by process " +
                                   std::to_string(campaign.runnerPid));
        }
        Result<sqlite::Statement> row = db.prepare(kUpdateCampaignState);
        if (!row) return row.status();
        if (Status bound = bindAll(row.value(), {{1, kCampaignRunning}, {3, HistoryTimestamp()}},
                                   {{2, ::getpid()}, {4, id_}});
            !bound)
            return bound;
        return runOnce(row.value());
    }

    // The trackers without a verdict in the other campaigns that a live process runs.
    Result<std::map<std::string, int64_t>> busyTrackers(sqlite::Database& db) {
        std::vector<CampaignRecord> campaigns;
        if (Status read = selectCampaigns(db, std::nullopt, "", campaigns); !read) return read;
        std::map<std::string, int64_t> busy;
        for (const CampaignRecord& other : campaigns) {
            // This process's other campaigns count too.
            const bool live = other.runnerPid == ::getpid() || OtherProcessAlive(other.runnerPid);
            if (other.id == id_ || other.state != kCampaignRunning || !live) {
                continue;
            }
            Result<int> version = campaignTablesVersion(db);
            if (!version) return version.status();
            std::vector<CampaignTrackerRecord> rows;
            if (Status read = selectTrackers(db, version.value(), other.id, rows); !read)
                return read;
            for (const CampaignTrackerRecord& row : rows) {
                if (row.state != "configured" && row.state != "failed")
                    busy.emplace(row.tracker, other.id);
            }
        }
        return busy;
    }

    std::filesystem::path directory_;
    int64_t id_;
    CampaignStationInfo station_;
    std::set<std::string> held_;
    std::vector<std::string> elsewhere_;
};

}  // namespace

std::string CampaignStore::location() const {
    return databaseFile(workingDirectory_).string();
}

Result<std::vector<CampaignStationRecord>> CampaignStore::stations(int64_t id) const {
    std::vector<CampaignStationRecord> rows;
    Status read = readCampaignTables(workingDirectory_, [&](sqlite::Database& db, int version) {
        return selectStations(db, version, id, rows);
    });
    if (!read) return read;
    return rows;
}

Status ReadCampaignRows(sqlite::Database& db, std::vector<CampaignRecord>& campaigns,
                        std::vector<CampaignTrackerRecord>& trackers,
                        std::vector<CampaignStationRecord>& stations) {
    Result<int> version = campaignTablesVersion(db);
    if (!version) return version.status();
    if (version.value() == 0) return Status::Ok();
    if (Status read = selectCampaigns(db, std::nullopt, "ORDER BY c.\"ID\"", campaigns); !read)
        return read;
    if (Status read = selectTrackers(db, version.value(), std::nullopt, trackers); !read)
        return read;
    return selectStations(db, version.value(), std::nullopt, stations);
}

Result<std::unique_ptr<CampaignWriter>> CampaignStore::openWriter(
    int64_t, const CampaignStationInfo& station, std::chrono::milliseconds) const {
    // The writer's connection is checked as every other is before use.
    const std::filesystem::path file = databaseFile(workingDirectory_);
    if (Status regular = CheckRegularFile(file); !regular) return regular;
    Result<sqlite::Database> db = sqlite::Database::open(file);
    if (!db) return db.status();
    if (Status shaped = CheckSchema(db.value()); !shaped) return shaped;
    return std::unique_ptr<CampaignWriter>(
        std::make_unique<SqliteCampaignWriter>(std::move(db).value(), station.name));
}

Result<std::unique_ptr<CampaignClaims>> CampaignStore::openClaims(
    int64_t id, const CampaignStationInfo& station, std::chrono::milliseconds) const {
    // The station is recorded for the status; SeenUntil only says whether it is running.
    Status joined = writeDatabase(databaseFile(workingDirectory_), [&](sqlite::Database& db) {
        if (Status migrated = MigrateSchema(db); !migrated) return migrated;
        Result<sqlite::Statement> row = db.prepare(
            "INSERT INTO \"CampaignStations\" (\"CampaignId\", \"Station\", \"Address\", "
            "\"JoinedAt\", \"SeenUntil\") VALUES (?1, ?2, ?3, ?4, 1) "
            "ON CONFLICT (\"CampaignId\", \"Station\") DO UPDATE SET \"Address\" = ?3, "
            "\"SeenUntil\" = 1");
        if (!row) return row.status();
        if (Status bound = bindAll(
                row.value(), {{2, station.name}, {3, station.address}, {4, HistoryTimestamp()}},
                {{1, id}});
            !bound)
            return bound;
        return runOnce(row.value());
    });
    if (!joined) return joined;
    return std::unique_ptr<CampaignClaims>(
        std::make_unique<SqliteCampaignClaims>(workingDirectory_, id, station));
}

Status ReplaceCampaignRows(sqlite::Database& db, const std::vector<CampaignRecord>& campaigns,
                           const std::vector<CampaignTrackerRecord>& trackers,
                           const std::vector<CampaignStationRecord>& stations) {
    for (const char* table : {"CampaignStations", "CampaignTrackers", "Campaigns"}) {
        if (Status cleared = db.execute("DELETE FROM \"" + std::string(table) + "\""); !cleared) {
            return cleared;
        }
    }
    for (const CampaignRecord& c : campaigns) {
        Result<sqlite::Statement> row = db.prepare(
            "INSERT INTO \"Campaigns\" (\"ID\", \"CreatedAt\", \"UpdatedAt\", \"State\", "
            "\"ConfigFile\", \"ConfigSha256\", \"ModemPorts\", \"WaitSeconds\", \"Attempts\", "
            "\"Images\", \"RunnerPid\") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
        if (!row) return row.status();
        const std::string ports = ModemPortsText(c.modemPorts);
        if (Status bound =
                bindAll(row.value(),
                        {{2, c.createdAt},
                         {3, c.updatedAt},
                         {4, c.state},
                         {5, c.configFile},
                         {6, c.configSha256},
                         {7, ports},
                         {10, c.images}},
                        {{1, c.id}, {8, c.waitSeconds}, {9, c.attempts}, {11, c.runnerPid}});
            !bound)
            return bound;
        if (Status done = runOnce(row.value()); !done) return done;
    }
    for (const CampaignTrackerRecord& t : trackers) {
        if (Status saved = saveTracker(db, t); !saved) return saved;
        Result<sqlite::Statement> lease = db.prepare(
            "UPDATE \"CampaignTrackers\" SET \"LeaseUntil\" = ?1 WHERE \"CampaignId\" = ?2 "
            "AND \"Tracker\" = ?3");
        if (!lease) return lease.status();
        if (Status bound =
                bindAll(lease.value(), {{3, t.tracker}}, {{1, t.leaseUntilMs}, {2, t.campaignId}});
            !bound)
            return bound;
        if (Status done = runOnce(lease.value()); !done) return done;
    }
    for (const CampaignStationRecord& station : stations) {
        Result<sqlite::Statement> row = db.prepare(
            "INSERT INTO \"CampaignStations\" (\"CampaignId\", \"Station\", \"Address\", "
            "\"JoinedAt\", \"SeenUntil\") VALUES (?1, ?2, ?3, ?4, ?5)");
        if (!row) return row.status();
        if (Status bound = bindAll(row.value(),
                                   {{2, station.name}, {3, station.address}, {4, station.joinedAt}},
                                   {{1, station.campaignId}, {5, station.seenUntilMs}});
            !bound)
            return bound;
        if (Status done = runOnce(row.value()); !done) return done;
    }
    return Status::Ok();
}

}  // namespace vela
