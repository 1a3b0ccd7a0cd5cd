#include "storage/settings_store.h"
#include "storage/database_file.h"

#include "store_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vela {
namespace {

namespace fs = std::filesystem;

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(createDatabase(file(), false)) << "fresh database"; }
    fs::path file() const { return dir.path() / "settings.accdb"; }
    SettingsStore store() { return SettingsStore(dir.path(), errors.reporter()); }
    std::string sql(const std::string& script) { return test::runSqliteCli(file(), script); }

    test::TempDir dir;
    test::ReportedErrors errors;
};

ProgramSettings changed() {
    ProgramSettings s;
    s.externalIp = 0xC0A80102;  // 192.168.1.2
    s.externalPort = 0x4001;
    s.localPort = 5000;
    s.timeoutSeconds = 33;
    s.modemPort = "COM7";
    return s;
}

TEST_F(SettingsStoreTest, AnEmptyTableKeepsTheDefaultsAndTheFirstSaveMakesOneRow) {
    ProgramSettings settings;
    ASSERT_TRUE(store().load(settings));
    EXPECT_EQ(settings, ProgramSettings{});
    EXPECT_EQ(settings.modemPort, "COM3");
    EXPECT_EQ(settings.localPort, 16384);
    EXPECT_TRUE(errors.messages.empty());

    ASSERT_TRUE(store().save(changed()));
    EXPECT_EQ(sql("SELECT IP, EPort, LPort, Timeout, MPort FROM Settings;"),
              "-1062731518|16385|5000|33|COM7\n");
    ProgramSettings loaded;
    ASSERT_TRUE(store().load(loaded));
    EXPECT_EQ(loaded, changed());
}

TEST_F(SettingsStoreTest, LoadTakesTheFirstOfSeveralRowsAndSaveLeavesOne) {
    sql("INSERT INTO Settings (IP, EPort, LPort, Timeout, MPort) VALUES "
        "(16909060, 1, 2, 3, 'COM1'), (0, 4, 5, 6, 'COM2'), (0, 7, 8, 9, 'COM9');");
    ProgramSettings settings;
    ASSERT_TRUE(store().load(settings));
    EXPECT_EQ(formatIpv4(settings.externalIp), "1.2.3.4");
    EXPECT_EQ(settings.externalPort, 1);
    EXPECT_EQ(settings.modemPort, "COM1");

    ASSERT_TRUE(store().save(settings));
    EXPECT_EQ(sql("SELECT count(*), MPort FROM Settings;"), "1|COM1\n");
}

TEST_F(SettingsStoreTest, AllOnesAddressIsStoredAsMinusOneAndEmptyModemPortStaysEmpty) {
    ProgramSettings settings;
    settings.externalIp = 0xFFFFFFFF;
    settings.modemPort = "";
    ASSERT_TRUE(store().save(settings));
    EXPECT_EQ(sql("SELECT IP, quote(MPort) FROM Settings;"), "-1|''\n");
    ProgramSettings loaded;
    ASSERT_TRUE(store().load(loaded));
    EXPECT_EQ(loaded.externalIp, 0xFFFFFFFFu);
    EXPECT_EQ(formatIpv4(loaded.externalIp), "255.255.255.255");
    EXPECT_EQ(loaded.modemPort, "");
}

TEST_F(SettingsStoreTest, AbsentValuesReadAsZeroAndEmptyText) {
    sql("INSERT INTO Settings (ID) VALUES (NULL);");
    ProgramSettings settings;
    ASSERT_TRUE(store().load(settings));
    EXPECT_EQ(settings.externalIp, 0u);
    EXPECT_EQ(settings.externalPort, 0);
    EXPECT_EQ(settings.localPort, 0);
    EXPECT_EQ(settings.timeoutSeconds, 0);
    EXPECT_EQ(settings.modemPort, "");
}

// D12: nothing is cut at 255 characters.
TEST_F(SettingsStoreTest, LongModemPortIsKeptWhole) {
    ProgramSettings settings;
    settings.modemPort = "/dev/serial/by-id/" + std::string(1000, 'x');
    ASSERT_TRUE(store().save(settings));
    ProgramSettings loaded;
    ASSERT_TRUE(store().load(loaded));
    EXPECT_EQ(loaded.modemPort, settings.modemPort);
}

// D11: the deletion and the insertion are one transaction.
TEST_F(SettingsStoreTest, AFailedSaveLeavesThePreviousRow) {
    ASSERT_TRUE(store().save(changed()));
    test::refuseRowsWhere(file(), "Settings", "MPort = 'bad'");
    ProgramSettings bad = changed();
    bad.modemPort = "bad";
    Status saved = store().save(bad);
    ASSERT_FALSE(saved);
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.messages[0], saved.message());
    EXPECT_EQ(saved.message(), "Cannot save the settings to " + file().string() +
                                   ": CHECK constraint failed: refused");
    EXPECT_EQ(sql("SELECT count(*), MPort FROM Settings;"), "1|COM7\n");
    EXPECT_FALSE(fs::exists(file().string() + "-journal"));
}

// D10: a missing database is reported at load and created by the first save.
TEST(SettingsStoreMissing, LoadReportsAndSaveCreatesTheDatabaseOwnerOnly) {
    test::TempDir dir;
    test::ReportedErrors errors;
    SettingsStore store(dir.path(), errors.reporter());
    const fs::path file = dir.path() / "settings.accdb";

    ProgramSettings settings = changed();
    Status loaded = store.load(settings);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(settings, changed());
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.messages[0], "Cannot load the settings from " + file.string() +
                                      ": the database does not exist; it will be created on "
                                      "the first save");
    EXPECT_FALSE(fs::exists(file));  // loading never creates it

    ASSERT_TRUE(store.save(changed()));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(test::runSqliteCli(
                  file, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;"),
              "Settings\nTrackers\n");
    ProgramSettings back;
    ASSERT_TRUE(store.load(back));
    EXPECT_EQ(back, changed());
}

TEST(SettingsStoreMissing, SaveIntoAMissingFolderFailsAndLeavesNothing) {
    test::TempDir dir;
    test::ReportedErrors errors;
    SettingsStore store(dir.path() / "no-such-folder", errors.reporter());
    Status saved = store.save(ProgramSettings{});
    ASSERT_FALSE(saved);
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_NE(errors.messages[0].find("No such file or directory"), std::string::npos)
        << errors.messages[0];
}

}  // namespace
}  // namespace vela
