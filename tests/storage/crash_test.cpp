// A save killed at a random moment leaves the old or the new table, never a mixture.
#include "storage/tracker_store.h"

#include "store_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <random>
#include <thread>

namespace vela {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Saves `a` and `b` in turn until killed; the alarm ends it should the parent vanish.
[[noreturn]] void saveForever(const fs::path& dir, const TrackerList& a, const TrackerList& b) {
    ::alarm(30);
    TrackerStore store(dir);
    for (;;) {
        if (!store.save(b) || !store.save(a)) ::_exit(3);
    }
}

TEST(StorageCrash, KilledSavesLeaveEitherTheOldOrTheNewTable) {
    test::TempDir dir;
    const TrackerList a = test::sampleList(3000, "A");
    const TrackerList b = test::sampleList(2000, "B");
    TrackerStore store(dir.path());
    ASSERT_TRUE(store.save(a));

    // Kill within about two saves' time, so most kills land inside a transaction.
    const auto started = Clock::now();
    ASSERT_TRUE(store.save(b));
    ASSERT_TRUE(store.save(a));
    const auto twoSaves =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    const long limitUs = std::clamp<long>(twoSaves.count(), 2000, 400000);

    std::mt19937 random(12345);
    std::uniform_int_distribution<long> delayUs(0, limitUs);
    const fs::path journal = dir.path() / "settings.accdb-journal";
    int killsInsideATransaction = 0;
    int sawA = 0;
    int sawB = 0;
    constexpr int kKills = 36;
    for (int kill = 0; kill < kKills; ++kill) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) saveForever(dir.path(), a, b);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself, status " << status;
        if (fs::exists(journal)) ++killsInsideATransaction;

        test::ReportedErrors errors;
        TrackerList list;
        ASSERT_TRUE(TrackerStore(dir.path(), errors.reporter()).load(list))
            << (errors.messages.empty() ? "" : errors.messages[0]);
        if (list.entries() == a.entries()) {
            ++sawA;
        } else if (list.entries() == b.entries()) {
            ++sawB;
        } else {
            FAIL() << "kill " << kill << ": the table holds a mixture of " << list.count()
                   << " rows";
        }
    }
    RecordProperty("killsInsideATransaction", killsInsideATransaction);
    std::printf("%d kills, %d inside a transaction; old/new: %d/%d\n", kKills,
                killsInsideATransaction, sawA, sawB);
    EXPECT_GT(killsInsideATransaction, 0) << "no kill landed inside a save";
    EXPECT_EQ(test::runSqliteCli(dir.path() / "settings.accdb", "PRAGMA integrity_check;"), "ok\n");
}

}  // namespace
}  // namespace vela
