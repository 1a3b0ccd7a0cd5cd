// velactl db / settings / trackers, run as processes.
#include "storage/history_store.h"
#include "store_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vela {
namespace {

namespace fs = std::filesystem;
using test::RunResult;

class VelactlStorage : public ::testing::Test {
protected:
    RunResult velactl(std::vector<std::string> args,
                      const std::optional<std::string>& input = std::nullopt) {
        args.insert(args.begin(), test::toolPath("VELACTL"));
        return test::runProgram(args, std::chrono::seconds(60), dir.path(), input);
    }
    fs::path file() const { return dir.path() / "settings.accdb"; }
    test::TempDir dir;
};

// Written by hand, not by the program's CSV writer: quoting where RFC 4180 needs it.
std::string thousandTrackersCsv() {
    std::string csv = "Imei,Phone,Port,APN,Auth,SMSuser,SMSpass,GPRSuser,GPRSpass,Mode\r\n";
    for (int i = 0; i < 1000; ++i) {
        const std::string n = std::to_string(i);
        csv += "3563070424" + std::to_string(10000 + i) + ",3706" + std::to_string(1000000 + i) +
               "," + std::to_string(2001 + i) + ",internet" + n + "," + std::to_string(i % 3) +
               ",user" + n + ",\"p,a\"\"ss" + n + "\",," +
               (i % 7 == 0 ? "\"two\r\nlines\"" : "g" + n) + ",0\r\n";
    }
    return csv;
}

// A value another tool stored out of range refuses every run that would use the stored
// data, before the modem or the listener, with the value and its column named; then a
// corrected row runs as stored.
TEST_F(VelactlStorage, AStoredValueOutOfRangeRefusesTheRunsBeforeTheModem) {
    ASSERT_EQ(velactl({"settings", "set", "--modem-port", "/nonexistent/vela-modem"}).exitCode, 0);
    ASSERT_EQ(
        velactl({"trackers", "add", "--description", "356000000000001", "--phone", "1"}).exitCode,
        0);
    test::writeFile(dir / "device.xml", "<sys>\n<powermode>false</powermode>\n</sys>\n");
    const std::vector<std::vector<std::string>> runs = {
        {"pdu", "--tracker", "356000000000001"},
        {"sms", "--tracker", "356000000000001"},
        {"go", "--tracker", "356000000000001", "--config", "device.xml", "--timeout", "20"},
        {"listen", "--tracker", "356000000000001", "--config", "device.xml", "--timeout", "20"},
        {"check-port", "--timeout", "20"},
    };
    const struct {
        const char* update;
        const char* named;
    } cases[] = {
        {"UPDATE Settings SET EPort = 65536;", "EPort 65536"},
        {"UPDATE Settings SET LPort = -1;", "LPort -1"},
        {"UPDATE Trackers SET Port = 70000;", "Port 70000 of tracker '356000000000001'"},
    };
    for (const auto& c : cases) {
        test::runSqliteCli(file(), c.update);
        for (const auto& run : runs) {
            const RunResult result = velactl(run);
            const std::string shown = result.out + result.err;
            EXPECT_EQ(result.exitCode, 1) << c.update << " " << run[0] << "\n" << shown;
            EXPECT_NE(shown.find(c.named), std::string::npos) << run[0] << "\n" << shown;
            EXPECT_NE(result.err.find("refused before the modem"), std::string::npos) << shown;
            EXPECT_EQ(shown.find("status: Push sms sending"), std::string::npos) << shown;
        }
        test::runSqliteCli(file(),
                           "UPDATE Settings SET EPort = 16384, LPort = 16384; "
                           "UPDATE Trackers SET Port = 2001;");
    }
    EXPECT_EQ(velactl(runs.front()).exitCode, 0);
}

// Fleet exports as they come: the delimiter found, columns mapped or left out (named),
// phone numbers made digits, and every refused row named by its line with nothing
// imported.
TEST_F(VelactlStorage, ImportTakesFleetExportsAllOrNothing) {
    const struct {
        std::string csv;
        std::vector<std::string> options;
        int exitCode;
        std::vector<std::string> errors;  // each in standard error
        std::string listed;               // trackers list afterwards, from its 2nd line
    } cases[] = {
        {"IMEI;Msisdn;Model;APN\r\n356000000000001;+370 600-00 001;FMB;internet\r\n\r\n"
         "356000000000002;\"(370) 600.00.002\";\"FMB;920\";internet\r\n",
         {"--column", "Imei=IMEI", "--column", "phone=msisdn"},
         0,
         {"note: column 'Model' is not a tracker column"},
         "356000000000001\t+37060000001\t0000\tinternet\tNone\tFM2XXX\n"
         "356000000000002\t+37060000002\t0000\tinternet\tNone\tFM2XXX\n"},
        {"Imei\tPhone\tAPN\n356000000000003\t+37060000003\tweb\n",
         {},
         0,
         {},
         "356000000000003\t+37060000003\t0000\tweb\tNone\tFM2XXX\n"},
        {"Imei,Phone,APN\n356000000000004,1,a\n356000000000005,2,\n356000000000006,3,c\n"
         "356000000000004,4,d\n",
         {"--replace"},
         1,
         {"error: line 3 (356000000000005): Please type apn",
          "error: line 5 (356000000000004): This description is used already!",
          "2 of 4 rows refused; nothing imported"},
         ""},
        {"Imei,Phone,APN\n356000000000007,1,a\n",
         {"--column", "Phone=Msisdn"},
         2,
         {"no column 'Msisdn'"},
         ""},
        {"Imei,Phone,APN\n356000000000007,1,a\n",
         {"--column", "Colour=Phone"},
         2,
         {"--column takes"},
         ""},
    };
    ASSERT_EQ(velactl({"db", "init"}).exitCode, 0);
    std::string listed;
    for (const auto& c : cases) {
        test::writeFile(dir / "fleet.csv", c.csv);
        std::vector<std::string> args = {"trackers", "import"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back("fleet.csv");
        const RunResult run = velactl(args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.csv << run.err;
        for (const std::string& error : c.errors)
            EXPECT_NE(run.err.find(error), std::string::npos) << error << "\n" << run.err;
        listed += c.listed;
        EXPECT_EQ(velactl({"trackers", "list"}).out,
                  "Description\tPhone\tPush port\tAPN\tAuth\tDevice type\n" + listed)
            << c.csv;
    }
}

TEST_F(VelactlStorage, DbInitImportExportRoundTrip) {
    RunResult init = velactl({"db", "init"});
    ASSERT_EQ(init.exitCode, 0) << init.err;
    EXPECT_EQ(init.out, "created " + file().string() + "\n");
    struct stat info {};
    ASSERT_EQ(::stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    RunResult again = velactl({"db", "init"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;

    const std::string csv = thousandTrackersCsv();
    test::writeFile(dir / "in.csv", csv);
    RunResult imported = velactl({"trackers", "import", "in.csv"});
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(imported.out, "imported 1000 trackers\n");

    RunResult exported = velactl({"trackers", "export"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(exported.out, csv);
    ASSERT_EQ(velactl({"trackers", "export", "--dir", dir.path().string(), "out.csv"}).exitCode, 0);
    EXPECT_EQ(test::readFile(dir / "out.csv"), csv);

    // Importing the same rows again would repeat descriptions: nothing is imported.
    RunResult twice = velactl({"trackers", "import", "in.csv"});
    EXPECT_EQ(twice.exitCode, 1);
    // Every row is named by its line in the file (a cell of two lines counts two).
    EXPECT_TRUE(twice.err.starts_with(
        "error: line 2 (356307042410000): This description is used already!\n"
        "error: line 4 (356307042410001): This description is used already!\n"));
    EXPECT_TRUE(twice.err.ends_with(
        "velactl trackers import: 1000 of 1000 rows refused; nothing imported\n"));
    EXPECT_EQ(velactl({"trackers", "export"}).out, csv);

    RunResult replaced =
        velactl({"trackers", "import", "--replace", "-"}, "Imei,Phone,APN\r\nonly,123,apn\r\n");
    ASSERT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(velactl({"trackers", "export"}).out,
              "Imei,Phone,Port,APN,Auth,SMSuser,SMSpass,GPRSuser,GPRSpass,Mode\r\n"
              "only,123,0,apn,0,,,,,0\r\n");

    ASSERT_EQ(velactl({"db", "init", "--force"}).exitCode, 0);
    EXPECT_EQ(velactl({"trackers", "list"}).out,
              "Description\tPhone\tPush port\tAPN\tAuth\tDevice type\n");
}

TEST_F(VelactlStorage, SettingsSetThenShow) {
    RunResult missing = velactl({"settings", "show"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err,
              "warning: Cannot load the settings from " + file().string() +
                  ": the database does not exist; it will be created on the first save\n");
    EXPECT_EQ(missing.out,
              "external-ip: 0.0.0.0\nexternal-port: 16384\nlocal-port: 16384\n"
              "timeout: 20\nmodem-port: COM3\nallow-from: everyone\ndelivery-reports: off\n");

    RunResult set = velactl({"settings", "set", "--external-ip", "255.255.255.255",
                             "--external-port=16385", "--modem-port", "/dev/ttyUSB0"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(set.err, "");
    ASSERT_EQ(velactl({"settings", "set", "--local-port", "5000", "--delivery-reports", "on"})
                  .exitCode,
              0);
    RunResult shown = velactl({"settings", "show", "--dir", dir.path().string()});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(shown.out,
              "external-ip: 255.255.255.255\nexternal-port: 16385\nlocal-port: 5000\n"
              "timeout: 20\nmodem-port: /dev/ttyUSB0\nallow-from: everyone\n"
              "delivery-reports: on\n");

    for (std::vector<std::string> bad :
         {std::vector<std::string>{"settings", "set", "--external-ip", "1.2.3"},
          {"settings", "set", "--external-ip", "1.2.3.256"},
          {"settings", "set", "--local-port", "65536"},
          {"settings", "set", "--local-port", "12a"},
          {"settings", "set", "--delivery-reports", "yes"},
          {"settings", "set", "--allow-from", "10.1.2.3/8"},
          {"settings", "set"},
          {"settings", "frobnicate"},
          {"settings", "show", "--colour", "red"}}) {
        RunResult result = velactl(bad);
        EXPECT_EQ(result.exitCode, 2) << bad.back() << ": " << result.err;
        EXPECT_NE(result.err.find("Usage: velactl settings"), std::string::npos);
    }
    EXPECT_EQ(velactl({"settings", "show"}).out, shown.out);  // refused changes changed nothing
}

TEST_F(VelactlStorage, AddAppliesTheDialogsChecksInOrderAndRemoveFindsExactly) {
    auto add = [&](std::vector<std::string> options) {
        options.insert(options.begin(), {"trackers", "add"});
        return velactl(options);
    };
    RunResult none = add({"--phone", "", "--apn", ""});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.err, "error: Please type description of device\n");
    EXPECT_EQ(add({"--description", "abc"}).err, "error: Please type phone number\n");
    EXPECT_EQ(add({"--description", "abc", "--phone", "+3706", "--apn", ""}).err,
              "error: Please type apn\n");
    EXPECT_FALSE(fs::exists(file()));  // nothing was saved

    RunResult added = add({"--description", "abc", "--phone", "+37060000000", "--push-port", "7d1",
                           "--auth", "pap", "--gprs-password", "secret"});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    EXPECT_EQ(added.out, "added abc\n");
    EXPECT_EQ(add({"--description", "abc", "--phone", "1"}).err,
              "error: This description is used already!\n");
    ASSERT_EQ(add({"--description", "ABC", "--phone", "1", "--push-port", "12"}).exitCode, 0);

    EXPECT_EQ(add({"--description", "x", "--phone", "12-34"}).exitCode, 2);
    EXPECT_EQ(add({"--description", "x", "--phone", "1", "--push-port", "12345"}).exitCode, 2);
    EXPECT_EQ(add({"--description", "x", "--phone", "1", "--push-port", "7G1"}).exitCode, 2);
    EXPECT_EQ(add({"--description", "x", "--phone", "1", "--auth", "md5"}).exitCode, 2);
    EXPECT_EQ(add({"--description", "x", "--phone", "1", "--device-type", "FM4"}).exitCode, 2);

    RunResult listed = velactl({"trackers", "list"});
    ASSERT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.out,
              "Description\tPhone\tPush port\tAPN\tAuth\tDevice type\n"
              "abc\t+37060000000\t07D1\tinternet\tPAP\tFM2XXX\n"
              "ABC\t+1\t0012\tinternet\tNone\tFM2XXX\n");
    EXPECT_EQ(velactl({"trackers", "export"}).out,
              "Imei,Phone,Port,APN,Auth,SMSuser,SMSpass,GPRSuser,GPRSpass,Mode\r\n"
              "abc,37060000000,2001,internet,2,,,,secret,0\r\n"
              "ABC,1,18,internet,0,,,,,0\r\n");

    RunResult unknown = velactl({"trackers", "remove", "--description", "Abc"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.err.find("no tracker is described 'Abc'"), std::string::npos);
    ASSERT_EQ(velactl({"trackers", "remove", "--description", "abc"}).exitCode, 0);
    EXPECT_EQ(velactl({"trackers", "list"}).out,
              "Description\tPhone\tPush port\tAPN\tAuth\tDevice "
              "type\nABC\t+1\t0012\tinternet\tNone\tFM2XXX\n");
}

TEST_F(VelactlStorage, HelpUsageErrorsAndStorageWarnings) {
    for (const char* command : {"db", "settings", "trackers"}) {
        RunResult help = velactl({command, "--help"});
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_NE(help.out.find(std::string("Usage: velactl ") + command), std::string::npos);
        EXPECT_EQ(velactl({command}).exitCode, 2) << command;
        EXPECT_EQ(velactl({command, "--bogus"}).exitCode, 2) << command;
    }
    EXPECT_EQ(velactl({"db", "drop"}).exitCode, 2);
    EXPECT_EQ(velactl({"trackers", "import"}).exitCode, 2);

    test::writeFile(file(), std::string(4096, 'x'));
    RunResult list = velactl({"trackers", "list"});
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_EQ(list.err, "warning: Cannot load the tracker list from " + file().string() +
                            ": file is not a database\n");
    RunResult add = velactl({"trackers", "add", "--description", "a", "--phone", "1"});
    EXPECT_EQ(add.exitCode, 1);
    EXPECT_EQ(test::readFile(file()), std::string(4096, 'x'));

    test::writeFile(dir / "bad.csv", "Imei,Port\r\nx,7D1\r\n");
    RunResult bad = velactl({"trackers", "import", "bad.csv"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.err,
              "velactl trackers import: bad.csv: line 2: Port '7D1' is not a whole number\n");
}

TEST_F(VelactlStorage, SecretsStayOffTheCommandLineAndOutOfOtherUsersReach) {
    const std::string secrets = (dir / "secret").string();
    test::writeFile(secrets, "gprs secret\nsecond line ignored\n");
    RunResult added = velactl({"trackers", "add", "--description=a", "--phone=1", "--auth=2",
                               "--gprs-password-file", secrets, "--sms-password-file=-"},
                              "sms secret\n");
    ASSERT_EQ(added.exitCode, 0) << added.err;
    EXPECT_EQ(
        velactl({"trackers", "add", "--description=b", "--phone=1", "--auth", "CHAP"}).exitCode, 0);
    for (std::vector<std::string> bad :
         {std::vector<std::string>{"--sms-password=x", "--sms-password-file", secrets},
          {"--sms-password-file=-", "--gprs-password-file=-"},
          {"--auth", "3"}}) {
        bad.insert(bad.begin(), {"trackers", "add", "--description=c", "--phone=1"});
        EXPECT_EQ(velactl(bad).exitCode, 2) << bad.back();
    }
    EXPECT_EQ(velactl({"trackers", "add", "--description=c", "--phone=1", "--gprs-password-file",
                       (dir / "none").string()})
                  .exitCode,
              1);

    // The export holds the passwords: owner-only, and never through a planted link.
    ASSERT_EQ(velactl({"trackers", "export", "out.csv"}).exitCode, 0);
    struct stat info {};
    ASSERT_EQ(::stat((dir / "out.csv").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(test::readFile(dir / "out.csv"),
              "Imei,Phone,Port,APN,Auth,SMSuser,SMSpass,GPRSuser,GPRSpass,Mode\r\n"
              "a,1,2001,internet,2,,sms secret,,gprs secret,0\r\n"
              "b,1,2001,internet,1,,,,,0\r\n");
    test::writeFile(dir / "victim", "keep");
    fs::create_symlink(dir / "victim", dir / "planted.csv");
    RunResult planted = velactl({"trackers", "export", "planted.csv"});
    EXPECT_EQ(planted.exitCode, 1);
    EXPECT_NE(planted.err.find("symbolic link"), std::string::npos) << planted.err;
    EXPECT_EQ(test::readFile(dir / "victim"), "keep");

    // A database others may read receives no more passwords.
    ASSERT_EQ(::chmod(file().c_str(), 0640), 0);
    RunResult open = velactl({"trackers", "add", "--description=d", "--phone=1"});
    EXPECT_EQ(open.exitCode, 1);
    EXPECT_NE(open.err.find("permissions 0640 are too open"), std::string::npos) << open.err;
}

TEST_F(VelactlStorage, ImportAppliesTheChecksOfAddToEveryRow) {
    const std::string header = "Imei,Phone,Port,APN,Auth,Mode\r\n";
    const std::pair<std::string, std::string> rows[] = {
        {"x,12a,1,apn,0,0", "line 2 (x): the phone number takes digits only"},
        {"x,1,65536,apn,0,0", "line 2 (x): the push port is not between 0 and 65535"},
        {"x,1,1,apn,3,0", "line 2 (x): the authentication is not 0 (none), 1 (CHAP) or 2 (PAP)"},
        {"x,1,1,apn,0,1", "line 2 (x): the device type is not 0 (FM2XXX)"},
        {"x,1,1,,0,0", "line 2 (x): Please type apn"},
        {"x,1,1,a,0,0\r\nx,2,1,b,0,0", "line 3 (x): This description is used already!"},
    };
    for (const auto& [row, refusal] : rows) {
        RunResult run = velactl({"trackers", "import", "-"}, header + row + "\r\n");
        EXPECT_EQ(run.exitCode, 1) << row;
        EXPECT_TRUE(run.err.starts_with("error: " + refusal + "\n")) << run.err;
        EXPECT_NE(run.err.find("refused; nothing imported"), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(file()));
    RunResult plus = velactl({"trackers", "import", "-"}, header + "y,'+370,1,a,0,0\r\n");
    ASSERT_EQ(plus.exitCode, 0) << plus.err;
    EXPECT_NE(velactl({"trackers", "list"}).out.find("y\t+370\t"), std::string::npos);
}

// Texts from a file reach the terminal escaped, and an error line stays short whatever
// the length of the text it quotes.
TEST_F(VelactlStorage, ForeignTextsAreListedEscapedAndQuotedCut) {
    const std::string header = "Imei,Phone,APN\r\n";
    RunResult refused = velactl({"trackers", "import", "-"},
                                header + "\x1b[2J" + std::string(100000, 'A') + ",12a,apn\r\n");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "error: line 2 (\\x1B[2J" + std::string(252, 'A') +
                               "...): the phone number takes digits only\n"
                               "velactl trackers import: 1 of 1 rows refused; nothing imported\n");
    RunResult imported =
        velactl({"trackers", "import", "-"}, header + "\"a\tb\x1b]0;x\x07\",1,\"ap\rn\"\r\n");
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(velactl({"trackers", "list"}).out,
              "Description\tPhone\tPush port\tAPN\tAuth\tDevice type\n"
              "a\\tb\\x1B]0;x\\x07\t+1\t0000\tap\\rn\tNone\tFM2XXX\n");

    // A caller's IMEI and a run's detail come from the network.
    HistoryRecord run = test::sampleRun(4, "=HYPERLINK(\"x\")\x1b[2J", Verdict::WrongCaller);
    run.detail = std::string("a\0b\r\n", 5);
    ASSERT_TRUE(HistoryStore(dir.path()).append(run));
    const RunResult table = velactl({"history"});
    EXPECT_NE(table.out.find("=HYPERLINK(\"x\")\\x1B[2J  wrong-caller       a\\x00b\\r\\n\n"),
              std::string::npos)
        << table.out;
    const RunResult csv = velactl({"history", "--csv"});
    EXPECT_NE(csv.out.find(",\"'=HYPERLINK(\"\"x\"\")\x1b[2J\","), std::string::npos) << csv.out;
    EXPECT_NE(csv.out.find(std::string(",\"a\0b\r\n\",", 8)), std::string::npos) << csv.out;
}

TEST_F(VelactlStorage, JsonListsBackupAndCheck) {
    ASSERT_EQ(velactl({"trackers", "add", "--description", "q\"\x01\xff", "--phone", "1"}).exitCode,
              0);
    RunResult list = velactl({"trackers", "list", "--json"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(
        list.out,
        "[\n{\"apn\":\"internet\",\"auth\":\"none\",\"device_type\":\"FM2XXX\",\"gprs_user\":\"\","
        "\"phone\":\"1\",\"push_port\":2001,\"sms_user\":\"\",\"tracker\":\"q\\\"\\u0001\ufffd\"}"
        "\n]\n");
    EXPECT_EQ(velactl({"settings", "show", "--json"}).out,
              "[\n{\"allow_from\":[],\"delivery_reports\":false,\"external_ip\":\"0.0.0.0\",\"external_port\":16384,\"local_port\":16384,"
              "\"modem_port\":\"COM3\",\"timeout_seconds\":20}\n]\n");

    RunResult backup = velactl({"db", "backup", "copy.accdb"});
    ASSERT_EQ(backup.exitCode, 0) << backup.err;
    struct stat info {};
    ASSERT_EQ(::stat((dir / "copy.accdb").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    fs::create_directory(dir / "restored");
    fs::copy_file(dir / "copy.accdb", dir / "restored" / "settings.accdb");
    EXPECT_EQ(velactl({"trackers", "list", "--dir", (dir / "restored").string()}).out,
              velactl({"trackers", "list"}).out);
    EXPECT_EQ(velactl({"db", "backup", "settings.accdb"}).exitCode, 1);

    RunResult check = velactl({"db", "check"});
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_EQ(check.out, "ok\n");
    test::runSqliteCli(file(), "ALTER TABLE Trackers RENAME COLUMN Mode TO Kind;");
    check = velactl({"db", "check"});
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_EQ(check.out, "the table Trackers lacks the column(s) Mode\n");
}

}  // namespace
}  // namespace vela
