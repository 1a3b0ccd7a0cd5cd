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

}  // namespace vela::test
