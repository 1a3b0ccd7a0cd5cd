// The same cases against both engines: settings.accdb and a PostgreSQL database on a
// server that this test program starts itself.
#include "postgres_server.h"
#include "storage/database.h"
#include "storage/pg/connection.h"
#include "storage/pg/pg_schema.h"
#include "storage/pg/storage_choice.h"
#include "store_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <thread>

namespace vela {
namespace {

using pg::QueryResult;
using test::PostgresServer;

enum class Engine { kSqlite, kPostgres };

PostgresServer& server() {
    return PostgresServer::shared();
}

class StorageFixture : public ::testing::Test {
protected:
    void useEngine(Engine engine) {
        if (engine == Engine::kPostgres) {
            ASSERT_TRUE(server().running()) << server().failure();
            url_ = server().createDatabase();
            ASSERT_FALSE(url_->empty());
        }
    }
    std::unique_ptr<StorageEngine> open() {
        return OpenStorage(directory_.path(), url_, errors_.reporter());
    }
    TrackerList load(TrackerListStamp* stamp = nullptr) {
        TrackerList list;
        TrackerListStamp read = 0;
        const Status loaded = open()->loadTrackers(list, read);
        EXPECT_TRUE(loaded.ok()) << loaded.message();
        if (stamp) *stamp = read;
        return list;
    }

    test::TempDir directory_;
    std::optional<std::string> url_;
    test::ReportedErrors errors_;
};

class StorageEngineTest : public StorageFixture, public ::testing::WithParamInterface<Engine> {
protected:
    void SetUp() override { useEngine(GetParam()); }
};

TEST_P(StorageEngineTest, SettingsComeBackExactly) {
    ProgramSettings defaults;
    ASSERT_TRUE(open()->saveSettings(defaults).ok());
    const ProgramSettings cases[] = {
        {0xFFFFFFFFu, 65535, 0, std::numeric_limits<int32_t>::max(), std::string(300, 'P')},
        {0x7F000001u, 1, 65535, 0, "/dev/ttyUSB0 'quoted' \"twice\" \xC3\xA9"},
        {0u, 16384, 16384, 20, ""},
    };
    for (const ProgramSettings& saved : cases) {
        ASSERT_TRUE(open()->saveSettings(saved).ok()) << errors_.messages.back();
        ProgramSettings read;
        ASSERT_TRUE(open()->loadSettings(read).ok());
        EXPECT_EQ(read, saved);
    }
    EXPECT_TRUE(errors_.messages.empty());
}

TEST_P(StorageEngineTest, TrackerListIsReplacedWholeAndInOrder) {
    TrackerList first = test::sampleList(450, "A");  // more than one batch of rows
    TrackerEntry odd = test::sampleTracker(7, "Z");
    odd.description = std::string(400, 'd') + "'; DROP TABLE \"Trackers\"; --";
    odd.apn = "internet.\xE2\x82\xAC";
    odd.auth = std::numeric_limits<int32_t>::min();
    odd.deviceType = std::numeric_limits<int32_t>::max();
    odd.smsPassword.clear();
    first.add(odd);
    ASSERT_TRUE(open()->saveTrackers(first).ok());
    TrackerListStamp stamp = 0;
    const TrackerList read = load(&stamp);
    EXPECT_EQ(read.entries(), first.entries());
    EXPECT_EQ(stamp, StampOf(first));

    const TrackerList second = test::sampleList(3, "B");
    ASSERT_TRUE(open()->saveTrackers(second).ok());
    EXPECT_EQ(load().entries(), second.entries());
    ASSERT_TRUE(open()->saveTrackers(TrackerList()).ok());
    EXPECT_EQ(load().count(), 0);

    // Loading appends to what the list holds.
    ASSERT_TRUE(open()->saveTrackers(second).ok());
    TrackerList appended = test::sampleList(1, "X");
    TrackerListStamp unused = 0;
    ASSERT_TRUE(open()->loadTrackers(appended, unused).ok());
    EXPECT_EQ(appended.count(), 4);
    EXPECT_EQ(appended.at(1), second.at(0));
}

TEST_P(StorageEngineTest, SecondSaveOfAStaleListIsRefused) {
    ASSERT_TRUE(open()->saveTrackers(test::sampleList(5, "A")).ok());
    TrackerListStamp mine = 0;
    TrackerListStamp theirs = 0;
    TrackerList myList = load(&mine);
    TrackerList theirList = load(&theirs);
    ASSERT_EQ(mine, theirs);

    theirList.removeAt(2);
    bool changedMeanwhile = true;
    ASSERT_TRUE(open()->saveTrackersIfUnchanged(theirList, theirs, changedMeanwhile).ok());
    EXPECT_FALSE(changedMeanwhile);

    myList.add(test::sampleTracker(9, "M"));
    errors_.messages.clear();
    const Status refused = open()->saveTrackersIfUnchanged(myList, mine, changedMeanwhile);
    EXPECT_FALSE(refused.ok());
    EXPECT_TRUE(changedMeanwhile);
    EXPECT_NE(refused.message().find(kTrackersChangedMeanwhile), std::string::npos);
    ASSERT_EQ(errors_.messages.size(), 1u);
    EXPECT_EQ(load().entries(), theirList.entries());  // their change is kept

    // After a reload the same change goes through.
    TrackerList reloaded = load(&mine);
    reloaded.add(test::sampleTracker(9, "M"));
    ASSERT_TRUE(open()->saveTrackersIfUnchanged(reloaded, mine, changedMeanwhile).ok());
    EXPECT_EQ(load().entries(), reloaded.entries());
}

TEST_P(StorageEngineTest, HistoryIsAppendedAndFiltered) {
    const std::vector<HistoryRecord> runs = {
        test::sampleRun(1, "A", Verdict::NoCall), test::sampleRun(2, "B", Verdict::Configured),
        test::sampleRun(3, "A", Verdict::Configured), test::sampleRun(4, "C", Verdict::Rejected)};
    ASSERT_TRUE(open()->saveSettings(ProgramSettings()).ok());  // a database without runs
    Result<std::vector<HistoryRecord>> none = open()->queryHistory({});
    ASSERT_TRUE(none.ok()) << none.message();
    EXPECT_TRUE(none.value().empty());
    for (const HistoryRecord& run : runs) ASSERT_TRUE(open()->appendHistory(run).ok());

    const struct {
        HistoryFilter filter;
        std::vector<int> days;  // newest first
    } cases[] = {
        {HistoryFilter{}, {4, 3, 2, 1}},
        {HistoryFilter{"A", {}, {}, {}, {}}, {3, 1}},
        {HistoryFilter{{}, Verdict::Configured, {}, {}, {}}, {3, 2}},
        {HistoryFilter{{}, {}, "2026-12-03", {}, {}}, {4, 3}},
        {HistoryFilter{{}, {}, {}, 2, {}}, {2}},
        {HistoryFilter{"A", {}, {}, {}, 1}, {3}},
        {HistoryFilter{"nobody", {}, {}, {}, {}}, {}},
    };
    for (const auto& c : cases) {
        Result<std::vector<HistoryRecord>> found = open()->queryHistory(c.filter);
        ASSERT_TRUE(found.ok()) << found.message();
        ASSERT_EQ(found.value().size(), c.days.size());
        for (size_t i = 0; i < c.days.size(); ++i) {
            HistoryRecord expected = runs[static_cast<size_t>(c.days[i] - 1)];
            expected.id = found.value()[i].id;  // assigned by the database
            EXPECT_EQ(found.value()[i], expected);
        }
    }
}

// The options live beside the settings: they come back as saved, a newer version's rows
// stay, and a stored allow-list that cannot be read fails the load instead of letting
// everyone call.
TEST_P(StorageEngineTest, OptionsComeBackAndAnUnreadableAllowListFailsTheLoad) {
    StationOptions read;
    ASSERT_TRUE(open()->loadOptions(read).ok());  // no database yet: the defaults
    EXPECT_EQ(read, StationOptions{});
    const StationOptions saved{parseAddressAllowList("10.64.0.0/10 192.0.2.7").value(), true};
    ASSERT_TRUE(open()->saveOptions(saved).ok());
    const auto writeRow = [this](const char* name, const char* value) {
        const std::string sql = std::string("INSERT INTO \"Options\" VALUES ('") + name + "', '" +
                                value + "') ON CONFLICT (\"Name\") DO UPDATE SET \"Value\" = '" +
                                value + "'";
        if (url_) {
            ASSERT_TRUE(pg::Connection::open(*url_).value().execute(sql).ok());
        } else {
            ASSERT_TRUE(sqlite::Database::open(directory_.path() / "settings.accdb")
                            .value()
                            .execute(sql)
                            .ok());
        }
    };
    writeRow("from-a-newer-version", "kept");
    ASSERT_TRUE(open()->saveOptions(StationOptions{}).ok());
    ASSERT_TRUE(open()->loadOptions(read).ok());
    EXPECT_EQ(read, StationOptions{});
    ASSERT_TRUE(open()->saveOptions(saved).ok());
    ASSERT_TRUE(open()->loadOptions(read).ok());
    EXPECT_EQ(read, saved);

    writeRow(kOptionAllowFrom, "10.0.0.0/8, 300.1.2.3");
    read = saved;
    const Status refused = open()->loadOptions(read);
    EXPECT_EQ(refused.code(), StatusCode::Invalid);
    EXPECT_NE(refused.message().find("300.1.2.3"), std::string::npos) << refused.message();
    EXPECT_EQ(read, saved);  // untouched
    Result<StoredContent> content = open()->loadContent();
    EXPECT_FALSE(content.ok());
}

INSTANTIATE_TEST_SUITE_P(Engines, StorageEngineTest,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         [](const ::testing::TestParamInfo<Engine>& info) {
                             return info.param == Engine::kSqlite ? "Sqlite" : "Postgres";
                         });

// What only the shared database has: a server that goes away, and the schema.
class PgStorageTest : public StorageFixture {
protected:
    void SetUp() override { useEngine(Engine::kPostgres); }
};

TEST_F(PgStorageTest, ServerStoppedDuringASaveLeavesTheListBefore) {
    const TrackerList before = test::sampleList(300, "A");
    ASSERT_TRUE(open()->saveTrackers(before).ok());
    // The row "slow" of the next save waits on the server, in the middle of the rows.
    Result<pg::Connection> admin = pg::Connection::open(*url_);
    ASSERT_TRUE(admin.ok()) << admin.message();
    ASSERT_TRUE(admin.value()
                    .execute("CREATE FUNCTION slow() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                             "IF NEW.\"Imei\" = 'slow' THEN PERFORM pg_sleep(10); END IF; "
                             "RETURN NEW; END $$")
                    .ok());
    ASSERT_TRUE(admin.value()
                    .execute("CREATE TRIGGER slow BEFORE INSERT ON \"Trackers\" FOR EACH ROW "
                             "EXECUTE FUNCTION slow()")
                    .ok());
    TrackerList next = test::sampleList(900, "B");
    TrackerEntry slow = next.at(450);
    slow.description = "slow";
    next.replaceAt(450, slow);
    std::optional<Status> saved;
    std::thread saver([&] { saved = open()->saveTrackers(next); });
    bool waiting = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!waiting && std::chrono::steady_clock::now() < deadline) {
        Result<QueryResult> sleeping = admin.value().execute(
            "SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'PgSleep'");
        waiting = sleeping.ok() && sleeping.value().text(0, 0) == "1";
        if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(waiting);
    server().stop();
    saver.join();
    ASSERT_TRUE(saved.has_value());
    EXPECT_FALSE(saved->ok());
    EXPECT_NE(saved->message().find("Cannot save the tracker list to"), std::string::npos);

    TrackerList unreachable;
    TrackerListStamp stamp = 0;
    const Status failed = open()->loadTrackers(unreachable, stamp);
    EXPECT_FALSE(failed.ok());
    EXPECT_NE(
        failed.message().find("Cannot load the tracker list from postgresql://vela@127.0.0.1"),
        std::string::npos)
        << failed.message();
    EXPECT_NE(failed.message().find("Connection refused"), std::string::npos) << failed.message();

    ASSERT_TRUE(server().start()) << server().failure();
    const TrackerList after = load();
    EXPECT_EQ(after.entries(), before.entries()) << after.count() << " entries";
}

TEST_F(PgStorageTest, SchemaIsBroughtForwardAndANewerOneIsLeftAlone) {
    Result<pg::Connection> admin = pg::Connection::open(*url_);
    ASSERT_TRUE(admin.ok()) << admin.message();
    pg::Connection& db = admin.value();
    // Another tool made the Settings table already, with its own column types.
    ASSERT_TRUE(db.execute("CREATE TABLE \"Settings\" (\"ID\" serial PRIMARY KEY, \"IP\" integer, "
                           "\"EPort\" integer, \"LPort\" integer, \"Timeout\" integer, "
                           "\"MPort\" varchar(255))")
                    .ok());
    ASSERT_TRUE(db.execute("INSERT INTO \"Settings\" (\"IP\", \"EPort\", \"LPort\", \"Timeout\", "
                           "\"MPort\") VALUES (-1, 70000, 2000, 30, 'COM9')")
                    .ok());
    ProgramSettings read;
    ASSERT_TRUE(open()->loadSettings(read).ok());
    EXPECT_EQ(read.externalIp, 0xFFFFFFFFu);
    EXPECT_EQ(read.externalPort, ProgramSettings().externalPort);  // out of range: default
    EXPECT_EQ(read.modemPort, "COM9");
    ASSERT_EQ(errors_.messages.size(), 1u);
    EXPECT_NE(errors_.messages[0].find("the stored EPort 70000 is out of range"),
              std::string::npos);
    EXPECT_EQ(pg::SchemaVersion(db).value(), pg::LatestSchemaVersion());

    ASSERT_TRUE(db.execute("UPDATE \"VelaSchema\" SET \"Version\" = 99").ok());
    ASSERT_TRUE(open()->saveTrackers(test::sampleList(2)).ok());
    EXPECT_EQ(load().count(), 2);
    EXPECT_EQ(pg::SchemaVersion(db).value(), 99);
}

TEST_F(PgStorageTest, StationsStartingTogetherMakeTheTablesOnce) {
    constexpr int kStations = 6;
    std::vector<std::thread> stations;
    std::vector<std::string> failures(kStations);
    for (int i = 0; i < kStations; ++i) {
        stations.emplace_back([&, i] {
            TrackerList list;
            TrackerListStamp stamp = 0;
            const Status loaded = OpenStorage({}, url_)->loadTrackers(list, stamp);
            if (!loaded) failures[static_cast<size_t>(i)] = loaded.message();
        });
    }
    for (std::thread& station : stations) station.join();
    for (const std::string& failure : failures) EXPECT_EQ(failure, "");
    Result<pg::Connection> db = pg::Connection::open(*url_);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(pg::SchemaVersion(db.value()).value(), pg::LatestSchemaVersion());
    Result<QueryResult> rows = db.value().execute("SELECT count(*) FROM \"VelaSchema\"");
    ASSERT_TRUE(rows.ok());
    EXPECT_EQ(rows.value().text(0, 0), "1");
}

TEST(StorageChoiceTest, DatabaseOptionWinsOverEnvironment) {
    const struct {
        std::optional<std::string> option;
        const char* environment;
        std::optional<std::string> url;  // nullopt: SQLite
        const char* failure;             // non-null: refused with this text
    } cases[] = {
        {std::nullopt, nullptr, std::nullopt, nullptr},
        {std::nullopt, "", std::nullopt, nullptr},
        {std::nullopt, "postgresql://vela@db/vela", "postgresql://vela@db/vela", nullptr},
        {"postgres://a@b/c", "postgresql://vela@db/vela", "postgres://a@b/c", nullptr},
        {"settings.accdb", nullptr, std::nullopt, "--database 'settings.accdb' is not a"},
        {std::nullopt, "host=db password=x", std::nullopt, "VELA_DATABASE 'password=*** host=db'"},
        {"", nullptr, std::nullopt, "is not a PostgreSQL URL"},
    };
    for (const auto& c : cases) {
        if (c.environment) {
            ::setenv(kDatabaseEnvironmentVariable, c.environment, 1);
        } else {
            ::unsetenv(kDatabaseEnvironmentVariable);
        }
        const Result<std::optional<std::string>> chosen = ChosenDatabaseUrl(c.option);
        if (c.failure) {
            ASSERT_FALSE(chosen.ok());
            EXPECT_NE(chosen.message().find(c.failure), std::string::npos) << chosen.message();
        } else {
            ASSERT_TRUE(chosen.ok()) << chosen.message();
            EXPECT_EQ(chosen.value(), c.url);
        }
    }
    ::unsetenv(kDatabaseEnvironmentVariable);
}

}  // namespace
}  // namespace vela
