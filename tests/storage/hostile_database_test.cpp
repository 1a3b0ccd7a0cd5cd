// Database files shaped by someone else: renamed columns, views in place of tables,
// planted triggers, views and virtual tables, numbers out of range, and files that other
// users own or may read. Each is reported with its reason and nothing is written.
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/settings_store.h"
#include "storage/table_rows.h"
#include "storage/tracker_store.h"

#include "store_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace vela {
namespace {

namespace fs = std::filesystem;

class HostileDatabase : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(createDatabase(file(), false));
        ASSERT_TRUE(TrackerStore(dir.path()).save(test::sampleList(2)));
    }
    fs::path file() const { return dir / "settings.accdb"; }
    std::string sql(const std::string& script) { return test::runSqliteCli(file(), script); }
    Status loadTrackers(TrackerList& list) {
        return TrackerStore(dir.path(), errors.reporter()).load(list);
    }
    Status saveTrackers(const TrackerList& list) {
        return TrackerStore(dir.path(), errors.reporter()).save(list);
    }
    // The last report holds `text`.
    void expectReported(const std::string& text) {
        ASSERT_FALSE(errors.messages.empty());
        EXPECT_NE(errors.messages.back().find(text), std::string::npos) << errors.messages.back();
    }

    test::TempDir dir;
    test::ReportedErrors errors;
};

TEST_F(HostileDatabase, ATableOfTheWrongShapeIsReportedAtLoadAndSave) {
    struct Case {
        const char* script;
        const char* reported;
    };
    const Case cases[] = {
        // Without the check, "Imei" in double quotes would read as the text Imei.
        {"ALTER TABLE Trackers RENAME COLUMN Imei TO Serial;",
         "the table Trackers lacks the column(s) Imei"},
        {"ALTER TABLE Settings RENAME COLUMN MPort TO Modem;"
         "ALTER TABLE Settings RENAME COLUMN LPort TO Listen;",
         "the table Settings lacks the column(s) LPort, MPort"},
        {"ALTER TABLE Trackers RENAME TO Old; CREATE VIEW Trackers AS SELECT * FROM Old;",
         "Trackers is a view, not a table"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        ASSERT_TRUE(createDatabase(file(), true));
        sql(c.script);
        errors.messages.clear();
        TrackerList list;
        EXPECT_FALSE(loadTrackers(list));
        expectReported(c.reported);
        EXPECT_EQ(list.count(), 0);
        EXPECT_FALSE(saveTrackers(test::sampleList(1)));
        expectReported(c.reported);
    }
}

// SQLite finds a column whatever the case of its name, and so does the check.
TEST_F(HostileDatabase, ColumnNamesInAnotherCaseAreTheSameColumns) {
    sql("ALTER TABLE Trackers RENAME COLUMN Imei TO IMEI;"
        "ALTER TABLE Settings RENAME COLUMN MPort TO mport;");
    TrackerList list;
    ASSERT_TRUE(loadTrackers(list)) << (errors.messages.empty() ? "" : errors.messages.back());
    EXPECT_EQ(list.entries(), test::sampleList(2).entries());
    EXPECT_TRUE(saveTrackers(test::sampleList(3, "N")));
    EXPECT_TRUE(SettingsStore(dir.path(), errors.reporter()).save(ProgramSettings{}));
    EXPECT_EQ(sql("SELECT group_concat(IMEI) FROM Trackers;"), "35600N0,35600N1,35600N2\n");
}

// This program creates none of them; one planted in the file is never run.
TEST_F(HostileDatabase, TriggersViewsAndVirtualTablesAreRefusedAtOpen) {
    struct Case {
        const char* script;
        const char* reported;
    };
    const Case cases[] = {
        {"CREATE TABLE Loot (p TEXT); CREATE TRIGGER copy AFTER INSERT ON Trackers "
         "BEGIN INSERT INTO Loot VALUES (new.SMSpass); END;",
         "the database holds trigger 'copy', which this program never creates"},
        {"CREATE VIEW History AS SELECT 1;", "the database holds view 'History'"},
        {"CREATE VIRTUAL TABLE Notes USING fts5(x);", "the database holds virtual table 'Notes'"},
        {"CREATE TABLE L (x); CREATE TRIGGER \"a\x1b[2J\" AFTER INSERT ON L BEGIN SELECT 1; END;"
         "CREATE TRIGGER b AFTER INSERT ON L BEGIN SELECT 1; END;"
         "CREATE TRIGGER c AFTER INSERT ON L BEGIN SELECT 1; END;"
         "CREATE TRIGGER d AFTER INSERT ON L BEGIN SELECT 1; END;"
         "CREATE TRIGGER e AFTER INSERT ON L BEGIN SELECT 1; END;"
         "CREATE TRIGGER f AFTER INSERT ON L BEGIN SELECT 1; END;",
         "trigger 'a\\x1B[2J', trigger 'b', trigger 'c', trigger 'd', trigger 'e' and 1 more"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        ASSERT_TRUE(createDatabase(file(), true));
        ASSERT_TRUE(saveTrackers(test::sampleList(2)));
        sql(c.script);
        const std::string before = test::readFile(file());
        errors.messages.clear();
        TrackerList list;
        EXPECT_FALSE(loadTrackers(list));
        expectReported(c.reported);
        EXPECT_FALSE(saveTrackers(test::sampleList(1, "N")));
        expectReported(c.reported);
        EXPECT_EQ(test::readFile(file()), before);
    }
}

TEST_F(HostileDatabase, DoubleQuotedNamesAreNeverReadAsTexts) {
    Result<sqlite::Database> db = sqlite::Database::open(file());
    ASSERT_TRUE(db);
    Result<sqlite::Statement> query = db.value().prepare("SELECT \"NoSuchColumn\" FROM Trackers");
    ASSERT_FALSE(query);
    EXPECT_EQ(query.message(), "no such column: NoSuchColumn");
    // Defensive mode: the schema cannot be rewritten behind SQLite's back.
    ASSERT_TRUE(db.value().execute("PRAGMA writable_schema = ON"));
    EXPECT_FALSE(db.value().execute("UPDATE sqlite_master SET sql = 'x' WHERE name = 'Trackers'"));
    Result<sqlite::Statement> trusted = db.value().prepare("PRAGMA trusted_schema");
    ASSERT_TRUE(trusted);
    ASSERT_TRUE(trusted.value().step().value());
    EXPECT_EQ(trusted.value().columnInt(0), 0);
}

// Behind the check at open, on a bare connection: a save must keep exactly the rows it
// wrote, and no statement runs past its budget.
TEST_F(HostileDatabase, ASaveThatDoesNotKeepItsRowsFailsAndKeepsTheOldOnes) {
    struct Case {
        const char* trigger;
        const char* reported;
    };
    const Case cases[] = {
        {"CREATE TRIGGER eat AFTER INSERT ON Trackers WHEN new.Imei LIKE '%1' "
         "BEGIN DELETE FROM Trackers WHERE ID = new.ID; END;",
         "the table Trackers holds 2 rows after writing 3"},
        {"CREATE TRIGGER twin AFTER INSERT ON Trackers WHEN new.Imei NOT LIKE 'twin%' "
         "BEGIN INSERT INTO Trackers (Imei) VALUES ('twin' || new.Imei); END;",
         "the table Trackers holds 6 rows after writing 3"},
        {"CREATE TRIGGER twin AFTER INSERT ON Settings WHEN new.MPort <> 'twin' "
         "BEGIN INSERT INTO Settings (MPort) VALUES ('twin'); END;",
         "the table Settings holds 2 rows after writing 1"},
        {"CREATE TRIGGER spin AFTER INSERT ON Trackers BEGIN SELECT count(*) FROM "
         "(WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n) SELECT x FROM n); END;",
         "a statement ran longer than 5 s and was stopped"},
    };
    ASSERT_TRUE(SettingsStore(dir.path()).save(ProgramSettings{}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trigger);
        sql("DROP TRIGGER IF EXISTS eat; DROP TRIGGER IF EXISTS twin; DROP TRIGGER IF EXISTS "
            "spin;");
        sql(c.trigger);
        const std::string rowsBefore = sql("SELECT count(*) FROM Trackers, Settings;");
        Result<sqlite::Database> db = sqlite::Database::open(file());
        ASSERT_TRUE(db);
        const auto start = std::chrono::steady_clock::now();
        {
            Result<sqlite::Transaction> transaction = sqlite::Transaction::begin(db.value());
            ASSERT_TRUE(transaction);
            ProgramSettings settings;
            settings.modemPort = "new";
            Status saved = ReplaceSettingsRows(db.value(), settings);
            if (saved) saved = ReplaceTrackerRows(db.value(), test::sampleList(3, "N"));
            ASSERT_FALSE(saved);
            EXPECT_NE(saved.message().find(c.reported), std::string::npos) << saved.message();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, sqlite::kStatementBudget * 3);
        EXPECT_EQ(sql("SELECT group_concat(Imei) FROM Trackers;"), "35600T0,35600T1\n");
        EXPECT_EQ(sql("SELECT count(*) FROM Trackers, Settings;"), rowsBefore);
    }
}

TEST_F(HostileDatabase, NumbersOutOfRangeAreReportedAndReplacedByTheDefaults) {
    sql("INSERT INTO Settings (IP, EPort, LPort, Timeout, MPort) VALUES (1, -1, 65536, -5, 'x');"
        "UPDATE Trackers SET Port = 70000 WHERE Imei = '35600T1';");
    ProgramSettings settings;
    ASSERT_TRUE(SettingsStore(dir.path(), errors.reporter()).load(settings));
    EXPECT_EQ(settings.externalPort, 16384);
    EXPECT_EQ(settings.localPort, 16384);
    EXPECT_EQ(settings.timeoutSeconds, 20);
    EXPECT_EQ(settings.modemPort, "x");
    ASSERT_EQ(errors.messages.size(), 3u);
    EXPECT_NE(errors.messages[2].find("Timeout -5 is out of range"), std::string::npos);

    TrackerList list;
    ASSERT_TRUE(loadTrackers(list));
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.at(0).pushPort, 2001);  // sampleTracker(0) stores 2001 itself
    EXPECT_EQ(list.at(1).pushPort, 2001);
    expectReported(
        "the stored Port 70000 of tracker '35600T1' is out of range (0 to 65535); "
        "the default 2001 is used");
    EXPECT_EQ(errors.messages.size(), 4u);
}

TEST_F(HostileDatabase, AFileOthersMayReadOrThatIsNotOursIsNeverWritten) {
    struct Case {
        mode_t mode;
        uid_t owner;
        const char* reported;
    };
    const uid_t me = ::geteuid();
    const Case cases[] = {
        {0644, me, "permissions 0644 are too open"},
        {0620, me, "permissions 0620 are too open"},
        {0600, me + 1, "the file belongs to another user (uid "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported);
        if (c.owner != me && me != 0) GTEST_SKIP() << "giving a file away needs root";
        ASSERT_EQ(::chown(file().c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::chmod(file().c_str(), c.mode), 0);
        const std::string before = test::readFile(file());
        EXPECT_FALSE(saveTrackers(test::sampleList(1, "N")));
        expectReported(c.reported);
        EXPECT_FALSE(SettingsStore(dir.path(), errors.reporter()).save(ProgramSettings{}));
        expectReported(c.reported);
        EXPECT_EQ(test::readFile(file()), before);
        TrackerList list;  // reading stays possible
        EXPECT_TRUE(loadTrackers(list));
        EXPECT_EQ(list.count(), 2);
        ASSERT_EQ(::chown(file().c_str(), me, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::chmod(file().c_str(), 0600), 0);
    }
}

TEST(HostileDatabaseFile, AFifoOrDirectoryInItsPlaceIsRefusedAtOnce) {
    using Make = void (*)(const fs::path&);
    const std::pair<Make, const char*> cases[] = {
        {[](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "it is a FIFO"},
        {[](const fs::path& p) { fs::create_directory(p); }, "it is a directory"},
    };
    for (const auto& [make, reported] : cases) {
        SCOPED_TRACE(reported);
        test::TempDir dir;
        make(dir / "settings.accdb");
        test::ReportedErrors errors;
        TrackerList list;
        EXPECT_FALSE(TrackerStore(dir.path(), errors.reporter()).load(list));
        EXPECT_FALSE(SettingsStore(dir.path(), errors.reporter()).save(ProgramSettings{}));
        ASSERT_EQ(errors.messages.size(), 2u);
        for (const std::string& message : errors.messages) {
            EXPECT_NE(message.find(reported), std::string::npos) << message;
        }
    }
}

}  // namespace
}  // namespace vela
