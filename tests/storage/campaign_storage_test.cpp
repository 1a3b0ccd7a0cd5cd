// Campaigns in both engines: settings.accdb and a PostgreSQL database shared by stations,
// on a server that this test program starts itself.
#include "postgres_server.h"
#include "storage/campaign_store.h"
#include "storage/database.h"
#include "storage/pg/connection.h"
#include "storage/pg/pg_campaign_storage.h"
#include "storage/pg/storage_choice.h"
#include "storage/table_rows.h"
#include "store_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace vela {
namespace {

using namespace std::chrono_literals;
using test::PostgresServer;

enum class Engine { kSqlite, kPostgres };

PostgresServer& server() {
    return PostgresServer::shared();
}

// Every field, so that two rows compare whole.
template <typename... Fields>
std::string joined(const Fields&... fields) {
    std::ostringstream out;
    ((out << fields << '|'), ...);
    return out.str();
}

std::string describe(const CampaignTrackerRecord& t) {
    return joined(t.campaignId, t.position, t.tracker, t.phone, t.state, t.attempts, t.lastEvent,
                  t.detail, t.verdict, t.waitUntilMs, t.modemPort, t.callerAddress, t.callerImei,
                  t.answer, t.updatedAt, t.station, t.leaseUntilMs, t.delivery, t.deliveredAt,
                  t.messageReference.value_or(-1));
}

std::string describe(const CampaignRecord& c) {
    std::string ports;
    for (const std::string& port : c.modemPorts) ports += port + ";";
    return joined(c.id, c.createdAt, c.updatedAt, c.state, c.configFile, c.configSha256, ports,
                  c.waitSeconds, c.attempts, c.images, c.runnerPid, c.total, c.configured,
                  c.failed);
}

template <typename T>
std::vector<std::string> describeAll(const std::vector<T>& rows) {
    std::vector<std::string> described;
    for (const T& row : rows) described.push_back(describe(row));
    return described;
}

CampaignRecord sampleCampaign() {
    CampaignRecord c;
    c.createdAt = "2026-12-07T10:00:00Z";
    c.configFile = "/srv/configs/fleet 'north' \xC3\xA9.xml";
    c.configSha256 = std::string(64, 'b');
    c.modemPorts = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    c.waitSeconds = 86400;
    c.attempts = 3;
    c.images = "0 A1B2\n5 C3D4";
    return c;
}

std::vector<CampaignTrackerRecord> sampleTrackers(int count) {
    std::vector<CampaignTrackerRecord> rows;
    for (int i = count - 1; i >= 0; --i) {  // stored out of order: read back by position
        CampaignTrackerRecord t;
        t.position = i;
        t.tracker = "35600000000" + std::to_string(1000 + i);
        t.phone = "+3706" + std::to_string(1000000 + i);
        t.updatedAt = "2026-12-07T10:00:00Z";
        rows.push_back(t);
    }
    return rows;
}

class CampaignStorageFixture : public ::testing::Test {
protected:
    void useEngine(Engine engine) {
        engine_ = engine;
        if (engine == Engine::kPostgres) {
            ASSERT_TRUE(server().running()) << server().failure();
            url_ = server().createDatabase();
            ASSERT_FALSE(url_->empty());
        }
    }
    std::unique_ptr<CampaignStorage> storage() {
        return OpenCampaignStorage(directory_.path(), url_);
    }

    int64_t createCampaign(int trackers) {
        Result<int64_t> id = storage()->create(sampleCampaign(), sampleTrackers(trackers));
        EXPECT_TRUE(id.ok()) << id.message();
        return id.ok() ? id.value() : 0;
    }
    std::unique_ptr<CampaignClaims> join(int64_t id, const std::string& name,
                                         std::chrono::milliseconds lease = 30s) {
        Result<std::unique_ptr<CampaignClaims>> claims =
            storage()->openClaims(id, {name, "127.0.0.1:" + name}, lease);
        EXPECT_TRUE(claims.ok()) << claims.message();
        return claims.ok() ? std::move(claims).value() : nullptr;
    }
    std::vector<HistoryRecord> history(int64_t id) {
        HistoryFilter ofCampaign;
        ofCampaign.campaignId = id;
        Result<std::vector<HistoryRecord>> rows =
            OpenStorage(directory_.path(), url_)->queryHistory(ofCampaign);
        EXPECT_TRUE(rows.ok()) << rows.message();
        return rows.ok() ? rows.value() : std::vector<HistoryRecord>{};
    }
    // Makes the database refuse a history row whose detail is `detail`.
    void refuseHistoryDetail(const std::string& detail) {
        if (engine_ == Engine::kSqlite) {
            test::refuseRowsWhere(directory_.path() / "settings.accdb", "History",
                                  "\"Detail\" = '" + detail + "'");
            return;
        }
        Result<pg::Connection> admin = pg::Connection::open(*url_);
        ASSERT_TRUE(admin.ok()) << admin.message();
        ASSERT_TRUE(admin.value()
                        .execute("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ "
                                 "BEGIN IF NEW.\"Detail\" = '" +
                                 detail +
                                 "' THEN RAISE EXCEPTION 'refused'; END IF; RETURN NEW; END $$")
                        .ok());
        ASSERT_TRUE(admin.value()
                        .execute("CREATE TRIGGER refuse BEFORE INSERT ON \"History\" FOR EACH ROW "
                                 "EXECUTE FUNCTION refuse()")
                        .ok());
    }

    Engine engine_ = Engine::kSqlite;
    test::TempDir directory_;
    std::optional<std::string> url_;
};

class CampaignStorageTest : public CampaignStorageFixture,
                            public ::testing::WithParamInterface<Engine> {
protected:
    void SetUp() override { useEngine(GetParam()); }
};

CampaignChange trackerChange(CampaignTrackerRecord row, const std::string& state,
                             std::optional<std::string> historyDetail = std::nullopt) {
    CampaignChange change;
    change.campaignId = row.campaignId;
    row.state = state;
    row.attempts = 1;
    row.lastEvent = state == "waiting" ? "sms-sent" : state;
    row.verdict = state == "waiting" ? "" : state;
    row.waitUntilMs = 1765100000000;
    row.answer = "'; DROP TABLE \"History\"; --";
    row.delivery = "delivered";
    row.deliveredAt = "2026-12-08 10:15:35 +02:00";
    row.messageReference = 255;
    change.tracker = row;
    if (historyDetail) {
        HistoryRecord h = test::sampleRun(2, row.tracker, Verdict::Configured);
        h.campaignId = row.campaignId;
        h.detail = *historyDetail;
        change.history = h;
    }
    return change;
}

TEST_P(CampaignStorageTest, CampaignTrackersAndStationsComeBack) {
    EXPECT_EQ(storage()->shared(), GetParam() == Engine::kPostgres);
    const int64_t first = createCampaign(3);
    const int64_t second = createCampaign(2);
    ASSERT_GT(second, first);

    Result<CampaignRecord> read = storage()->campaign(first);
    ASSERT_TRUE(read.ok()) << read.message();
    CampaignRecord expected = sampleCampaign();
    expected.id = first;
    expected.updatedAt = expected.createdAt;
    expected.total = 3;
    EXPECT_EQ(describe(read.value()), describe(expected));
    EXPECT_EQ(storage()->campaign(999).message(), "no campaign 999");
    EXPECT_EQ(storage()->campaign(999).code(), StatusCode::NotFound);

    Result<std::vector<CampaignTrackerRecord>> rows = storage()->trackers(first);
    ASSERT_TRUE(rows.ok()) << rows.message();
    std::vector<CampaignTrackerRecord> stored = sampleTrackers(3);
    std::reverse(stored.begin(), stored.end());
    for (CampaignTrackerRecord& row : stored) row.campaignId = first;
    EXPECT_EQ(describeAll(rows.value()), describeAll(stored));

    // A station joins, settles two trackers and leaves.
    std::unique_ptr<CampaignClaims> claims = join(first, "north:1");
    ASSERT_TRUE(claims);
    ASSERT_EQ(claims->claim(10).value().size(), 3u);
    std::unique_ptr<CampaignWriter> writer =
        storage()->openWriter(first, {"north:1", ""}, 30s).value();
    Result<std::vector<std::size_t>> saved =
        writer->save({trackerChange(stored[0], "configured"), trackerChange(stored[1], "failed")});
    ASSERT_TRUE(saved.ok()) << saved.message();
    EXPECT_TRUE(saved.value().empty());
    EXPECT_EQ(claims->openCount().value(), 1);
    std::vector<CampaignStationRecord> stations = storage()->stations(first).value();
    ASSERT_EQ(stations.size(), 1u);
    EXPECT_EQ(stations[0].name, "north:1");
    EXPECT_EQ(stations[0].address, "127.0.0.1:north:1");
    EXPECT_TRUE(stations[0].live);
    ASSERT_TRUE(claims->leave().ok());
    EXPECT_FALSE(storage()->stations(first).value()[0].live);
    EXPECT_TRUE(storage()->stations(second).value().empty());

    Result<std::vector<CampaignRecord>> campaigns = storage()->list();
    ASSERT_TRUE(campaigns.ok()) << campaigns.message();
    ASSERT_EQ(campaigns.value().size(), 2u);
    EXPECT_EQ(campaigns.value()[0].id, second);  // newest first
    const CampaignRecord& done = campaigns.value()[1];
    EXPECT_EQ(std::vector<int64_t>({done.total, done.configured, done.failed}),
              std::vector<int64_t>({3, 1, 1}));
    EXPECT_EQ(done.state, kCampaignInterrupted);  // one tracker was left open
}

// Rows read one at a time are the rows of the list; pruning takes finished campaigns
// (with their rows) and old history only, on both engines.
TEST_P(CampaignStorageTest, RowsStreamAndPruningKeepsWhatIsOpenOrRecent) {
    const int64_t finished = createCampaign(3);
    const int64_t open = createCampaign(2);
    std::unique_ptr<CampaignClaims> claims = join(finished, "north:1");
    ASSERT_TRUE(claims);
    const std::vector<CampaignTrackerRecord> rows = claims->claim(10).value();
    ASSERT_EQ(rows.size(), 3u);
    std::unique_ptr<CampaignWriter> writer =
        storage()->openWriter(finished, {"north:1", ""}, 30s).value();
    std::vector<CampaignChange> changes;
    for (const CampaignTrackerRecord& row : rows)
        changes.push_back(trackerChange(row, "configured", "done"));
    ASSERT_TRUE(writer->save(changes).ok());
    ASSERT_TRUE(claims->leave().ok());
    ASSERT_EQ(storage()->campaign(finished).value().state, kCampaignFinished);

    std::vector<CampaignTrackerRecord> streamed;
    ASSERT_TRUE(
        storage()
            ->eachTracker(finished,
                          [&](const CampaignTrackerRecord& row) { streamed.push_back(row); })
            .ok());
    EXPECT_EQ(describeAll(streamed), describeAll(storage()->trackers(finished).value()));

    const std::string past = "2000-01-01T00:00:00Z", future = "9999-12-31T00:00:00Z";
    Result<CampaignStorage::PruneCounts> none = storage()->prune(past, past);
    ASSERT_TRUE(none.ok()) << none.message();
    EXPECT_EQ(std::vector<int64_t>({none.value().historyRows, none.value().campaigns,
                                    none.value().campaignTrackers}),
              std::vector<int64_t>({0, 0, 0}));
    Result<CampaignStorage::PruneCounts> pruned = storage()->prune(future, future);
    ASSERT_TRUE(pruned.ok()) << pruned.message();
    EXPECT_EQ(std::vector<int64_t>({pruned.value().historyRows, pruned.value().campaigns,
                                    pruned.value().campaignTrackers}),
              std::vector<int64_t>({3, 1, 3}));
    EXPECT_EQ(storage()->campaign(finished).code(), StatusCode::NotFound);
    EXPECT_TRUE(storage()->stations(finished).value().empty());
    EXPECT_TRUE(history(finished).empty());
    EXPECT_EQ(storage()->trackers(open).value().size(), 2u);  // not finished: kept
}

// `campaign list` counts each campaign's trackers and `history --tracker X` picks one
// tracker's rows through indexes, never by reading whole tables. PostgreSQL is asked
// with sequential scans turned off: on tables this small it would rightly prefer them.
TEST_P(CampaignStorageTest, ListAndHistoryOfATrackerUseIndexes) {
    createCampaign(2);
    const std::string list = std::string(kCampaignSelect) + "ORDER BY c.\"ID\" DESC";
    std::string plans;
    if (GetParam() == Engine::kSqlite) {
        HistoryFilter ofTracker;
        ofTracker.tracker = "350000000000001";
        Result<sqlite::Database> db = sqlite::Database::open(directory_.path() / "settings.accdb");
        ASSERT_TRUE(db.ok()) << db.message();
        for (const std::string& sql : {list, HistoryQueryText(ofTracker)}) {
            Result<sqlite::Statement> plan = db.value().prepare("EXPLAIN QUERY PLAN " + sql);
            ASSERT_TRUE(plan.ok()) << plan.message();
            while (plan.value().step().value()) plans += plan.value().columnText(3) + "\n";
        }
        EXPECT_NE(plans.find("INDEX HistoryByTracker (Tracker=?)"), std::string::npos) << plans;
        EXPECT_EQ(plans.find("SCAN History"), std::string::npos) << plans;
        EXPECT_EQ(plans.find("SCAN t"), std::string::npos) << plans;
    } else {
        Result<pg::Connection> admin = pg::Connection::open(*url_);
        ASSERT_TRUE(admin.ok()) << admin.message();
        ASSERT_TRUE(admin.value().execute("SET enable_seqscan = off").ok());
        Result<pg::QueryResult> plan = admin.value().execute("EXPLAIN " + list);
        ASSERT_TRUE(plan.ok()) << plan.message();
        for (int row = 0; row < plan.value().rows(); ++row)
            plans += plan.value().text(row, 0) + "\n";
        EXPECT_EQ(plans.find("Seq Scan on \"CampaignTrackers\""), std::string::npos) << plans;
    }
}

TEST_P(CampaignStorageTest, WriterSavesAllOrNothing) {
    const int64_t id = createCampaign(3);
    std::unique_ptr<CampaignClaims> claims = join(id, "north:1");
    ASSERT_TRUE(claims);
    const std::vector<CampaignTrackerRecord> rows = claims->claim(10).value();
    ASSERT_EQ(rows.size(), 3u);
    std::unique_ptr<CampaignWriter> writer =
        storage()->openWriter(id, {"north:1", ""}, 30s).value();
    refuseHistoryDetail("refuse me");

    CampaignChange finished;
    finished.campaignId = id;
    finished.campaignState = kCampaignFinished;
    finished.runnerPid = 4242;
    const std::vector<CampaignChange> failing = {trackerChange(rows[0], "configured", "kept"),
                                                 finished,
                                                 trackerChange(rows[1], "configured", "refuse me")};
    const std::string before = describe(storage()->campaign(id).value());
    EXPECT_FALSE(writer->save(failing).ok());
    EXPECT_EQ(describe(storage()->campaign(id).value()), before);
    EXPECT_EQ(storage()->trackers(id).value()[0].state, "pending");
    EXPECT_TRUE(history(id).empty());

    // The same writer goes on after a failure.
    std::vector<CampaignChange> good = failing;
    good.back() = trackerChange(rows[1], "waiting");
    ASSERT_TRUE(writer->save(good).ok());
    const std::vector<CampaignTrackerRecord> after = storage()->trackers(id).value();
    EXPECT_EQ(after[0].state, "configured");
    EXPECT_EQ(after[0].answer, "'; DROP TABLE \"History\"; --");
    EXPECT_EQ(after[1].lastEvent, "sms-sent");
    EXPECT_EQ(after[1].station, "north:1");
    EXPECT_EQ(storage()->campaign(id).value().state, kCampaignFinished);
    EXPECT_EQ(storage()->campaign(id).value().runnerPid, 4242);
    ASSERT_EQ(history(id).size(), 1u);
    EXPECT_EQ(history(id)[0].detail, "kept");
}

// Two campaigns over the same trackers: while one holds them, the other's claims leave
// them out and say where they are; once it lets go they are free.
TEST_P(CampaignStorageTest, ATrackerIsClaimedByOneRunningCampaignAtATime) {
    const int64_t first = createCampaign(3);
    const int64_t second = createCampaign(3);
    std::unique_ptr<CampaignClaims> holding = join(first, "north:1");
    std::unique_ptr<CampaignClaims> waiting = join(second, "south:1");
    ASSERT_TRUE(holding && waiting);
    ASSERT_EQ(holding->claim(10).value().size(), 3u);
    EXPECT_TRUE(waiting->claim(10).value().empty());
    const std::vector<std::string> elsewhere = waiting->heldElsewhere().value();
    ASSERT_EQ(elsewhere.size(), 3u);
    EXPECT_NE(elsewhere[0].find("(campaign " + std::to_string(first) + ")"), std::string::npos)
        << elsewhere[0];
    ASSERT_TRUE(holding->leave().ok());
    EXPECT_EQ(waiting->claim(10).value().size(), 3u);
    EXPECT_TRUE(waiting->heldElsewhere().value().empty());
}

// A file that cannot be read says why; it is never taken for a missing campaign.
TEST(SqliteCampaignStoreTest, ADamagedFileTellsItsRealReason) {
    test::TempDir directory;
    CampaignStore store(directory.path());
    ASSERT_TRUE(store.create(sampleCampaign(), sampleTrackers(1)).ok());
    {
        std::ofstream damaged(directory.path() / "settings.accdb",
                              std::ios::binary | std::ios::trunc);
        damaged << std::string(4096, 'x');
    }
    for (const Status& read :
         {store.campaign(1).status(), store.list().status(), store.trackers(1).status()}) {
        EXPECT_FALSE(read.ok());
        EXPECT_EQ(read.message().find("no campaign"), std::string::npos) << read.message();
        EXPECT_NE(read.code(), StatusCode::NotFound) << read.message();
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, CampaignStorageTest,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         [](const ::testing::TestParamInfo<Engine>& info) {
                             return info.param == Engine::kSqlite ? "Sqlite" : "Postgres";
                         });

// What only a campaign shared by several stations has.
class PgCampaignTest : public CampaignStorageFixture {
protected:
    void SetUp() override { useEngine(Engine::kPostgres); }
};

TEST_F(PgCampaignTest, StationsClaimingTogetherNeverShareATracker) {
    constexpr int kTrackers = 90;
    const int64_t id = createCampaign(kTrackers);
    std::set<std::string> taken[2];
    std::string failures[2];
    // Both join and connect first, then claim from the same moment on.
    std::unique_ptr<CampaignClaims> joined[2] = {join(id, "station0"), join(id, "station1")};
    ASSERT_TRUE(joined[0] && joined[1]);
    std::barrier start(2);
    std::vector<std::thread> stations;
    for (int s = 0; s < 2; ++s) {
        stations.emplace_back([&, s] {
            CampaignClaims* claims = joined[s].get();
            if (Result<int64_t> open = claims->openCount(); !open) failures[s] = open.message();
            start.arrive_and_wait();
            if (!failures[s].empty()) return;
            for (int round = 0; round < 200; ++round) {  // bounded: 90 rows, 2 at a time
                Result<std::vector<CampaignTrackerRecord>> rows = claims->claim(2);
                if (!rows) {
                    failures[s] = rows.message();
                    return;
                }
                if (rows.value().empty()) return;
                for (const CampaignTrackerRecord& row : rows.value()) taken[s].insert(row.tracker);
            }
        });
    }
    for (std::thread& station : stations) station.join();
    EXPECT_EQ(failures[0] + failures[1], "");
    EXPECT_EQ(taken[0].size() + taken[1].size(), static_cast<size_t>(kTrackers));
    std::set<std::string> both = taken[0];
    both.insert(taken[1].begin(), taken[1].end());
    EXPECT_EQ(both.size(), static_cast<size_t>(kTrackers));
    EXPECT_FALSE(taken[0].empty() || taken[1].empty()) << "one station took everything";
}

// A station's name is its own while its process lives; once the process is gone (its
// connection closed, as a kill closes it) the name is free at once, lease or not, and the
// trackers it held come back to it.
TEST_F(PgCampaignTest, ANameIsFreeOnceItsProcessIsGone) {
    const int64_t id = createCampaign(2);
    std::unique_ptr<CampaignClaims> first = join(id, "rack");
    ASSERT_TRUE(first);
    ASSERT_EQ(first->claim(1).value().size(), 1u);
    EXPECT_FALSE(storage()->openClaims(id, {"rack", "127.0.0.1:2"}, 30s).ok())
        << "two live stations of one name";
    first.reset();  // gone without leaving, its lease still running
    std::unique_ptr<CampaignClaims> again = join(id, "rack");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->claim(5).value().size(), 2u);
}

TEST_F(PgCampaignTest, ExpiredLeaseIsTakenOverWhereItStood) {
    const int64_t id = createCampaign(2);
    PgCampaignStorage shortLeases(*url_);
    std::unique_ptr<CampaignClaims> dying =
        shortLeases.openClaims(id, {"dying", "127.0.0.1:1"}, 200ms).value();
    const std::vector<CampaignTrackerRecord> held = dying->claim(1).value();
    ASSERT_EQ(held.size(), 1u);
    std::unique_ptr<CampaignWriter> oldWriter =
        shortLeases.openWriter(id, {"dying", ""}, 200ms).value();
    ASSERT_TRUE(oldWriter->save({trackerChange(held[0], "waiting")}).value().empty());

    std::unique_ptr<CampaignClaims> other = join(id, "other");
    ASSERT_TRUE(other);
    const std::vector<CampaignTrackerRecord> free = other->claim(5).value();
    ASSERT_EQ(free.size(), 1u);
    EXPECT_NE(free[0].tracker, held[0].tracker);  // still held by a live lease

    std::this_thread::sleep_for(400ms);  // the lease runs out; nobody renews it
    const std::vector<CampaignTrackerRecord> taken = other->claim(5).value();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].tracker, held[0].tracker);
    EXPECT_EQ(taken[0].state, "waiting");  // the accepted SMS is not sent again
    EXPECT_EQ(taken[0].attempts, 1);
    EXPECT_EQ(taken[0].station, "other");

    // The old holder's late outcome is refused, and so is its history row.
    std::vector<CampaignChange> late = {trackerChange(held[0], "configured", "late")};
    Result<std::vector<std::size_t>> refused = oldWriter->save(late);
    ASSERT_TRUE(refused.ok()) << refused.message();
    EXPECT_EQ(refused.value(), std::vector<std::size_t>{0});
    EXPECT_TRUE(history(id).empty());
    EXPECT_EQ(storage()->trackers(id).value()[held[0].position].state, "waiting");
    EXPECT_EQ(dying->renew().value(), 0);  // it holds nothing any more
    EXPECT_EQ(other->renew().value(), 2);
}

TEST_F(PgCampaignTest, StationNamesAreUniqueWhileLiveAndRestartsGetTheirRowsBack) {
    const int64_t id = createCampaign(4);
    PgCampaignStorage shared(*url_);
    std::unique_ptr<CampaignClaims> first =
        shared.openClaims(id, {"north:1", "127.0.0.1:1"}, 200ms).value();
    ASSERT_EQ(first->claim(2).value().size(), 2u);
    EXPECT_EQ(shared.openClaims(id, {"north:1", ""}, 30s).message(),
              "station north:1 is already running campaign " + std::to_string(id));
    EXPECT_EQ(shared.openClaims(999, {"north:1", ""}, 30s).message(), "no campaign 999");
    // The process died; started again under its name, it gets its own rows first.
    first.reset();
    std::this_thread::sleep_for(400ms);
    Result<std::unique_ptr<CampaignClaims>> again = shared.openClaims(id, {"north:1", "x"}, 30s);
    ASSERT_TRUE(again.ok()) << again.message();
    const std::vector<CampaignTrackerRecord> back = again.value()->claim(2).value();
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].position, 0);
    EXPECT_EQ(back[1].position, 1);
    EXPECT_EQ(shared.stations(id).value().at(0).address, "x");
}

TEST_F(PgCampaignTest, LeavingReleasesRowsAndTheLastOneMarksTheCampaign) {
    const int64_t id = createCampaign(4);
    std::unique_ptr<CampaignClaims> a = join(id, "a");
    std::unique_ptr<CampaignClaims> b = join(id, "b");
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->claim(2).value().size(), 2u);
    ASSERT_EQ(b->claim(1).value().size(), 1u);

    ASSERT_TRUE(a->leave().ok());
    EXPECT_EQ(storage()->campaign(id).value().state, kCampaignRunning);  // b still works
    const std::vector<CampaignTrackerRecord> rows = storage()->trackers(id).value();
    EXPECT_EQ(rows[0].station + rows[1].station + rows[2].station, "b");
    EXPECT_EQ(rows[0].leaseUntilMs, 0);
    EXPECT_EQ(b->claim(5).value().size(), 3u);  // the released ones and the last

    ASSERT_TRUE(b->leave().ok());
    const CampaignRecord marked = storage()->campaign(id).value();
    EXPECT_EQ(marked.state, kCampaignInterrupted);
    EXPECT_EQ(marked.runnerPid, 0);
    const std::vector<CampaignStationRecord> stations = storage()->stations(id).value();
    ASSERT_EQ(stations.size(), 2u);
    for (const CampaignStationRecord& station : stations) {
        EXPECT_FALSE(station.live) << station.name;
    }
}

TEST_F(PgCampaignTest, StationsLeavingTogetherStillMarkTheCampaign) {
    for (int round = 0; round < 10; ++round) {
        const int64_t id = createCampaign(2);
        std::unique_ptr<CampaignClaims> stations[2] = {join(id, "a"), join(id, "b")};
        ASSERT_TRUE(stations[0] && stations[1]);
        std::atomic<int> ready{0};
        std::vector<std::thread> leaving;
        for (std::unique_ptr<CampaignClaims>& station : stations) {
            leaving.emplace_back([&ready, &station] {
                ++ready;
                while (ready.load() < 2) std::this_thread::yield();
                EXPECT_TRUE(station->leave().ok());
            });
        }
        for (std::thread& thread : leaving) thread.join();
        ASSERT_EQ(storage()->campaign(id).value().state, kCampaignInterrupted) << "round " << round;
    }
}

TEST_F(PgCampaignTest, LostServerFailsWithItsReasonAndWorkResumesAfterIt) {
    const int64_t id = createCampaign(4);
    std::unique_ptr<CampaignClaims> claims = join(id, "north:1");
    ASSERT_TRUE(claims);
    const std::vector<CampaignTrackerRecord> rows = claims->claim(1).value();
    ASSERT_EQ(rows.size(), 1u);
    std::unique_ptr<CampaignWriter> writer =
        storage()->openWriter(id, {"north:1", ""}, 30s).value();
    ASSERT_TRUE(writer->save({trackerChange(rows[0], "waiting")}).ok());

    server().stop();
    for (int call = 0; call < 2; ++call) {  // the broken connection, then no server at all
        const std::string saveFailure =
            writer->save({trackerChange(rows[0], "configured", "lost")}).message();
        const std::string claimFailure = claims->claim(1).message();
        const std::string renewFailure = claims->renew().message();
        EXPECT_NE(saveFailure, "");
        EXPECT_NE(claimFailure, "");
        EXPECT_NE(renewFailure, "");
        if (call == 1) {
            EXPECT_NE(claimFailure.find("Connection refused"), std::string::npos) << claimFailure;
        }
    }
    ASSERT_TRUE(server().start()) << server().failure();

    ASSERT_TRUE(writer->save({trackerChange(rows[0], "configured", "back")}).ok());
    EXPECT_EQ(claims->claim(1).value().size(), 1u);
    EXPECT_EQ(claims->renew().value(), 1);
    EXPECT_EQ(storage()->trackers(id).value()[0].state, "configured");
    ASSERT_EQ(history(id).size(), 1u);
    EXPECT_EQ(history(id)[0].detail, "back");

    // Another process takes the name while the server is away: it keeps it, and the
    // first claims no more, so two stations of one name never claim side by side.
    server().stop();
    ASSERT_TRUE(server().start()) << server().failure();
    std::unique_ptr<CampaignClaims> sameName = join(id, "north:1");
    ASSERT_TRUE(sameName);
    (void)claims->claim(1);  // finds its connection broken
    const Result<std::vector<CampaignTrackerRecord>> refused = claims->claim(1);
    EXPECT_EQ(refused.code(), StatusCode::Conflict) << refused.message();
    EXPECT_EQ(sameName->claim(5).value().size(), 3u);  // the name's rows, and the free one
}

TEST_F(PgCampaignTest, MigrationKeepsCampaignsAndTheirIds) {
    // A file with a campaign whose ID is not the first one a new database would give.
    StoredContent content;
    CampaignRecord campaign = sampleCampaign();
    campaign.id = 7;
    campaign.updatedAt = "2026-12-07T11:00:00Z";
    campaign.state = kCampaignInterrupted;
    campaign.total = 2;
    content.campaigns = {campaign};
    for (CampaignTrackerRecord row : sampleTrackers(2)) {
        row.campaignId = 7;
        row.station = "north:1";
        row.leaseUntilMs = 1765100000000;
        content.campaignTrackers.insert(content.campaignTrackers.begin(), row);
    }
    content.campaignStations = {{7, "north:1", "10.0.0.1:2000", "2026-12-07T10:00:00Z", 0, false}};
    content.history = {test::sampleRun(2, "x", Verdict::NoCall)};
    content.history[0].campaignId = 7;

    test::TempDir source;
    test::TempDir back;
    ASSERT_TRUE(OpenStorage(source.path(), std::nullopt)->replaceContent(content, false).ok());
    Result<StoredContent> fromFile = OpenStorage(source.path(), std::nullopt)->loadContent();
    ASSERT_TRUE(fromFile.ok()) << fromFile.message();
    ASSERT_TRUE(OpenStorage({}, url_)->replaceContent(fromFile.value(), false).ok());
    Result<StoredContent> fromServer = OpenStorage({}, url_)->loadContent();
    ASSERT_TRUE(fromServer.ok()) << fromServer.message();
    ASSERT_TRUE(
        OpenStorage(back.path(), std::nullopt)->replaceContent(fromServer.value(), false).ok());
    Result<StoredContent> again = OpenStorage(back.path(), std::nullopt)->loadContent();
    ASSERT_TRUE(again.ok()) << again.message();

    for (const StoredContent* read : {&fromFile.value(), &fromServer.value(), &again.value()}) {
        EXPECT_EQ(describeAll(read->campaigns), describeAll(content.campaigns));
        EXPECT_EQ(describeAll(read->campaignTrackers), describeAll(content.campaignTrackers));
        ASSERT_EQ(read->campaignStations.size(), 1u);
        EXPECT_EQ(read->campaignStations[0].address, "10.0.0.1:2000");
        ASSERT_EQ(read->history.size(), 1u);
        EXPECT_EQ(read->history[0].campaignId, std::optional<int64_t>(7));
    }
    // The server's next campaign comes after the copied one; a second copy is refused.
    EXPECT_EQ(storage()->create(sampleCampaign(), sampleTrackers(1)).value(), 8);
    const Status refused = OpenStorage({}, url_)->replaceContent(content, false);
    EXPECT_NE(refused.message().find("1 history rows and 2 campaigns"), std::string::npos)
        << refused.message();
}

}  // namespace
}  // namespace vela
