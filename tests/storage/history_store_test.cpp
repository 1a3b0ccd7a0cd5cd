#include "storage/history_store.h"
#include "storage/database_file.h"
#include "storage/schema.h"
#include "storage/tracker_store.h"

#include "store_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

namespace fs = std::filesystem;

HistoryRecord sampleRun(int n, Verdict verdict, const std::string& tracker) {
    HistoryRecord record;
    record.startedAt = "2026-12-0" + std::to_string(n) + "T10:00:00Z";
    record.endedAt = "2026-12-0" + std::to_string(n) + "T10:00:05Z";
    record.kind = kRunKindListen;
    record.tracker = tracker;
    record.phone = "3706000000" + std::to_string(n);
    record.configFile = "/tmp/config " + std::to_string(n) + ".xml";
    record.configSha256 = std::string(64, 'a');
    record.imageBytes = 559;
    record.callerAddress = "127.0.0.1:40000";
    record.callerImei = tracker;
    if (verdict == Verdict::Configured) record.answerBytes = 559;
    record.verdict = verdict;
    record.detail = "it's \"quoted\", with commas";
    return record;
}

class HistoryStoreTest : public ::testing::Test {
protected:
    fs::path file() const { return dir.path() / "settings.accdb"; }
    HistoryStore store() { return HistoryStore(dir.path(), errors.reporter()); }
    std::vector<HistoryRecord> query(const HistoryFilter& filter = {}) {
        Result<std::vector<HistoryRecord>> rows = store().query(filter);
        EXPECT_TRUE(rows) << rows.message();
        return rows ? rows.value() : std::vector<HistoryRecord>{};
    }

    test::TempDir dir;
    test::ReportedErrors errors;
};

// A record goes only where a save may go: not into a file that others can read.
TEST_F(HistoryStoreTest, AppendKeepsTheStoresRuleOnPrivateFiles) {
    ASSERT_TRUE(TrackerStore(dir.path()).save(test::sampleList(1)));
    fs::permissions(file(), fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    const Status refused = store().append(sampleRun(1, Verdict::Configured, "356307042441013"));
    EXPECT_FALSE(refused.ok());
    EXPECT_NE(refused.message().find("permissions"), std::string::npos) << refused.message();
    fs::permissions(file(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(query().empty());
}

// A database as another tool writes it: the two specified tables only, version 0.
TEST_F(HistoryStoreTest, FirstAppendMigratesADatabaseWithOnlyTheSpecifiedTables) {
    ASSERT_TRUE(createDatabase(file(), false));
    ASSERT_TRUE(TrackerStore(dir.path()).save(test::sampleList(2)));
    EXPECT_EQ(test::runSqliteCli(file(), "PRAGMA user_version;"), "0\n");
    EXPECT_TRUE(query().empty());  // no table yet is no history yet

    ASSERT_TRUE(store().append(sampleRun(1, Verdict::Configured, "356307042441013")));
    EXPECT_EQ(test::runSqliteCli(file(), "PRAGMA user_version;"),
              std::to_string(LatestSchemaVersion()) + "\n");
    EXPECT_EQ(test::runSqliteCli(file(), "SELECT count(*) FROM Trackers;"), "2\n");
    // Migrating again (the next append) changes nothing and keeps the row.
    ASSERT_TRUE(store().append(sampleRun(2, Verdict::Rejected, "356307042441013")));
    EXPECT_EQ(query().size(), 2u);
    EXPECT_TRUE(errors.messages.empty());
}

TEST_F(HistoryStoreTest, RowsComeBackWholeNewestFirstAndFiltered) {
    // Without a database a record is not kept, and no database is made for it.
    ASSERT_TRUE(store().append(sampleRun(1, Verdict::Configured, "A")));
    EXPECT_FALSE(fs::exists(file()));
    EXPECT_TRUE(query().empty());
    ASSERT_TRUE(createDatabase(file(), false));
    const std::vector<HistoryRecord> written = {
        sampleRun(1, Verdict::Configured, "A"), sampleRun(2, Verdict::Rejected, "B"),
        sampleRun(3, Verdict::Configured, "B"), sampleRun(4, Verdict::NoCall, "A")};
    for (const HistoryRecord& record : written) ASSERT_TRUE(store().append(record));

    const std::vector<HistoryRecord> all = query();
    ASSERT_EQ(all.size(), 4u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        HistoryRecord expected = written[written.size() - 1 - i];
        expected.id = all[i].id;
        EXPECT_EQ(all[i], expected) << i;
        if (i > 0) {
            EXPECT_LT(all[i].id, all[i - 1].id);
        }
    }
    EXPECT_FALSE(all[0].answerBytes);  // NULL stays NULL
    EXPECT_FALSE(all[0].campaignId);

    struct Case {
        HistoryFilter filter;
        std::vector<std::string> startedDays;
    };
    const auto filter = [](std::optional<std::string> tracker, std::optional<Verdict> verdict,
                           std::optional<std::string> since, std::optional<int64_t> limit) {
        HistoryFilter made;
        made.tracker = std::move(tracker);
        made.verdict = verdict;
        made.since = std::move(since);
        made.limit = limit;
        return made;
    };
    const Case cases[] = {
        {filter("B", {}, {}, {}), {"03", "02"}},
        {filter({}, Verdict::Configured, {}, {}), {"03", "01"}},
        {filter({}, {}, "2026-12-03", {}), {"04", "03"}},
        {filter({}, {}, {}, 1), {"04"}},
        {filter("A", Verdict::Rejected, {}, {}), {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> days;
        for (const HistoryRecord& record : query(c.filter)) {
            days.push_back(record.startedAt.substr(8, 2));
        }
        EXPECT_EQ(days, c.startedDays);
    }
}

TEST_F(HistoryStoreTest, AFileThatIsNotADatabaseIsReportedNotThrownAway) {
    test::writeFile(file(), std::string(4096, 'x'));
    const Status appended = store().append(sampleRun(1, Verdict::Configured, "A"));
    EXPECT_FALSE(appended);
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_NE(errors.messages[0].find("Cannot write the run history"), std::string::npos);
    EXPECT_EQ(test::readFile(file()), std::string(4096, 'x'));
}

TEST(HistoryDate, AcceptsDatesAndTimestampsOnly) {
    EXPECT_TRUE(IsHistoryDate("2026-12-07"));
    EXPECT_TRUE(IsHistoryDate(HistoryTimestamp()));
    for (const char* bad : {"", "2026-1-07", "2026-12-07T", "yesterday", "2026-12-07 10:00:00"}) {
        EXPECT_FALSE(IsHistoryDate(bad)) << bad;
    }
}

TEST(VerdictWords, EveryWordReadsBackAsItsVerdict) {
    for (Verdict verdict : kAllVerdicts) {
        EXPECT_EQ(VerdictFromWord(VerdictWord(verdict)), verdict);
    }
    EXPECT_FALSE(VerdictFromWord("Configured"));
}

}  // namespace
}  // namespace vela
