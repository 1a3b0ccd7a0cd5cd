#include "store_test_support.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace vela::test {

std::string runSqliteCli(const std::filesystem::path& file, const std::string& script) {
    RunResult result = runProgram({VELA_SQLITE3_CLI, "-batch", file.string()},
                                  std::chrono::seconds(30), std::nullopt, script);
    EXPECT_EQ(result.exitCode, 0) << "sqlite3 failed: " << result.err;
    makePrivate(file);
    return result.out;
}

void refuseRowsWhere(const std::filesystem::path& file, const std::string& table,
                     const std::string& condition) {
    std::string create = runSqliteCli(
        file, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = '" + table + "';");
    const size_t close = create.rfind(')');
    ASSERT_NE(close, std::string::npos) << "no table " << table;
    create = create.substr(0, close) + ", CONSTRAINT refused CHECK (NOT (" + condition + ")))";
    runSqliteCli(file, "BEGIN; ALTER TABLE \"" + table + "\" RENAME TO \"" + table + "Before\"; " +
                           create + "; INSERT INTO \"" + table + "\" SELECT * FROM \"" + table +
                           "Before\"; DROP TABLE \"" + table + "Before\"; COMMIT;\n");
}

void makePrivate(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::permissions(
        file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
}

TrackerEntry sampleTracker(int n, const std::string& tag) {
    TrackerEntry e;
    const std::string id = tag + std::to_string(n);
    e.description = "35600" + id;
    e.phone = "3706" + std::to_string(1000000 + n);
    e.pushPort = 2001 + n;
    e.apn = "apn." + id;
    e.auth = n % 3;
    e.smsUser = "su" + id;
    e.smsPassword = "sp" + id;
    e.gprsUser = "gu" + id;
    e.gprsPassword = "gp" + id;
    e.deviceType = 0;
    return e;
}

TrackerList sampleList(int count, const std::string& tag) {
    TrackerList list;
    for (int i = 0; i < count; ++i) list.add(sampleTracker(i, tag));
    return list;
}

HistoryRecord sampleRun(int day, const std::string& tracker, Verdict verdict) {
    HistoryRecord r;
    const std::string date = "2026-12-" + std::string(day < 10 ? "0" : "") + std::to_string(day);
    r.startedAt = date + "T10:00:00Z";
    r.endedAt = date + "T10:01:30Z";
    r.kind = kRunKindGo;
    r.tracker = tracker;
    r.phone = "37060000" + std::to_string(day);
    r.modemPort = "/dev/ttyUSB0";
    r.configFile = "/srv/configs/fleet '" + std::to_string(day) + "'.xml";
    r.configSha256 = std::string(64, 'a');
    r.imageBytes = 5000000000LL + day;  // wider than 32 bits
    r.callerAddress = "10.0.0." + std::to_string(day);
    r.callerImei = tracker;
    if (day % 2 == 0) r.answerBytes = 4096;
    r.verdict = verdict;
    r.detail = "day " + std::to_string(day);
    if (day % 2 == 0) r.campaignId = day;
    if (day % 3 == 0) {
        r.delivery = "delivered";
        r.deliveredAt = "2026-12-08 10:15:35 +02:00";
    }
    return r;
}

}  // namespace vela::test
