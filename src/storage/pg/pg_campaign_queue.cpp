#include "storage/pg/pg_campaign_queue.h"

#include "storage/pg/connection.h"
#include "storage/pg/pg_campaign_storage.h"
#include "storage/pg/pg_schema.h"

#include <utility>

namespace vela {

namespace {

using pg::Connection;
using pg::Parameter;
using pg::QueryResult;

// Unix time in ms by the database's clock, the one every station shares.
constexpr const char* kNowMs = "(extract(epoch from clock_timestamp()) * 1000)::bigint";

constexpr const char* kNext =
    "SELECT c.\"ID\" FROM \"Campaigns\" c WHERE c.\"StationGroup\" = $1 "
    "AND c.\"State\" IN ('queued', 'running') "
    "AND (c.\"NotBefore\" IS NULL OR c.\"NotBefore\" <= now()) "
    "AND NOT (c.\"ID\" = ANY ($3::bigint[])) "
    "AND (c.\"State\" = 'queued' OR EXISTS (SELECT 1 FROM \"CampaignTrackers\" t "
    "WHERE t.\"CampaignId\" = c.\"ID\" AND t.\"State\" NOT IN ('configured', 'failed') "
    "AND (t.\"Station\" = '' OR t.\"Station\" = $2 OR t.\"LeaseUntil\" < "
    "(extract(epoch from clock_timestamp()) * 1000)::bigint))) "
    "ORDER BY c.\"Priority\" DESC, c.\"ID\" LIMIT 1";

// A column as a whole number; 0 when it is NULL or not one (figures shown, never used
// to decide).
int64_t numberOr0(const QueryResult& rows, int row, int column) {
    Result<int64_t> value = rows.integer(row, column);
    return value ? value.value() : 0;
}

std::string arrayText(const std::vector<int64_t>& numbers) {
    std::string text = "{";
    for (int64_t number : numbers) text += (text.size() > 1 ? "," : "") + std::to_string(number);
    return text + "}";
}

// Forwards everything to the shared campaigns, but new campaigns go to the queue.
class QueueingStorage final : public CampaignStorage {
public:
    QueueingStorage(std::string url, QueuePlace place)
        : url_(url), inner_(std::move(url)), place_(std::move(place)) {}

    std::string location() const override { return inner_.location(); }
    bool shared() const override { return true; }
    Result<int64_t> create(const CampaignRecord& campaign,
                           const std::vector<CampaignTrackerRecord>& trackers) const override {
        return CampaignQueue(url_).submit(campaign, trackers, place_);
    }
    Result<CampaignRecord> campaign(int64_t id) const override { return inner_.campaign(id); }
    Result<std::vector<CampaignRecord>> list() const override { return inner_.list(); }
    Result<std::vector<CampaignTrackerRecord>> trackers(int64_t id) const override {
        return inner_.trackers(id);
    }
    Status eachTracker(
        int64_t id, const std::function<void(const CampaignTrackerRecord&)>& take) const override {
        return inner_.eachTracker(id, take);
    }
    Result<PruneCounts> prune(const std::optional<std::string>& historyBefore,
                              const std::optional<std::string>& campaignsBefore) const override {
        return inner_.prune(historyBefore, campaignsBefore);
    }
    Result<std::vector<CampaignStationRecord>> stations(int64_t id) const override {
        return inner_.stations(id);
    }
    Result<std::unique_ptr<CampaignWriter>> openWriter(
        int64_t id, const CampaignStationInfo& station,
        std::chrono::milliseconds lease) const override {
        return inner_.openWriter(id, station, lease);
    }
    Result<std::unique_ptr<CampaignClaims>> openClaims(
        int64_t id, const CampaignStationInfo& station,
        std::chrono::milliseconds lease) const override {
        return inner_.openClaims(id, station, lease);
    }

private:
    std::string url_;
    PgCampaignStorage inner_;
    QueuePlace place_;
};

}  // namespace

CampaignQueue::CampaignQueue(std::string url) : url_(std::move(url)) {}
CampaignQueue::~CampaignQueue() = default;

Result<Connection*> CampaignQueue::open() {
    if (connection_ && connection_->isBroken()) connection_.reset();
    if (!connection_) {
        Result<Connection> opened = Connection::open(url_);
        if (!opened) return opened.status();
        if (Status migrated = pg::MigrateSchema(opened.value()); !migrated) return migrated;
        connection_ = std::make_unique<Connection>(std::move(opened).value());
    }
    return connection_.get();
}

// Runs `work` on the kept connection; a connection that broke is dropped, so the next
// call opens a new one (the server restarted, the network came back).
template <typename Work>
auto CampaignQueue::attempt(Work work) -> decltype(work(std::declval<Connection&>())) {
    Result<Connection*> opened = open();
    if (!opened) return opened.status();
    auto done = work(*opened.value());
    if (!done && connection_ && connection_->isBroken()) connection_.reset();
    return done;
}

Result<int64_t> CampaignQueue::submit(const CampaignRecord& campaign,
                                      const std::vector<CampaignTrackerRecord>& trackers,
                                      const QueuePlace& place) {
    return attempt([&](Connection& connection) -> Result<int64_t> {
        Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
        if (!transaction) return transaction.status();
        CampaignRecord queued = campaign;
        queued.state = kCampaignQueued;
        Result<int64_t> id = pg::InsertCampaign(connection, queued, trackers);
        if (!id) return id;
        Result<QueryResult> placed = connection.execute(
            "UPDATE \"Campaigns\" SET \"Priority\" = $2, \"NotBefore\" = $3::timestamptz, "
            "\"StationGroup\" = $4 WHERE \"ID\" = $1",
            {id.value(), int32_t{place.priority},
             place.notBefore.empty() ? Parameter::null() : Parameter(place.notBefore),
             place.stationGroup});
        if (!placed) return placed.status();
        if (Status committed = transaction.value().commit(); !committed) return committed;
        return id;
    });
}

Result<std::optional<int64_t>> CampaignQueue::next(const std::string& group,
                                                   const std::string& station,
                                                   const std::vector<int64_t>& skip) {
    return attempt([&](Connection& connection) -> Result<std::optional<int64_t>> {
        Result<QueryResult> found = connection.execute(kNext, {group, station, arrayText(skip)});
        if (!found) return found.status();
        if (found.value().rows() == 0) return std::optional<int64_t>();
        Result<int64_t> id = found.value().integer(0, 0);
        if (!id) return id.status();
        return std::optional<int64_t>(id.value());
    });
}

Status CampaignQueue::refuse(int64_t id, const std::string& reason) {
    return attempt([&](Connection& connection) -> Status {
        return connection
            .execute(
                "UPDATE \"Campaigns\" SET \"State\" = $2, \"Reason\" = $3, \"UpdatedAt\" = $4 "
                "WHERE \"ID\" = $1 AND \"State\" = 'queued'",
                {id, kCampaignRefused, reason, HistoryTimestamp()})
            .status();
    });
}

Result<bool> CampaignQueue::holdName(const std::string& station) {
    return attempt([&](Connection& connection) -> Result<bool> {
        Result<QueryResult> locked = connection.execute(
            "SELECT pg_try_advisory_lock(hashtext('vela station serve ' || $1::text))", {station});
        if (!locked) return locked.status();
        return locked.value().text(0, 0) == "t";
    });
}

Status CampaignQueue::beat(const StationBeat& beat, std::chrono::milliseconds lease) {
    return attempt([&](Connection& connection) -> Status {
        Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
        if (!transaction) return transaction.status();
        Result<QueryResult> written = connection.execute(
            std::string("INSERT INTO \"Stations\" (\"Name\", \"StationGroup\", \"Address\", "
                        "\"Host\", \"Pid\", \"StartedAt\", \"State\", \"Campaign\", \"SeenAt\", "
                        "\"SeenUntil\", \"CallersRefused\") VALUES ($1, $2, $3, $4, $5, $6, $7, "
                        "$8, now(), ") +
                kNowMs +
                " + $9::bigint, $10) ON CONFLICT (\"Name\") DO UPDATE SET "
                "\"StationGroup\" = EXCLUDED.\"StationGroup\", \"Address\" = EXCLUDED.\"Address\", "
                "\"Host\" = EXCLUDED.\"Host\", \"Pid\" = EXCLUDED.\"Pid\", "
                "\"StartedAt\" = EXCLUDED.\"StartedAt\", \"State\" = EXCLUDED.\"State\", "
                "\"Campaign\" = EXCLUDED.\"Campaign\", \"SeenAt\" = EXCLUDED.\"SeenAt\", "
                "\"SeenUntil\" = EXCLUDED.\"SeenUntil\", "
                "\"CallersRefused\" = EXCLUDED.\"CallersRefused\"",
            {beat.name, beat.group, beat.address, beat.host, beat.pid, beat.startedAt, beat.state,
             beat.campaign == 0 ? Parameter::null() : Parameter(beat.campaign),
             static_cast<int64_t>(lease.count()), beat.callersRefused});
        if (!written) return written.status();
        if (Result<QueryResult> cleared = connection.execute(
                "DELETE FROM \"StationModems\" WHERE \"Station\" = $1", {beat.name});
            !cleared) {
            return cleared.status();
        }
        for (const StationModemFigures& modem : beat.modems) {
            Result<QueryResult> row = connection.execute(
                "INSERT INTO \"StationModems\" (\"Station\", \"Port\", \"Open\", \"SmsSent\", "
                "\"SmsFailed\", \"LastError\") VALUES ($1, $2, $3, $4, $5, $6)",
                {beat.name, modem.port, modem.open ? "true" : "false", modem.smsSent,
                 modem.smsFailed, modem.lastError});
            if (!row) return row.status();
        }
        return transaction.value().commit();
    });
}

Status CampaignQueue::retire(const std::string& name) {
    return attempt([&](Connection& connection) -> Status {
        return connection
            .execute(
                "UPDATE \"Stations\" SET \"SeenUntil\" = 0, \"State\" = 'stopped', "
                "\"Campaign\" = NULL, \"SeenAt\" = now() WHERE \"Name\" = $1",
                {name})
            .status();
    });
}

Result<std::vector<StationRecord>> CampaignQueue::stations() {
    return attempt([&](Connection& connection) -> Result<std::vector<StationRecord>> {
        Result<QueryResult> rows = connection.execute(
            std::string("SELECT s.\"Name\", s.\"StationGroup\", s.\"Address\", s.\"Host\", "
                        "s.\"Pid\", s.\"StartedAt\", s.\"State\", s.\"Campaign\", "
                        "s.\"CallersRefused\", to_char(s.\"SeenAt\" AT TIME ZONE 'UTC', "
                        "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), s.\"SeenUntil\" > ") +
            kNowMs +
            ", (SELECT count(*) FROM \"CampaignTrackers\" t WHERE t.\"Station\" = s.\"Name\" "
            "AND t.\"State\" NOT IN ('configured', 'failed') AND t.\"LeaseUntil\" >= " +
            kNowMs + ") FROM \"Stations\" s ORDER BY s.\"Name\"");
        if (!rows) return rows.status();
        std::vector<StationRecord> stations;
        std::map<std::string, std::size_t> byName;
        const QueryResult& r = rows.value();
        for (int row = 0; row < r.rows(); ++row) {
            StationRecord s;
            s.beat.name = r.text(row, 0);
            s.beat.group = r.text(row, 1);
            s.beat.address = r.text(row, 2);
            s.beat.host = r.text(row, 3);
            s.beat.pid = numberOr0(r, row, 4);
            s.beat.startedAt = r.text(row, 5);
            s.beat.state = r.text(row, 6);
            s.beat.campaign = numberOr0(r, row, 7);
            s.beat.callersRefused = numberOr0(r, row, 8);
            s.seenAt = r.text(row, 9);
            s.live = r.text(row, 10) == "t";
            s.claimed = numberOr0(r, row, 11);
            byName[s.beat.name] = stations.size();
            stations.push_back(std::move(s));
        }
        Result<QueryResult> modems = connection.execute(
            "SELECT \"Station\", \"Port\", \"Open\", \"SmsSent\", \"SmsFailed\", \"LastError\" "
            "FROM \"StationModems\" ORDER BY \"Station\", \"Port\"");
        if (!modems) return modems.status();
        const QueryResult& m = modems.value();
        for (int row = 0; row < m.rows(); ++row) {
            const auto owner = byName.find(m.text(row, 0));
            if (owner == byName.end()) continue;
            StationModemFigures modem;
            modem.port = m.text(row, 1);
            modem.open = m.text(row, 2) == "t";
            modem.smsSent = numberOr0(m, row, 3);
            modem.smsFailed = numberOr0(m, row, 4);
            modem.lastError = m.text(row, 5);
            stations[owner->second].beat.modems.push_back(std::move(modem));
        }
        return stations;
    });
}

Result<QueueFigures> CampaignQueue::figures() {
    return attempt([&](Connection& connection) -> Result<QueueFigures> {
        QueueFigures figures;
        for (auto [sql, target] :
             {std::pair{"SELECT \"State\", count(*) FROM \"Campaigns\" GROUP BY 1",
                        &figures.campaignsByState},
              std::pair{"SELECT \"State\", count(*) FROM \"CampaignTrackers\" GROUP BY 1",
                        &figures.trackersByState}}) {
            Result<QueryResult> rows = connection.execute(sql);
            if (!rows) return rows.status();
            for (int row = 0; row < rows.value().rows(); ++row)
                (*target)[rows.value().text(row, 0)] = numberOr0(rows.value(), row, 1);
        }
        return figures;
    });
}

std::unique_ptr<CampaignStorage> QueueingCampaignStorage(std::string url, QueuePlace place) {
    return std::make_unique<QueueingStorage>(std::move(url), std::move(place));
}

}  // namespace vela
