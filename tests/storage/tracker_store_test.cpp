#include "storage/tracker_store.h"
#include "storage/database_file.h"

#include "store_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vela {
namespace {

namespace fs = std::filesystem;

class TrackerStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(createDatabase(file(), false)); }
    fs::path file() const { return dir.path() / "settings.accdb"; }
    TrackerStore store() { return TrackerStore(dir.path(), errors.reporter()); }
    std::string sql(const std::string& script) { return test::runSqliteCli(file(), script); }
    TrackerList loaded() {
        TrackerList list;
        EXPECT_TRUE(store().load(list));
        return list;
    }

    test::TempDir dir;
    test::ReportedErrors errors;
};

TEST_F(TrackerStoreTest, EmptyTableLoadsEmptyAndAnEmptyListEmptiesTheTable) {
    EXPECT_EQ(loaded().count(), 0);
    ASSERT_TRUE(store().save(test::sampleList(2)));
    ASSERT_TRUE(store().save(TrackerList{}));
    EXPECT_EQ(sql("SELECT count(*) FROM Trackers;"), "0\n");
    EXPECT_TRUE(errors.messages.empty());
}

TEST_F(TrackerStoreTest, SaveReplacesFiveRowsByThreeInListOrderWithAssignedIds) {
    ASSERT_TRUE(store().save(test::sampleList(5, "old")));
    TrackerList three;
    three.add(test::sampleTracker(3, "new"));
    three.add(test::sampleTracker(1, "new"));
    three.add(test::sampleTracker(2, "new"));
    ASSERT_TRUE(store().save(three));
    EXPECT_EQ(sql("SELECT count(*), count(DISTINCT ID), min(ID) > 0 FROM Trackers;"), "3|3|1\n");
    // IDs follow the list order: the natural order of the table is the order of the save.
    EXPECT_EQ(sql("SELECT Imei FROM Trackers ORDER BY ID;"), "35600new3\n35600new1\n35600new2\n");
    EXPECT_EQ(loaded().entries(), three.entries());
}

TEST_F(TrackerStoreTest, EveryFieldRoundTripsAndLoadAppendsBehindExistingEntries) {
    TrackerList saved = test::sampleList(4);
    TrackerEntry extreme = test::sampleTracker(9);
    extreme.pushPort = 65535;
    extreme.auth = kAuthPap;
    extreme.deviceType = -1;
    extreme.smsPassword = "it's \"quoted\"; DROP TABLE Trackers; --";
    saved.add(extreme);
    ASSERT_TRUE(store().save(saved));

    TrackerList list;
    list.add(test::sampleTracker(1, "mine"));
    ASSERT_TRUE(store().load(list));
    ASSERT_EQ(list.count(), 6);
    EXPECT_EQ(list.at(0), test::sampleTracker(1, "mine"));
    for (int i = 0; i < saved.count(); ++i) EXPECT_EQ(list.at(i + 1), saved.at(i));
}

TEST_F(TrackerStoreTest, AbsentTextsLoadEmptyAndAbsentNumbersZero) {
    sql("INSERT INTO Trackers (Imei) VALUES ('only');"
        "INSERT INTO Trackers (ID) VALUES (NULL);");
    TrackerList list = loaded();
    ASSERT_EQ(list.count(), 2);
    TrackerEntry expected;
    expected.description = "only";
    EXPECT_EQ(list.at(0), expected);
    EXPECT_EQ(list.at(1), TrackerEntry{});
}

// D12: texts beyond 255 characters are neither cut nor refused.
TEST_F(TrackerStoreTest, LongTextsAreKeptWhole) {
    TrackerEntry entry = test::sampleTracker(1);
    entry.description = std::string(256, 'd');
    entry.apn = std::string(5000, 'a');
    entry.gprsPassword = std::string(300, 'p') + "\xC3\xA4";
    TrackerList list;
    list.add(entry);
    ASSERT_TRUE(store().save(list));
    EXPECT_EQ(sql("SELECT length(Imei), length(APN) FROM Trackers;"), "256|5000\n");
    EXPECT_EQ(loaded().at(0), entry);
}

// D11: deletions and insertions are one transaction.
TEST_F(TrackerStoreTest, AFailedSaveLeavesThePreviousRowsAndTheList) {
    const TrackerList before = test::sampleList(5, "old");
    ASSERT_TRUE(store().save(before));
    test::refuseRowsWhere(file(), "Trackers", "Imei = 'bad'");
    TrackerList list = test::sampleList(3, "new");
    TrackerEntry bad = test::sampleTracker(0);
    bad.description = "bad";
    list.add(bad);
    list.add(test::sampleTracker(4, "new"));
    const TrackerList copy = list;

    Status saved = store().save(list);
    ASSERT_FALSE(saved);
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.messages[0], "Cannot save the tracker list to " + file().string() +
                                      ": CHECK constraint failed: refused");
    EXPECT_EQ(list.entries(), copy.entries());
    EXPECT_EQ(loaded().entries(), before.entries());
}

TEST_F(TrackerStoreTest, AMissingTableIsReportedByLoadAndSave) {
    sql("DROP TABLE Trackers;");
    TrackerList list;
    list.add(test::sampleTracker(1));
    Status loadedStatus = store().load(list);
    ASSERT_FALSE(loadedStatus);
    EXPECT_EQ(list.count(), 1);
    Status saved = store().save(list);
    ASSERT_FALSE(saved);
    ASSERT_EQ(errors.messages.size(), 2u);
    EXPECT_EQ(errors.messages[0],
              "Cannot load the tracker list from " + file().string() + ": no such table: Trackers");
    EXPECT_EQ(errors.messages[1],
              "Cannot save the tracker list to " + file().string() + ": no such table: Trackers");
    EXPECT_EQ(sql("SELECT count(*) FROM sqlite_master WHERE name = 'Trackers';"), "0\n");
}

// D10: the tracker list is not lost at save when the database is missing.
TEST(TrackerStoreMissing, LoadReportsAndSaveCreatesTheDatabase) {
    test::TempDir dir;
    test::ReportedErrors errors;
    TrackerStore store(dir.path(), errors.reporter());
    TrackerList list;
    ASSERT_FALSE(store.load(list));
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_NE(errors.messages[0].find("will be created on the first save"), std::string::npos);

    const TrackerList saved = test::sampleList(3);
    ASSERT_TRUE(store.save(saved));
    struct stat info {};
    ASSERT_EQ(::stat((dir.path() / "settings.accdb").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    TrackerList back;
    ASSERT_TRUE(store.load(back));
    EXPECT_EQ(back.entries(), saved.entries());
    EXPECT_EQ(errors.messages.size(), 1u);
}

}  // namespace
}  // namespace vela
