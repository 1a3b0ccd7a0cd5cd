// Databases made or read by other tools, and files that are not what they should be.
#include "storage/database_file.h"
#include "storage/settings_store.h"
#include "storage/tracker_store.h"

#include "store_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>

namespace vela {
namespace {

namespace fs = std::filesystem;
using test::runSqliteCli;

constexpr const char* kPlainSchema = R"(
CREATE TABLE Settings (ID INTEGER PRIMARY KEY, IP INTEGER, EPort INTEGER, LPort INTEGER,
                       Timeout INTEGER, MPort VARCHAR(255));
CREATE TABLE Trackers (ID INTEGER PRIMARY KEY, Imei VARCHAR(255), Phone VARCHAR(255),
                       Port INTEGER, APN VARCHAR(255), Auth INTEGER, SMSuser VARCHAR(255),
                       SMSpass VARCHAR(255), GPRSuser VARCHAR(255), GPRSpass VARCHAR(255),
                       Mode INTEGER);
)";

TEST(ForeignDatabase, ReadsWhatTheSqliteToolMadeFromAPlainSchemaScript) {
    test::TempDir dir;
    const fs::path file = dir / "settings.accdb";
    runSqliteCli(file, std::string(kPlainSchema) + R"(
INSERT INTO Settings (IP, EPort, LPort, Timeout, MPort) VALUES (-1, 16385, 8000, 25, 'COM4');
INSERT INTO Settings (IP, EPort, LPort, Timeout, MPort) VALUES (0, 1, 1, 1, 'COM1');
INSERT INTO Trackers VALUES (NULL, '356307042441013', '37060000000', 2001, 'internet', 1,
                             NULL, NULL, 'user', 'pass', 0);
INSERT INTO Trackers (Imei, APN, Auth) VALUES ('second', 'apn', 2);
)");
    test::ReportedErrors errors;
    ProgramSettings settings;
    ASSERT_TRUE(SettingsStore(dir.path(), errors.reporter()).load(settings));
    EXPECT_EQ(settings.externalIp, 0xFFFFFFFFu);
    EXPECT_EQ(settings.externalPort, 16385);
    EXPECT_EQ(settings.localPort, 8000);
    EXPECT_EQ(settings.timeoutSeconds, 25);
    EXPECT_EQ(settings.modemPort, "COM4");

    TrackerList list;
    ASSERT_TRUE(TrackerStore(dir.path(), errors.reporter()).load(list));
    ASSERT_EQ(list.count(), 2);
    TrackerEntry first;
    first.description = "356307042441013";
    first.phone = "37060000000";
    first.pushPort = 2001;
    first.apn = "internet";
    first.auth = kAuthChap;
    first.gprsUser = "user";
    first.gprsPassword = "pass";
    EXPECT_EQ(list.at(0), first);
    TrackerEntry second;
    second.description = "second";
    second.apn = "apn";
    second.auth = kAuthPap;
    EXPECT_EQ(list.at(1), second);
    EXPECT_TRUE(errors.messages.empty());

    // And the tool reads back what the store writes into its database.
    settings.externalIp = 0xC0A80102;
    ASSERT_TRUE(SettingsStore(dir.path()).save(settings));
    list.removeAt(0);
    ASSERT_TRUE(TrackerStore(dir.path()).save(list));
    EXPECT_EQ(runSqliteCli(file,
                           "SELECT IP, EPort, LPort, Timeout, MPort FROM Settings;"
                           "SELECT Imei, Phone, Port, APN, Auth, SMSuser, GPRSpass, Mode "
                           "FROM Trackers;"),
              "-1062731518|16385|8000|25|COM4\nsecond||0|apn|2|||0\n");
}

TEST(ForeignDatabase, ColumnsAreFoundByNameAndOutOfRangeNumbersFallBackToDefaults) {
    test::TempDir dir;
    runSqliteCli(dir / "settings.accdb", R"(
CREATE TABLE Settings (MPort TEXT, Extra TEXT, Timeout INT, LPort INT, EPort INT, IP BIGINT,
                       ID INTEGER PRIMARY KEY);
INSERT INTO Settings (MPort, Timeout, LPort, EPort, IP) VALUES ('/dev/ttyUSB0', 20, '4000', 70000,
                                                                4294967295);
)");
    test::ReportedErrors errors;
    ProgramSettings settings;
    ASSERT_TRUE(SettingsStore(dir.path(), errors.reporter()).load(settings));
    EXPECT_EQ(settings.externalIp, 0xFFFFFFFFu);
    EXPECT_EQ(settings.localPort, 4000);
    EXPECT_EQ(settings.externalPort, 16384);
    EXPECT_EQ(settings.modemPort, "/dev/ttyUSB0");
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_NE(errors.messages[0].find("EPort 70000 is out of range (0 to 65535); the default "
                                      "16384 is used"),
              std::string::npos)
        << errors.messages[0];
}

TEST(ForeignDatabase, TheTablesVelaCreatesHaveTheExactColumnsAndTypes) {
    test::TempDir dir;
    const fs::path file = dir / "settings.accdb";
    ASSERT_TRUE(TrackerStore(dir.path()).save(TrackerList{}));  // creates the database
    EXPECT_EQ(runSqliteCli(file, "SELECT name, type, pk FROM pragma_table_info('Settings');"),
              "ID|INTEGER|1\nIP|INTEGER|0\nEPort|INTEGER|0\nLPort|INTEGER|0\nTimeout|INTEGER|0\n"
              "MPort|VARCHAR(255)|0\n");
    EXPECT_EQ(runSqliteCli(file,
                           "SELECT group_concat(name || ':' || type || ':' || \"notnull\", ' ') "
                           "FROM pragma_table_info('Trackers');"),
              "ID:INTEGER:0 Imei:VARCHAR(255):0 Phone:VARCHAR(255):0 Port:INTEGER:0 "
              "APN:VARCHAR(255):0 Auth:INTEGER:0 SMSuser:VARCHAR(255):0 SMSpass:VARCHAR(255):0 "
              "GPRSuser:VARCHAR(255):0 GPRSpass:VARCHAR(255):0 Mode:INTEGER:0\n");
    EXPECT_EQ(runSqliteCli(file, "PRAGMA integrity_check;"), "ok\n");
}

TEST(ForeignDatabase, AFileThatIsNotADatabaseIsReportedAndLeftAlone) {
    test::TempDir dir;
    const fs::path file = dir / "settings.accdb";
    std::string text;
    for (int i = 0; i < 200; ++i) text += "this is a text file, not a database\n";
    test::writeFile(file, text);
    test::makePrivate(file);

    test::ReportedErrors errors;
    ProgramSettings settings;
    ASSERT_FALSE(SettingsStore(dir.path(), errors.reporter()).load(settings));
    EXPECT_EQ(settings, ProgramSettings{});
    TrackerList list;
    ASSERT_FALSE(TrackerStore(dir.path(), errors.reporter()).load(list));
    ASSERT_FALSE(TrackerStore(dir.path(), errors.reporter()).save(test::sampleList(2)));
    ASSERT_EQ(errors.messages.size(), 3u);
    EXPECT_EQ(errors.messages[0],
              "Cannot load the settings from " + file.string() + ": file is not a database");
    EXPECT_EQ(errors.messages[2],
              "Cannot save the tracker list to " + file.string() + ": file is not a database");
    EXPECT_EQ(test::readFile(file), text);
}

TEST(ForeignDatabase, ACorruptOrTruncatedDatabaseIsReportedWithoutACrash) {
    test::TempDir dir;
    const fs::path file = dir / "settings.accdb";
    ASSERT_TRUE(SettingsStore(dir.path()).save(ProgramSettings{}));
    ASSERT_TRUE(TrackerStore(dir.path()).save(test::sampleList(300)));
    const std::string good = test::readFile(file);
    ASSERT_GT(good.size(), 8u * 4096);

    // Garbage over every page behind the first two (the schema and Settings).
    std::string corrupt = good;
    for (size_t i = 2 * 4096; i < corrupt.size(); ++i) corrupt[i] = static_cast<char>(0xA5 ^ i);
    test::writeFile(file, corrupt);
    test::ReportedErrors errors;
    TrackerList list;
    ASSERT_FALSE(TrackerStore(dir.path(), errors.reporter()).load(list));
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_NE(errors.messages[0].find("malformed"), std::string::npos) << errors.messages[0];
    // A save either refuses the damaged file or leaves a table that reads back whole.
    const TrackerList replacement = test::sampleList(3, "R");
    if (TrackerStore(dir.path(), errors.reporter()).save(replacement)) {
        TrackerList back;
        ASSERT_TRUE(TrackerStore(dir.path()).load(back));
        EXPECT_EQ(back.entries(), replacement.entries());
    } else {
        EXPECT_EQ(errors.messages.size(), 2u);
    }

    test::writeFile(file, good.substr(0, good.size() / 2));
    errors.messages.clear();
    list = TrackerList{};
    ASSERT_FALSE(TrackerStore(dir.path(), errors.reporter()).load(list));
    EXPECT_LT(list.count(), 300);  // what was read before the damage stays
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_TRUE(errors.messages[0].starts_with("Cannot load the tracker list from " +
                                               file.string() + ": "));
}

TEST(ForeignDatabase, AnEmptyFileIsReportedAtLoadAndGetsTheTablesAtSave) {
    test::TempDir dir;
    test::writeFile(dir / "settings.accdb", "");
    test::makePrivate(dir / "settings.accdb");
    test::ReportedErrors errors;
    ProgramSettings settings;
    ASSERT_FALSE(SettingsStore(dir.path(), errors.reporter()).load(settings));
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_NE(errors.messages[0].find("no such table: Settings"), std::string::npos);
    settings.localPort = 4242;
    ASSERT_TRUE(SettingsStore(dir.path(), errors.reporter()).save(settings));
    ProgramSettings back;
    ASSERT_TRUE(SettingsStore(dir.path(), errors.reporter()).load(back));
    EXPECT_EQ(back.localPort, 4242);
    TrackerList list;
    EXPECT_TRUE(TrackerStore(dir.path(), errors.reporter()).load(list));
}

TEST(ForeignDatabase, CreateRefusesAnExistingFileUnlessToldToReplaceIt) {
    test::TempDir dir;
    const fs::path file = dir / "settings.accdb";
    ASSERT_TRUE(createDatabase(file, false));
    ASSERT_TRUE(TrackerStore(dir.path()).save(test::sampleList(3)));
    Status again = createDatabase(file, false);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.message(), file.string() + " already exists");
    test::writeFile(file.string() + "-journal", "stale journal of the old file");
    ASSERT_TRUE(createDatabase(file, true));
    EXPECT_FALSE(fs::exists(file.string() + "-journal"));
    TrackerList list;
    ASSERT_TRUE(TrackerStore(dir.path()).load(list));
    EXPECT_EQ(list.count(), 0);
}

}  // namespace
}  // namespace vela
