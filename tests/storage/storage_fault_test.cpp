// The stores under faults of the database file: read-only, locked by another process,
// truncated, not a database, and a disk that fills up during a save. Every failure
// reaches the reporter with its reason, and the previous content survives.
#include "storage/settings_store.h"
#include "storage/tracker_store.h"

#include "store_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>

namespace vela {
namespace {

namespace fs = std::filesystem;

// What a child process tells its parent: lines of "key=value".
using Report = std::map<std::string, std::string>;

std::string encode(const Report& report) {
    std::string out;
    for (const auto& [key, value] : report) {
        std::string flat = value;
        for (char& c : flat) c = c == '\n' ? ' ' : c;
        out += key + "=" + flat + "\n";
    }
    return out;
}

// Runs `body` in a forked child and returns its report; "child" holds how it ended
// when it did not end normally. The alarm ends a child that would hang.
Report inChild(const std::function<Report()>& body, unsigned seconds = 60) {
    int fds[2];
    if (pipe(fds) != 0) return {{"child", "no pipe"}};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(seconds);
        const std::string text = encode(body());
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[1024];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Report report;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t eq = line.find('=');
        if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        report["child"] = "ended with status " + std::to_string(status);
    }
    return report;
}

// Root passes every permission bit, so a child that is to meet a read-only file gives
// root up first. False when it cannot.
bool dropRoot() {
    if (geteuid() != 0) return true;
    return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

ProgramSettings someSettings() {
    ProgramSettings s;
    s.externalIp = 0xC0000207;
    s.externalPort = 5000;
    s.localPort = 5001;
    s.timeoutSeconds = 30;
    s.modemPort = "/dev/ttyUSB0";
    return s;
}

class StorageFaults : public ::testing::Test {
protected:
    fs::path file() const { return dir.path() / "settings.accdb"; }

    // The content every fault must leave readable: settings and 300 trackers.
    void saveBefore() {
        ASSERT_TRUE(SettingsStore(dir.path()).save(before.settings));
        ASSERT_TRUE(TrackerStore(dir.path()).save(before.trackers));
    }
    // Reads both tables as the program would at start; fails the test on any report.
    void expectBefore() {
        test::ReportedErrors errors;
        ProgramSettings settings;
        TrackerList trackers;
        EXPECT_TRUE(SettingsStore(dir.path(), errors.reporter()).load(settings));
        EXPECT_TRUE(TrackerStore(dir.path(), errors.reporter()).load(trackers));
        EXPECT_TRUE(errors.messages.empty()) << errors.messages.front();
        EXPECT_EQ(settings, before.settings);
        // Compared whole, reported by count: a printed list would be thousands of lines.
        EXPECT_TRUE(trackers.entries() == before.trackers.entries())
            << trackers.count() << " trackers read, " << before.trackers.count() << " saved";
        EXPECT_EQ(test::runSqliteCli(file(), "PRAGMA integrity_check;"), "ok\n");
    }

    test::TempDir dir;
    struct {
        ProgramSettings settings = someSettings();
        TrackerList trackers = test::sampleList(300, "before");
    } before;
    const TrackerList after = test::sampleList(2000, "after");
};

// Saves `list` and other settings, loads both; the outcome of each and what was reported.
Report saveAndLoad(const fs::path& dir, const TrackerList& list) {
    Report report;
    test::ReportedErrors errors;
    ProgramSettings settings;
    const bool settingsLoaded = SettingsStore(dir, errors.reporter()).load(settings).ok();
    report["settings load"] = settingsLoaded ? "ok" : "failed";
    report["settings"] = settings == someSettings() ? "before" : "other";
    TrackerList trackers;
    report["trackers load"] = TrackerStore(dir, errors.reporter()).load(trackers) ? "ok" : "failed";
    report["trackers read"] = std::to_string(trackers.count());
    ProgramSettings changed = someSettings();
    changed.localPort = 7777;
    report["settings save"] = SettingsStore(dir, errors.reporter()).save(changed) ? "ok" : "failed";
    TrackerList kept = list;
    report["trackers save"] = TrackerStore(dir, errors.reporter()).save(kept) ? "ok" : "failed";
    report["list unchanged"] = kept.entries() == list.entries() ? "yes" : "no";
    report["reports"] = std::to_string(errors.messages.size());
    for (size_t i = 0; i < errors.messages.size(); ++i) {
        report["report " + std::to_string(i)] = errors.messages[i];
    }
    return report;
}

std::string dump(const Report& report) {
    return encode(report);
}

TEST_F(StorageFaults, ReadOnlyDatabaseOrFolderRefusesTheSaveWithItsReason) {
    saveBefore();
    const std::string beforeBytes = test::readFile(file());
    const struct {
        const char* name;
        mode_t fileMode;
        mode_t dirMode;
        const char* reason;
    } rows[] = {
        {"read-only file in a read-only folder", 0400, 0500,
         "attempt to write a readonly database"},
        {"read-only file", 0400, 0700, "attempt to write a readonly database"},
        // The file could be written but its journal cannot be made, and without the
        // journal there is no all-or-nothing: SQLite refuses to write at all.
        {"writable file in a read-only folder", 0600, 0500, "attempt to write a readonly database"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // The unprivileged child must own what it reads.
        if (geteuid() == 0) {
            ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
            ASSERT_EQ(chown(file().c_str(), 65534, 65534), 0);
        }
        ASSERT_EQ(chmod(file().c_str(), row.fileMode), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), row.dirMode), 0);
        const Report report = inChild([&] {
            if (!dropRoot()) return Report{{"skip", std::strerror(errno)}};
            return saveAndLoad(dir.path(), after);
        });
        ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
        ASSERT_EQ(chmod(file().c_str(), 0600), 0);
        if (report.count("skip") != 0) GTEST_SKIP() << "cannot give up root: " << report.at("skip");
        ASSERT_EQ(report.count("child"), 0u) << dump(report);

        // Reading still works; both saves are refused and each says why.
        EXPECT_EQ(report.at("settings load"), "ok") << dump(report);
        EXPECT_EQ(report.at("settings"), "before");
        EXPECT_EQ(report.at("trackers read"), "300");
        EXPECT_EQ(report.at("settings save"), "failed");
        EXPECT_EQ(report.at("trackers save"), "failed");
        EXPECT_EQ(report.at("list unchanged"), "yes");
        ASSERT_EQ(report.at("reports"), "2") << dump(report);
        EXPECT_EQ(report.at("report 0"),
                  "Cannot save the settings to " + file().string() + ": " + row.reason);
        EXPECT_EQ(report.at("report 1"),
                  "Cannot save the tracker list to " + file().string() + ": " + row.reason);
        EXPECT_EQ(test::readFile(file()), beforeBytes);
        expectBefore();
    }
}

// The immutable flag stops root as well: the read-only case as an administrator meets it.
class ImmutableFile {
public:
    explicit ImmutableFile(const fs::path& file) : fd_(open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
        int flags = 0;
        if (fd_ >= 0 && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            set_ = ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
        }
    }
    ~ImmutableFile() {
        int flags = 0;
        if (set_ && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            (void)ioctl(fd_, FS_IOC_SETFLAGS, &flags);
        }
        if (fd_ >= 0) close(fd_);
    }
    ImmutableFile(const ImmutableFile&) = delete;
    ImmutableFile& operator=(const ImmutableFile&) = delete;
    bool set() const { return set_; }

private:
    int fd_ = -1;
    bool set_ = false;
};

TEST_F(StorageFaults, ImmutableDatabaseRefusesTheSaveEvenForRoot) {
    saveBefore();
    const std::string beforeBytes = test::readFile(file());
    Report report;
    {
        ImmutableFile immutable(file());
        if (!immutable.set()) GTEST_SKIP() << "the immutable flag cannot be set here";
        report = saveAndLoad(dir.path(), after);
    }
    EXPECT_EQ(report.at("settings load"), "ok") << dump(report);
    EXPECT_EQ(report.at("trackers read"), "300");
    EXPECT_EQ(report.at("settings save"), "failed");
    EXPECT_EQ(report.at("trackers save"), "failed");
    ASSERT_EQ(report.at("reports"), "2") << dump(report);
    EXPECT_EQ(report.at("report 1"), "Cannot save the tracker list to " + file().string() +
                                         ": attempt to write a readonly database");
    EXPECT_EQ(test::readFile(file()), beforeBytes);
    expectBefore();
}

TEST(StorageFaultsMissing, ReadOnlyFolderWithoutADatabaseRefusesToCreateOne) {
    test::TempDir dir;
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
    const Report report = inChild([&] {
        if (!dropRoot()) return Report{{"skip", std::strerror(errno)}};
        test::ReportedErrors errors;
        Report r;
        r["save"] =
            TrackerStore(dir.path(), errors.reporter()).save(test::sampleList(2)) ? "ok" : "failed";
        r["report"] = errors.messages.empty() ? "" : errors.messages.front();
        return r;
    });
    ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
    if (report.count("skip") != 0) GTEST_SKIP() << "cannot give up root: " << report.at("skip");
    EXPECT_EQ(report.at("save"), "failed");
    EXPECT_EQ(report.at("report"), "Cannot save the tracker list to " +
                                       (dir.path() / "settings.accdb").string() +
                                       ": Permission denied");
    EXPECT_FALSE(fs::exists(dir.path() / "settings.accdb"));
}

// Another process holds an exclusive lock for longer than the busy time-out.
TEST_F(StorageFaults, LockedByAnotherProcessFailsWithTheReasonAndSucceedsAfterwards) {
    saveBefore();
    int locked[2];
    int release[2];
    ASSERT_EQ(pipe(locked), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        close(locked[0]);
        close(release[1]);
        alarm(60);
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(file().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
            sqlite3_exec(db, "BEGIN EXCLUSIVE; DELETE FROM Trackers;", nullptr, nullptr, nullptr) !=
                SQLITE_OK) {
            _exit(2);
        }
        (void)!write(locked[1], "L", 1);
        char byte;
        (void)!read(release[0], &byte, 1);  // until the parent lets go, or it goes
        // The lock ends without a commit: the deletion never happened.
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        _exit(0);
    }
    close(locked[1]);
    close(release[0]);
    char byte = 0;
    ASSERT_EQ(read(locked[0], &byte, 1), 1) << "the other process did not get its lock";

    test::ReportedErrors errors;
    TrackerList list = after;
    EXPECT_FALSE(TrackerStore(dir.path(), errors.reporter()).save(list));
    ProgramSettings changed = before.settings;
    changed.localPort = 7777;
    EXPECT_FALSE(SettingsStore(dir.path(), errors.reporter()).save(changed));
    EXPECT_TRUE(list.entries() == after.entries());
    ASSERT_EQ(errors.messages.size(), 2u);
    EXPECT_EQ(errors.messages[0],
              "Cannot save the tracker list to " + file().string() + ": database is locked");
    EXPECT_EQ(errors.messages[1],
              "Cannot save the settings to " + file().string() + ": database is locked");

    (void)!write(release[1], "R", 1);
    close(release[1]);
    close(locked[0]);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    expectBefore();

    // The same saves go through once the lock has ended.
    errors.messages.clear();
    EXPECT_TRUE(TrackerStore(dir.path(), errors.reporter()).save(list));
    EXPECT_TRUE(SettingsStore(dir.path(), errors.reporter()).save(changed));
    EXPECT_TRUE(errors.messages.empty());
    TrackerList back;
    EXPECT_TRUE(TrackerStore(dir.path()).load(back));
    EXPECT_TRUE(back.entries() == after.entries()) << back.count() << " trackers read";
}

TEST_F(StorageFaults, TruncatedDatabaseIsReportedAndNothingReadableIsLostSilently) {
    saveBefore();
    const std::string whole = test::readFile(file());
    ASSERT_GT(whole.size(), 4u * 4096);
    const size_t cuts[] = {whole.size() / 2, 2 * 4096 + 100, 4096, 3000, 50};
    for (size_t cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        test::writeFile(file(), whole.substr(0, cut));
        const Report report = inChild([&] { return saveAndLoad(dir.path(), after); });
        ASSERT_EQ(report.count("child"), 0u) << dump(report);
        // The trackers' pages are cut: loading them says so.
        EXPECT_EQ(report.at("trackers load"), "failed") << dump(report);
        EXPECT_LT(std::stoi(report.at("trackers read")), 300);
        const int reports = std::stoi(report.at("reports"));
        const int failedSaves =
            (report.at("settings save") == "failed") + (report.at("trackers save") == "failed");
        const int failedLoads = (report.at("settings load") == "failed") + 1;
        EXPECT_EQ(reports, failedLoads + failedSaves) << dump(report);
        if (report.at("trackers save") == "ok") {
            // A save that went through rewrote the table whole.
            TrackerList back;
            EXPECT_TRUE(TrackerStore(dir.path()).load(back));
            EXPECT_TRUE(back.entries() == after.entries()) << back.count() << " trackers read";
            EXPECT_EQ(test::runSqliteCli(file(), "PRAGMA integrity_check;"), "ok\n");
        }
        if (report.at("settings load") == "ok" && report.at("settings save") == "failed") {
            // Settings that could be read before a failed save can still be read.
            ProgramSettings settings;
            EXPECT_TRUE(SettingsStore(dir.path()).load(settings));
            EXPECT_EQ(settings, before.settings);
        }
        if (failedSaves == 2) {
            EXPECT_EQ(test::readFile(file()), whole.substr(0, cut));
        }
    }
}

TEST_F(StorageFaults, NotADatabaseIsReportedAndLeftAlone) {
    std::string binary(64 * 1024, '\0');
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>((i * 7919) >> 3);
    std::string header = "SQLite format 3";
    header += '\0';
    header += std::string(4096 - header.size(), '\xA5');
    const struct {
        const char* name;
        std::string content;
    } rows[] = {{"text", std::string(3000, 'x') + "\n"},
                {"binary", binary},
                {"database header over garbage", header + header}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::writeFile(file(), row.content);
        const Report report = inChild([&] { return saveAndLoad(dir.path(), after); });
        ASSERT_EQ(report.count("child"), 0u) << dump(report);
        EXPECT_EQ(report.at("settings load"), "failed") << dump(report);
        EXPECT_EQ(report.at("settings"), "other");  // the defaults, not something half read
        EXPECT_EQ(report.at("trackers load"), "failed");
        EXPECT_EQ(report.at("trackers read"), "0");
        EXPECT_EQ(report.at("settings save"), "failed");
        EXPECT_EQ(report.at("trackers save"), "failed");
        EXPECT_EQ(report.at("reports"), "4");
        EXPECT_EQ(test::readFile(file()), row.content);
    }

    // A folder where the file should be.
    fs::remove(file());
    fs::create_directory(file());
    const Report report = inChild([&] { return saveAndLoad(dir.path(), after); });
    ASSERT_EQ(report.count("child"), 0u) << dump(report);
    EXPECT_EQ(report.at("settings load"), "failed") << dump(report);
    EXPECT_EQ(report.at("trackers save"), "failed");
    EXPECT_EQ(report.at("reports"), "4");
    EXPECT_TRUE(fs::is_directory(file()));
}

// The file size limit stands in for a full disk: writes beyond it fail (SIGXFSZ is
// ignored, so the write returns an error instead of killing the process).
TEST_F(StorageFaults, DiskFullDuringTheSaveKeepsThePreviousContentAndSaysWhy) {
    saveBefore();
    const auto size = static_cast<rlim_t>(fs::file_size(file()));
    const rlim_t limits[] = {0, 512, size / 2, size, size + 8 * 4096};
    for (rlim_t limit : limits) {
        SCOPED_TRACE("file size limit " + std::to_string(limit));
        const Report report = inChild([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit fsize{limit, limit};
            if (setrlimit(RLIMIT_FSIZE, &fsize) != 0) return Report{{"skip", "setrlimit"}};
            test::ReportedErrors errors;
            Report r;
            TrackerList list = after;
            r["save"] = TrackerStore(dir.path(), errors.reporter()).save(list) ? "ok" : "failed";
            r["list unchanged"] = list.entries() == after.entries() ? "yes" : "no";
            r["reports"] = std::to_string(errors.messages.size());
            r["report"] = errors.messages.empty() ? "" : errors.messages.front();
            return r;
        });
        ASSERT_EQ(report.count("skip"), 0u);
        ASSERT_EQ(report.count("child"), 0u) << dump(report);
        EXPECT_EQ(report.at("save"), "failed") << dump(report);
        EXPECT_EQ(report.at("list unchanged"), "yes");
        EXPECT_EQ(report.at("reports"), "1");
        const std::string prefix = "Cannot save the tracker list to " + file().string() + ": ";
        EXPECT_EQ(report.at("report").substr(0, prefix.size()), prefix) << report.at("report");
        EXPECT_GT(report.at("report").size(), prefix.size());
        // The next start reads the old content whole (SQLite plays back its journal).
        expectBefore();
    }
}

// A file system that is really full: a small tmpfs, mounted in a mount namespace of a
// child so that nothing outlives the test, filled up to the last few pages.
TEST_F(StorageFaults, FullFileSystemDuringTheSaveKeepsThePreviousContentAndSaysWhy) {
    const fs::path small = dir.path() / "small";
    fs::create_directory(small);
    const size_t freeBytes[] = {0, 2 * 4096, 16 * 4096};
    for (size_t free : freeBytes) {
        SCOPED_TRACE("free bytes " + std::to_string(free));
        const Report report = inChild([&] {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", small.c_str(), "tmpfs", 0, "size=512k") != 0) {
                return Report{{"skip", std::string("cannot mount a tmpfs: ") + strerror(errno)}};
            }
            Report r;
            if (!SettingsStore(small).save(before.settings) ||
                !TrackerStore(small).save(before.trackers)) {
                return Report{{"setup", "the first save failed"}};
            }
            // Fill the rest, then give back `free` bytes.
            {
                std::ofstream filler(small / "filler", std::ios::binary);
                const std::string block(4096, 'f');
                while (filler.write(block.data(), block.size())) {
                }
            }
            std::error_code ec;
            const auto filled = fs::file_size(small / "filler", ec);
            fs::resize_file(small / "filler", filled > free ? filled - free : 0, ec);

            test::ReportedErrors errors;
            TrackerList list = after;
            r["trackers save"] =
                TrackerStore(small, errors.reporter()).save(list) ? "ok" : "failed";
            r["list unchanged"] = list.entries() == after.entries() ? "yes" : "no";
            ProgramSettings changed = before.settings;
            changed.modemPort = std::string(32 * 4096, 'p');  // more than the room left
            r["settings save"] =
                SettingsStore(small, errors.reporter()).save(changed) ? "ok" : "failed";
            r["reports"] = std::to_string(errors.messages.size());
            for (size_t i = 0; i < errors.messages.size(); ++i) {
                r["report " + std::to_string(i)] = errors.messages[i];
            }
            // What the next start reads: the previous content, whole.
            ProgramSettings settings;
            TrackerList trackers;
            const bool loaded =
                SettingsStore(small).load(settings).ok() && TrackerStore(small).load(trackers).ok();
            r["previous content"] = loaded && settings == before.settings &&
                                            trackers.entries() == before.trackers.entries()
                                        ? "whole"
                                        : "damaged";
            // With room again, the same save goes through.
            fs::remove(small / "filler", ec);
            r["save with room"] = TrackerStore(small).save(list) ? "ok" : "failed";
            return r;
        });
        if (report.count("skip") != 0) GTEST_SKIP() << report.at("skip");
        ASSERT_EQ(report.count("child"), 0u) << dump(report);
        ASSERT_EQ(report.count("setup"), 0u) << dump(report);
        EXPECT_EQ(report.at("trackers save"), "failed") << dump(report);
        EXPECT_EQ(report.at("settings save"), "failed") << dump(report);
        EXPECT_EQ(report.at("list unchanged"), "yes");
        ASSERT_EQ(report.at("reports"), "2");
        const std::string where = (small / "settings.accdb").string();
        EXPECT_EQ(report.at("report 0"),
                  "Cannot save the tracker list to " + where + ": database or disk is full");
        EXPECT_EQ(report.at("report 1"),
                  "Cannot save the settings to " + where + ": database or disk is full");
        EXPECT_EQ(report.at("previous content"), "whole");
        EXPECT_EQ(report.at("save with room"), "ok");
    }
}

}  // namespace
}  // namespace vela
