#include "storage/pg/pg_campaign_storage.h"

#include "storage/pg/connection.h"
#include "storage/pg/pg_schema.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

namespace vela {

namespace {

using pg::Connection;
using pg::Parameter;
using pg::QueryResult;

// Unix time in ms by the database's clock: the one clock every station shares.
#define VELA_DATABASE_NOW_MS "(extract(epoch from clock_timestamp()) * 1000)::bigint"

// Every tracker column, the station's included.
const std::string kTrackerColumns =
    std::string(kCampaignTrackerColumns) + kCampaignStationColumns + kCampaignDeliveryColumns;
constexpr int kTrackerColumnCount = 20;
// Rows per INSERT: fewer round trips, far below the limit of 65535 parameters.
constexpr size_t kTrackersPerInsert = 200;

constexpr const char* kFinalStates = "('configured', 'failed')";

// Reads the columns of one row; the first value that is not a number is kept as the
// reason and the rest read as 0.
class RowReader {
public:
    RowReader(const QueryResult& rows, int row) : rows_(rows), row_(row) {}
    std::string text(int column) const { return rows_.text(row_, column); }
    int64_t number(int column) {
        Result<int64_t> value = rows_.integer(row_, column);
        if (!value) {
            if (failure_.ok()) failure_ = value.status();
            return 0;
        }
        return value.value();
    }
    const Status& status() const { return failure_; }

private:
    const QueryResult& rows_;
    int row_;
    Status failure_ = Status::Ok();
};

Result<std::vector<CampaignRecord>> readCampaigns(const QueryResult& rows) {
    std::vector<CampaignRecord> campaigns;
    for (int row = 0; row < rows.rows(); ++row) {
        RowReader r(rows, row);
        CampaignRecord c;
        c.id = r.number(0);
        c.createdAt = r.text(1);
        c.updatedAt = r.text(2);
        c.state = r.text(3);
        c.configFile = r.text(4);
        c.configSha256 = r.text(5);
        c.modemPorts = ModemPortsFromText(r.text(6));
        c.waitSeconds = r.number(7);
        c.attempts = r.number(8);
        c.images = r.text(9);
        c.runnerPid = r.number(10);
        c.total = r.number(11);
        c.configured = r.number(12);
        c.failed = r.number(13);
        if (!r.status()) return r.status();
        campaigns.push_back(std::move(c));
    }
    return campaigns;
}

// The rows come in the campaign's order whatever order the statement gave them.
// The message reference as a parameter: NULL when there is none.
Parameter referenceOf(const CampaignTrackerRecord& t) {
    return t.messageReference ? Parameter(*t.messageReference) : Parameter::null();
}

Result<std::vector<CampaignTrackerRecord>> readTrackers(const QueryResult& rows) {
    std::vector<CampaignTrackerRecord> trackers;
    for (int row = 0; row < rows.rows(); ++row) {
        RowReader r(rows, row);
        CampaignTrackerRecord t;
        t.campaignId = r.number(0);
        t.position = r.number(1);
        t.tracker = r.text(2);
        t.phone = r.text(3);
        t.state = r.text(4);
        t.attempts = r.number(5);
        t.lastEvent = r.text(6);
        t.detail = r.text(7);
        t.verdict = r.text(8);
        t.waitUntilMs = r.number(9);
        t.modemPort = r.text(10);
        t.callerAddress = r.text(11);
        t.callerImei = r.text(12);
        t.answer = r.text(13);
        t.updatedAt = r.text(14);
        t.station = r.text(15);
        t.leaseUntilMs = r.number(16);
        t.delivery = r.text(17);
        t.deliveredAt = r.text(18);
        t.messageReference = MessageReferenceFromText(r.text(19));
        if (!r.status()) return r.status();
        trackers.push_back(std::move(t));
    }
    std::stable_sort(trackers.begin(), trackers.end(),
                     [](const CampaignTrackerRecord& a, const CampaignTrackerRecord& b) {
                         return a.campaignId != b.campaignId ? a.campaignId < b.campaignId
                                                             : a.position < b.position;
                     });
    return trackers;
}

// Name, address, joined, seen until, live.
Result<std::vector<CampaignStationRecord>> readStations(const QueryResult& rows) {
    std::vector<CampaignStationRecord> stations;
    for (int row = 0; row < rows.rows(); ++row) {
        RowReader r(rows, row);
        CampaignStationRecord s;
        s.campaignId = r.number(0);
        s.name = r.text(1);
        s.address = r.text(2);
        s.joinedAt = r.text(3);
        s.seenUntilMs = r.number(4);
        s.live = r.text(5) == "t";
        if (!r.status()) return r.status();
        stations.push_back(std::move(s));
    }
    return stations;
}

constexpr const char* kStationColumns =
    "SELECT \"CampaignId\", \"Station\", \"Address\", \"JoinedAt\", \"SeenUntil\", "
    "\"SeenUntil\" > " VELA_DATABASE_NOW_MS " FROM \"CampaignStations\" ";

// Inserts tracker rows as they are, station and lease included, in batches.
Status insertTrackers(Connection& connection, const std::vector<CampaignTrackerRecord>& trackers,
                      std::optional<int64_t> campaignId) {
    for (size_t first = 0; first < trackers.size(); first += kTrackersPerInsert) {
        const size_t end = std::min(trackers.size(), first + kTrackersPerInsert);
        std::string sql =
            std::string("INSERT INTO \"CampaignTrackers\" (") + kTrackerColumns + ") VALUES ";
        std::vector<Parameter> parameters;
        parameters.reserve((end - first) * kTrackerColumnCount);
        for (size_t i = first; i < end; ++i) {
            const CampaignTrackerRecord& t = trackers[i];
            sql += i == first ? "(" : ", (";
            for (int column = 1; column <= kTrackerColumnCount; ++column) {
                sql += (column == 1 ? "$" : ", $") +
                       std::to_string(static_cast<int>(parameters.size()) + column);
            }
            sql += ")";
            for (Parameter parameter : {Parameter(campaignId.value_or(t.campaignId)),
                                        Parameter(t.position),
                                        Parameter(t.tracker),
                                        Parameter(t.phone),
                                        Parameter(t.state),
                                        Parameter(t.attempts),
                                        Parameter(t.lastEvent),
                                        Parameter(t.detail),
                                        Parameter(t.verdict),
                                        Parameter(t.waitUntilMs),
                                        Parameter(t.modemPort),
                                        Parameter(t.callerAddress),
                                        Parameter(t.callerImei),
                                        Parameter(t.answer),
                                        Parameter(t.updatedAt),
                                        Parameter(t.station),
                                        Parameter(t.leaseUntilMs),
                                        Parameter(t.delivery),
                                        Parameter(t.deliveredAt),
                                        referenceOf(t)}) {
                parameters.push_back(std::move(parameter));
            }
        }
        if (Result<QueryResult> inserted = connection.execute(sql, parameters); !inserted) {
            return inserted.status();
        }
    }
    return Status::Ok();
}

Result<Connection> connect(const std::string& url) {
    Result<Connection> connection = Connection::open(url);
    if (!connection) return connection;
    if (Status migrated = pg::MigrateSchema(connection.value()); !migrated) return migrated;
    return connection;
}

// One connection kept for many statements: opened on first use and again after it
// broke (the server restarted, the network dropped it). `onOpen` runs on every connection
// opened anew; when it fails, the connection is not used and the next call tries again.
class KeptConnection {
public:
    explicit KeptConnection(std::string url, std::optional<Connection> first = std::nullopt,
                            std::function<Status(Connection&)> onOpen = {})
        : url_(std::move(url)), connection_(std::move(first)), onOpen_(std::move(onOpen)) {}

    Result<Connection*> get() {
        if (connection_ && connection_->isBroken()) connection_.reset();
        if (!connection_) {
            Result<Connection> opened = connect(url_);
            if (!opened) return opened.status();
            if (onOpen_) {
                if (Status ready = onOpen_(opened.value()); !ready) return ready;
            }
            connection_ = std::move(opened).value();
        }
        return &*connection_;
    }
    // After a failure: a broken connection is dropped so that the next call opens anew.
    void forgetIfBroken() {
        if (connection_ && connection_->isBroken()) connection_.reset();
    }

private:
    std::string url_;
    std::optional<Connection> connection_;
    std::function<Status(Connection&)> onOpen_;
};

// A station holds this session lock on its claims connection while it lives. The server
// lets go of it the moment the process dies, so a station restarted under the same name
// after a kill is let in at once, while a live one of that name keeps it out.
Result<bool> lockStationName(Connection& connection, int64_t id, const std::string& name) {
    Result<QueryResult> locked = connection.execute(
        "SELECT pg_try_advisory_lock(hashtext('vela station ' || $1::text || ' ' || $2))",
        {id, name});
    if (!locked) return locked.status();
    return locked.value().text(0, 0) == "t";
}

constexpr const char* kUpdateHeldTracker =
    "UPDATE \"CampaignTrackers\" SET \"Position\" = $4, \"Phone\" = $5, \"State\" = $6, "
    "\"Attempts\" = $7, \"LastEvent\" = $8, \"Detail\" = $9, \"Verdict\" = $10, "
    "\"WaitUntil\" = $11, \"ModemPort\" = $12, \"CallerAddress\" = $13, \"CallerImei\" = $14, "
    "\"Answer\" = $15, \"UpdatedAt\" = $16, \"Delivery\" = $18, \"DeliveredAt\" = $19, "
    "\"MessageReference\" = $20::integer, "
    "\"LeaseUntil\" = " VELA_DATABASE_NOW_MS
    " + $17::bigint "
    "WHERE \"CampaignId\" = $1 AND \"Tracker\" = $2 AND \"Station\" = $3";

// A station's changes; a tracker row is written only while the station holds it.
class PgCampaignWriter final : public CampaignWriter {
public:
    PgCampaignWriter(std::string url, int64_t id, std::string station,
                     std::chrono::milliseconds lease)
        : connection_(std::move(url)), id_(id), station_(std::move(station)), lease_(lease) {}

    Result<std::vector<std::size_t>> save(const std::vector<CampaignChange>& changes) override {
        std::vector<std::size_t> refused;
        Status saved = saveAll(changes, refused);
        if (!saved) {
            connection_.forgetIfBroken();
            return saved;
        }
        return refused;
    }

private:
    Status saveAll(const std::vector<CampaignChange>& changes, std::vector<std::size_t>& refused) {
        Result<Connection*> opened = connection_.get();
        if (!opened) return opened.status();
        Connection& connection = *opened.value();
        Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
        if (!transaction) return transaction.status();
        const std::string now = HistoryTimestamp();
        const int64_t lease = static_cast<int64_t>(lease_.count());
        for (std::size_t index = 0; index < changes.size(); ++index) {
            const CampaignChange& change = changes[index];
            if (change.tracker) {
                const CampaignTrackerRecord& t = *change.tracker;
                Result<QueryResult> updated = connection.execute(
                    kUpdateHeldTracker,
                    {id_,           t.tracker,   station_,        t.position,    t.phone,
                     t.state,       t.attempts,  t.lastEvent,     t.detail,      t.verdict,
                     t.waitUntilMs, t.modemPort, t.callerAddress, t.callerImei,  t.answer,
                     t.updatedAt,   lease,       t.delivery,      t.deliveredAt, referenceOf(t)});
                if (!updated) return updated.status();
                if (updated.value().affectedRows() == 0) {
                    // Another station holds it now: its outcome is that station's to write.
                    refused.push_back(index);
                    continue;
                }
            }
            if (change.history) {
                if (Status written = pg::InsertHistoryRow(connection, *change.history); !written)
                    return written;
            }
            if (change.campaignState) {
                Result<QueryResult> updated = connection.execute(
                    "UPDATE \"Campaigns\" SET \"State\" = $1, \"RunnerPid\" = $2, "
                    "\"UpdatedAt\" = $3 WHERE \"ID\" = $4",
                    {*change.campaignState, change.runnerPid, now, change.campaignId});
                if (!updated) return updated.status();
            }
        }
        return transaction.value().commit();
    }

    KeptConnection connection_;
    int64_t id_;
    std::string station_;
    std::chrono::milliseconds lease_;
};

// Rows that no live station holds, taken in the campaign's order. SKIP LOCKED lets two
// stations claim at the same moment without waiting for each other or taking the same
// row: a row another station is taking right now is simply passed over.
// A tracker that another campaign's live station holds without a verdict: configured
// by one campaign at a time.
#define VELA_HELD_ELSEWHERE(t)                                                              \
    "EXISTS (SELECT 1 FROM \"CampaignTrackers\" o WHERE o.\"Tracker\" = " t                 \
    ".\"Tracker\" AND o.\"CampaignId\" <> " t                                               \
    ".\"CampaignId\" AND o.\"State\" NOT IN ('configured', 'failed') AND o.\"Station\" <> " \
    "'' AND o.\"LeaseUntil\" >= " VELA_DATABASE_NOW_MS ")"

constexpr const char* kClaim =
    "WITH picked AS (SELECT \"ID\" FROM \"CampaignTrackers\" t "
    "WHERE \"CampaignId\" = $1 AND \"State\" NOT IN ('configured', 'failed') "
    "AND (\"Station\" = '' "
    "OR (\"Station\" <> $2 AND \"LeaseUntil\" < " VELA_DATABASE_NOW_MS
    ") "
    "OR ($3::boolean AND \"Station\" = $2)) AND NOT " VELA_HELD_ELSEWHERE("t")
    " ORDER BY \"Position\" LIMIT $4::bigint FOR UPDATE SKIP LOCKED) "
    "UPDATE \"CampaignTrackers\" t SET \"Station\" = $2, "
    "\"LeaseUntil\" = " VELA_DATABASE_NOW_MS
    " + $5::bigint "
    "FROM picked WHERE t.\"ID\" = picked.\"ID\" RETURNING t.\"CampaignId\", t.\"Position\", "
    "t.\"Tracker\", t.\"Phone\", t.\"State\", t.\"Attempts\", t.\"LastEvent\", t.\"Detail\", "
    "t.\"Verdict\", t.\"WaitUntil\", t.\"ModemPort\", t.\"CallerAddress\", t.\"CallerImei\", "
    "t.\"Answer\", t.\"UpdatedAt\", t.\"Station\", t.\"LeaseUntil\", t.\"Delivery\", "
    "t.\"DeliveredAt\", t.\"MessageReference\"";

constexpr const char* kHeldElsewhere =
    "SELECT t.\"Tracker\", o.\"CampaignId\" FROM \"CampaignTrackers\" t "
    "JOIN \"CampaignTrackers\" o ON o.\"Tracker\" = t.\"Tracker\" "
    "AND o.\"CampaignId\" <> t.\"CampaignId\" WHERE t.\"CampaignId\" = $1 "
    "AND t.\"State\" NOT IN ('configured', 'failed') "
    "AND o.\"State\" NOT IN ('configured', 'failed') AND o.\"Station\" <> '' "
    "AND o.\"LeaseUntil\" >= " VELA_DATABASE_NOW_MS " ORDER BY t.\"Position\"";

// Claims of every campaign take this lock in turn, so two campaigns claiming the same
// tracker at one moment cannot both miss the other's claim.
constexpr int64_t kClaimLock = 0x76656C61;  // "vela"

class PgCampaignClaims final : public CampaignClaims {
public:
    // `joined` holds the station's name lock already.
    PgCampaignClaims(std::string url, Connection joined, int64_t id, CampaignStationInfo station,
                     std::chrono::milliseconds lease)
        : connection_(std::move(url), std::move(joined),
                      [id, name = station.name](Connection& reopened) -> Status {
                          // Taken again after a reconnect. Another process that took the
                          // name while the server was away keeps it: this one claims no
                          // more, so two stations of one name never claim side by side.
                          Result<bool> mine = lockStationName(reopened, id, name);
                          if (!mine) return mine.status();
                          if (mine.value()) return Status::Ok();
                          return Status::Fail("another station named '" + name +
                                                  "' took the name while the database was "
                                                  "away; this one claims no more trackers",
                                              StatusCode::Conflict);
                      }),
          id_(id),
          station_(std::move(station)),
          lease_(lease) {}

    Result<std::vector<CampaignTrackerRecord>> claim(int limit) override {
        if (limit <= 0) return std::vector<CampaignTrackerRecord>{};
        Result<Connection*> opened = connection_.get();
        if (!opened) return opened.status();
        Connection& connection = *opened.value();
        Result<std::vector<CampaignTrackerRecord>> rows =
            [&]() -> Result<std::vector<CampaignTrackerRecord>> {
            Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
            if (!transaction) return transaction.status();
            Result<QueryResult> locked =
                connection.execute("SELECT pg_advisory_xact_lock($1::bigint)", {kClaimLock});
            if (!locked) return locked.status();
            Result<QueryResult> claimed = connection.execute(
                kClaim,
                {id_, station_.name, firstClaim_ ? "true" : "false", int64_t{limit}, leaseMs()});
            if (!claimed) return claimed.status();
            Result<std::vector<CampaignTrackerRecord>> read = readTrackers(claimed.value());
            if (!read) return read;
            if (Status committed = transaction.value().commit(); !committed) return committed;
            return read;
        }();
        if (!rows) connection_.forgetIfBroken();
        if (rows) firstClaim_ = false;
        return rows;
    }

    Result<std::vector<std::string>> heldElsewhere() override {
        Result<QueryResult> held = run(kHeldElsewhere, {id_});
        if (!held) return held.status();
        std::vector<std::string> trackers;
        for (int row = 0; row < held.value().rows(); ++row) {
            Result<int64_t> campaign = held.value().integer(row, 1);
            if (!campaign) return campaign.status();
            trackers.push_back(held.value().text(row, 0) + " (campaign " +
                               std::to_string(campaign.value()) + ")");
        }
        return trackers;
    }

    Result<int64_t> renew() override {
        Result<Connection*> opened = connection_.get();
        Status renewed = opened ? Status::Ok() : opened.status();
        int64_t held = 0;
        if (renewed) {
            renewed = [&]() -> Status {
                Connection& connection = *opened.value();
                Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
                if (!transaction) return transaction.status();
                Result<QueryResult> seen = connection.execute(
                    "UPDATE \"CampaignStations\" SET \"SeenUntil\" = " VELA_DATABASE_NOW_MS
                    " + $3::bigint WHERE \"CampaignId\" = $1 AND \"Station\" = $2",
                    {id_, station_.name, leaseMs()});
                if (!seen) return seen.status();
                Result<QueryResult> leases = connection.execute(
                    std::string("UPDATE \"CampaignTrackers\" SET \"LeaseUntil\" = ") +
                        VELA_DATABASE_NOW_MS
                        " + $3::bigint WHERE \"CampaignId\" = $1 "
                        "AND \"Station\" = $2 AND \"State\" NOT IN " +
                        kFinalStates,
                    {id_, station_.name, leaseMs()});
                if (!leases) return leases.status();
                held = leases.value().affectedRows();
                return transaction.value().commit();
            }();
        }
        if (!renewed) {
            connection_.forgetIfBroken();
            return renewed;
        }
        return held;
    }

    Result<int64_t> openCount() override {
        Result<QueryResult> counted =
            run(std::string("SELECT count(*) FROM \"CampaignTrackers\" WHERE \"CampaignId\" = $1 "
                            "AND \"State\" NOT IN ") +
                    kFinalStates,
                {id_});
        if (!counted) return counted.status();
        return counted.value().integer(0, 0);
    }

    Status leave() override {
        Result<Connection*> opened = connection_.get();
        if (!opened) return opened.status();
        Status left = [&]() -> Status {
            Connection& connection = *opened.value();
            Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
            if (!transaction) return transaction.status();
            // Stations leaving at the same moment go one after the other, so that the
            // last one sees that the others have gone.
            Result<QueryResult> locked = connection.execute(
                "SELECT 1 FROM \"Campaigns\" WHERE \"ID\" = $1 FOR UPDATE", {id_});
            if (!locked) return locked.status();
            Result<QueryResult> released = connection.execute(
                std::string("UPDATE \"CampaignTrackers\" SET \"Station\" = '', "
                            "\"LeaseUntil\" = 0 WHERE \"CampaignId\" = $1 AND \"Station\" = $2 "
                            "AND \"State\" NOT IN ") +
                    kFinalStates,
                {id_, station_.name});
            if (!released) return released.status();
            Result<QueryResult> gone = connection.execute(
                "UPDATE \"CampaignStations\" SET \"SeenUntil\" = 0 WHERE \"CampaignId\" = $1 "
                "AND \"Station\" = $2",
                {id_, station_.name});
            if (!gone) return gone.status();
            // A campaign without open trackers is finished.
            Result<QueryResult> done = connection.execute(
                std::string(
                    "UPDATE \"Campaigns\" SET \"State\" = $2, \"RunnerPid\" = 0, "
                    "\"UpdatedAt\" = $3 WHERE \"ID\" = $1 AND NOT EXISTS (SELECT 1 FROM "
                    "\"CampaignTrackers\" WHERE \"CampaignId\" = $1 AND \"State\" NOT IN ") +
                    kFinalStates + ")",
                {id_, kCampaignFinished, HistoryTimestamp()});
            if (!done) return done.status();
            // The last one out marks a campaign with open trackers as interrupted; a
            // queued one (it has a station group) goes back to the queue.
            Result<QueryResult> marked = connection.execute(
                std::string(
                    "UPDATE \"Campaigns\" SET \"State\" = CASE WHEN \"StationGroup\" IS NULL "
                    "THEN $3 ELSE 'queued' END, \"RunnerPid\" = 0, "
                    "\"UpdatedAt\" = $4 WHERE \"ID\" = $1 AND EXISTS (SELECT 1 FROM "
                    "\"CampaignTrackers\" WHERE \"CampaignId\" = $1 AND \"State\" NOT IN ") +
                    kFinalStates +
                    ") AND NOT EXISTS (SELECT 1 FROM \"CampaignStations\" WHERE "
                    "\"CampaignId\" = $1 AND \"Station\" <> $2 AND \"SeenUntil\" "
                    "> " VELA_DATABASE_NOW_MS ")",
                {id_, station_.name, kCampaignInterrupted, HistoryTimestamp()});
            if (!marked) return marked.status();
            return transaction.value().commit();
        }();
        if (!left) connection_.forgetIfBroken();
        return left;
    }

private:
    int64_t leaseMs() const { return static_cast<int64_t>(lease_.count()); }

    Result<QueryResult> run(const std::string& sql, const std::vector<Parameter>& parameters) {
        Result<Connection*> opened = connection_.get();
        if (!opened) return opened.status();
        Result<QueryResult> done = opened.value()->execute(sql, parameters);
        if (!done) connection_.forgetIfBroken();
        return done;
    }

    KeptConnection connection_;
    int64_t id_;
    CampaignStationInfo station_;
    std::chrono::milliseconds lease_;
    bool firstClaim_ = true;
};

}  // namespace

PgCampaignStorage::PgCampaignStorage(std::string url) : url_(std::move(url)) {}

std::string PgCampaignStorage::location() const {
    return pg::RedactUrl(url_);
}

Result<int64_t> PgCampaignStorage::create(
    const CampaignRecord& campaign, const std::vector<CampaignTrackerRecord>& trackers) const {
    Result<Connection> opened = connect(url_);
    if (!opened) return opened.status();
    Connection& connection = opened.value();
    Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
    if (!transaction) return transaction.status();
    Result<int64_t> id = pg::InsertCampaign(connection, campaign, trackers);
    if (!id) return id;
    if (Status committed = transaction.value().commit(); !committed) return committed;
    return id;
}

Result<CampaignRecord> PgCampaignStorage::campaign(int64_t id) const {
    Result<Connection> opened = connect(url_);
    if (!opened) return opened.status();
    Result<QueryResult> query =
        opened.value().execute(std::string(kCampaignSelect) + "WHERE c.\"ID\" = $1", {id});
    if (!query) return query.status();
    Result<std::vector<CampaignRecord>> campaigns = readCampaigns(query.value());
    if (!campaigns) return campaigns.status();
    if (campaigns.value().empty()) {
        return Result<CampaignRecord>::Fail(NoSuchCampaign(id), StatusCode::NotFound);
    }
    return campaigns.value().front();
}

Result<std::vector<CampaignRecord>> PgCampaignStorage::list() const {
    Result<Connection> opened = connect(url_);
    if (!opened) return opened.status();
    Result<QueryResult> query =
        opened.value().execute(std::string(kCampaignSelect) + "ORDER BY c.\"ID\" DESC");
    if (!query) return query.status();
    return readCampaigns(query.value());
}

Result<std::vector<CampaignTrackerRecord>> PgCampaignStorage::trackers(int64_t id) const {
    Result<Connection> opened = connect(url_);
    if (!opened) return opened.status();
    Result<QueryResult> query = opened.value().execute(
        std::string("SELECT ") + kTrackerColumns +
            " FROM \"CampaignTrackers\" WHERE \"CampaignId\" = $1 ORDER BY \"Position\"",
        {id});
    if (!query) return query.status();
    return readTrackers(query.value());
}

Result<CampaignStorage::PruneCounts> PgCampaignStorage::prune(
    const std::optional<std::string>& historyBefore,
    const std::optional<std::string>& campaignsBefore) const {
    Result<Connection> opened = connect(url_);
    if (!opened) return opened.status();
    Connection& connection = opened.value();
    Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
    if (!transaction) return transaction.status();
    PruneCounts counts;
    auto run = [&](const char* sql, const std::string& before, int64_t* deleted) -> Status {
        Result<QueryResult> done = connection.execute(sql, {before});
        if (!done) return done.status();
        if (deleted != nullptr) *deleted = done.value().affectedRows();
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
    if (Status committed = transaction.value().commit(); !committed) return committed;
    return counts;
}

// A page at a time, by position: the server sends no more than a page, and each page
// starts from the campaign's index where the last one ended.
Status PgCampaignStorage::eachTracker(
    int64_t id, const std::function<void(const CampaignTrackerRecord&)>& take) const {
    constexpr int64_t kPage = 5000;
    Result<Connection> opened = connect(url_);
    if (!opened) return opened.status();
    for (int64_t after = -1;;) {
        Result<QueryResult> query = opened.value().execute(
            std::string("SELECT ") + kTrackerColumns +
                " FROM \"CampaignTrackers\" WHERE \"CampaignId\" = $1 AND \"Position\" > $2 "
                "ORDER BY \"Position\" LIMIT $3",
            {id, after, kPage});
        if (!query) return query.status();
        Result<std::vector<CampaignTrackerRecord>> page = readTrackers(query.value());
        if (!page) return page.status();
        for (const CampaignTrackerRecord& row : page.value()) take(row);
        if (static_cast<int64_t>(page.value().size()) < kPage) return Status::Ok();
        after = page.value().back().position;
    }
}

Result<std::vector<CampaignStationRecord>> PgCampaignStorage::stations(int64_t id) const {
    Result<Connection> opened = connect(url_);
    if (!opened) return opened.status();
    Result<QueryResult> query = opened.value().execute(
        std::string(kStationColumns) + "WHERE \"CampaignId\" = $1 ORDER BY \"ID\"", {id});
    if (!query) return query.status();
    return readStations(query.value());
}

Result<std::unique_ptr<CampaignWriter>> PgCampaignStorage::openWriter(
    int64_t id, const CampaignStationInfo& station, std::chrono::milliseconds lease) const {
    return std::unique_ptr<CampaignWriter>(
        std::make_unique<PgCampaignWriter>(url_, id, station.name, lease));
}

Result<std::unique_ptr<CampaignClaims>> PgCampaignStorage::openClaims(
    int64_t id, const CampaignStationInfo& station, std::chrono::milliseconds lease) const {
    Result<Connection> opened = connect(url_);
    if (!opened) return opened.status();
    Connection& connection = opened.value();
    Result<QueryResult> present =
        connection.execute("SELECT 1 FROM \"Campaigns\" WHERE \"ID\" = $1", {id});
    if (!present) return present.status();
    if (present.value().rows() == 0) return Status::NotFound(NoSuchCampaign(id));
    const auto refusal = Status::Refused("station " + station.name +
                                         " is already running campaign " + std::to_string(id));
    // A live process of this name holds its lock; a dead one's lock goes with its
    // connection, which the server may take a moment to notice.
    Result<bool> mine = false;
    for (int attempt = 0; attempt < 10; ++attempt) {
        mine = lockStationName(connection, id, station.name);
        if (!mine) return mine.status();
        if (mine.value()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!mine.value()) return refusal;
    // With the lock, a row whose lease still runs was left by a dead process of this name
    // and is taken over; without a lock (an older station) the lease decides.
    Result<QueryResult> joined = connection.execute(
        "INSERT INTO \"CampaignStations\" (\"CampaignId\", \"Station\", \"Address\", "
        "\"JoinedAt\", \"SeenUntil\") VALUES ($1, $2, $3, $4, " VELA_DATABASE_NOW_MS
        " + $5::bigint) ON CONFLICT (\"CampaignId\", \"Station\") DO UPDATE SET "
        "\"Address\" = EXCLUDED.\"Address\", \"SeenUntil\" = EXCLUDED.\"SeenUntil\" "
        "RETURNING \"ID\"",
        {id, station.name, station.address, HistoryTimestamp(),
         static_cast<int64_t>(lease.count())});
    if (!joined) return joined.status();
    if (joined.value().rows() == 0) return refusal;
    return std::unique_ptr<CampaignClaims>(
        std::make_unique<PgCampaignClaims>(url_, std::move(opened).value(), id, station, lease));
}

namespace pg {

Result<int64_t> InsertCampaign(Connection& connection, const CampaignRecord& campaign,
                               const std::vector<CampaignTrackerRecord>& trackers) {
    Result<QueryResult> inserted = connection.execute(
        "INSERT INTO \"Campaigns\" (\"CreatedAt\", \"UpdatedAt\", \"State\", \"ConfigFile\", "
        "\"ConfigSha256\", \"ModemPorts\", \"WaitSeconds\", \"Attempts\", \"Images\", "
        "\"RunnerPid\") VALUES ($1, $1, $2, $3, $4, $5, $6, $7, $8, 0) RETURNING \"ID\"",
        {campaign.createdAt, campaign.state, campaign.configFile, campaign.configSha256,
         ModemPortsText(campaign.modemPorts), campaign.waitSeconds, campaign.attempts,
         campaign.images});
    if (!inserted) return inserted.status();
    Result<int64_t> id = inserted.value().integer(0, 0);
    if (!id) return id;
    // A new campaign's rows are held by no station yet, whatever the records say.
    std::vector<CampaignTrackerRecord> rows = trackers;
    for (CampaignTrackerRecord& row : rows) {
        row.station.clear();
        row.leaseUntilMs = 0;
    }
    if (Status written = insertTrackers(connection, rows, id.value()); !written) return written;
    return id;
}

Status InsertHistoryRow(Connection& connection, const HistoryRecord& h) {
    const std::string verdict(VerdictWord(h.verdict));
    const auto optional = [](const std::optional<int64_t>& value) {
        return value ? Parameter(*value) : Parameter::null();
    };
    Result<QueryResult> inserted = connection.execute(
        HistoryInsertStatement('$'),
        {h.startedAt, h.endedAt, h.kind, h.tracker, h.phone, h.modemPort, h.configFile,
         h.configSha256, h.imageBytes, h.callerAddress, h.callerImei, optional(h.answerBytes),
         verdict, h.detail, optional(h.campaignId), h.delivery, h.deliveredAt});
    return inserted.status();
}

Status ReadCampaignRows(Connection& connection, std::vector<CampaignRecord>& campaigns,
                        std::vector<CampaignTrackerRecord>& trackers,
                        std::vector<CampaignStationRecord>& stations) {
    Result<QueryResult> campaignRows =
        connection.execute(std::string(kCampaignSelect) + "ORDER BY c.\"ID\"");
    if (!campaignRows) return campaignRows.status();
    Result<std::vector<CampaignRecord>> readCampaignRows = readCampaigns(campaignRows.value());
    if (!readCampaignRows) return readCampaignRows.status();
    Result<QueryResult> trackerRows = connection.execute(
        std::string("SELECT ") + kTrackerColumns + " FROM \"CampaignTrackers\" ORDER BY \"ID\"");
    if (!trackerRows) return trackerRows.status();
    Result<std::vector<CampaignTrackerRecord>> readTrackerRows = readTrackers(trackerRows.value());
    if (!readTrackerRows) return readTrackerRows.status();
    Result<QueryResult> stationRows =
        connection.execute(std::string(kStationColumns) + "ORDER BY \"ID\"");
    if (!stationRows) return stationRows.status();
    Result<std::vector<CampaignStationRecord>> readStationRows = readStations(stationRows.value());
    if (!readStationRows) return readStationRows.status();
    campaigns = std::move(readCampaignRows).value();
    trackers = std::move(readTrackerRows).value();
    stations = std::move(readStationRows).value();
    return Status::Ok();
}

Status WriteCampaignRows(Connection& connection, const std::vector<CampaignRecord>& campaigns,
                         const std::vector<CampaignTrackerRecord>& trackers,
                         const std::vector<CampaignStationRecord>& stations) {
    for (const CampaignRecord& c : campaigns) {
        Result<QueryResult> inserted = connection.execute(
            "INSERT INTO \"Campaigns\" (\"ID\", \"CreatedAt\", \"UpdatedAt\", \"State\", "
            "\"ConfigFile\", \"ConfigSha256\", \"ModemPorts\", \"WaitSeconds\", \"Attempts\", "
            "\"Images\", \"RunnerPid\") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)",
            {c.id, c.createdAt, c.updatedAt, c.state, c.configFile, c.configSha256,
             ModemPortsText(c.modemPorts), c.waitSeconds, c.attempts, c.images, c.runnerPid});
        if (!inserted) return inserted.status();
    }
    // The next campaign made here gets an ID past every copied one.
    if (Result<QueryResult> moved =
            connection.execute("SELECT setval(pg_get_serial_sequence('\"Campaigns\"', 'ID'), "
                               "coalesce(max(\"ID\"), 0) + 1, false) FROM \"Campaigns\"");
        !moved) {
        return moved.status();
    }
    if (Status written = insertTrackers(connection, trackers, std::nullopt); !written)
        return written;
    for (const CampaignStationRecord& s : stations) {
        Result<QueryResult> inserted = connection.execute(
            "INSERT INTO \"CampaignStations\" (\"CampaignId\", \"Station\", \"Address\", "
            "\"JoinedAt\", \"SeenUntil\") VALUES ($1, $2, $3, $4, $5)",
            {s.campaignId, s.name, s.address, s.joinedAt, s.seenUntilMs});
        if (!inserted) return inserted.status();
    }
    return Status::Ok();
}

}  // namespace pg

}  // namespace vela

#undef VELA_DATABASE_NOW_MS
