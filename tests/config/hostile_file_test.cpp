// Files that are not what an operator meant to pick: a FIFO, a device, a directory, a
// symbolic link loop, a file past the size limit. Every reader refuses them at once
// with the reason, as the operator meets it.
#include "config/config_reader.h"
#include "link/port_check.h"
#include "storage/tracker_csv.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

namespace vela {
namespace {

namespace fs = std::filesystem;

struct HostileFile {
    const char* kind;
    // Makes the file at `path`, given the reader's size limit.
    std::function<void(const fs::path& path, std::size_t limit)> make;
    // What the refusal says (LIMIT stands for the limit).
    std::string reason;
};

std::vector<HostileFile> hostileFiles() {
    return {
        {"fifo", [](const fs::path& p, std::size_t) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         "a FIFO, not a regular file"},
        {"device", [](const fs::path& p, std::size_t) { fs::create_symlink("/dev/zero", p); },
         "a character device, not a regular file"},
        {"directory", [](const fs::path& p, std::size_t) { fs::create_directory(p); },
         "a directory, not a regular file"},
        {"link loop",
         [](const fs::path& p, std::size_t) {
             fs::create_symlink(p.string() + ".b", p);
             fs::create_symlink(p, p.string() + ".b");
         },
         "Too many levels of symbolic links"},
        {"too large",  // sparse: the reader must not read or allocate it to find out
         [](const fs::path& p, std::size_t limit) {
             test::writeFile(p, "");
             fs::resize_file(p, limit + 1);
         },
         "is larger than LIMIT bytes"},
    };
}

std::string withLimit(std::string reason, std::size_t limit) {
    if (const auto at = reason.find("LIMIT"); at != std::string::npos) {
        reason.replace(at, 5, std::to_string(limit));
    }
    return reason;
}

TEST(HostileFiles, EveryVelactlReaderRefusesThemWithTheReason) {
    struct Reader {
        std::vector<std::string> command;  // the file's path goes last
        std::size_t limit;
    };
    const Reader readers[] = {
        {{"encode"}, kMaxConfigFileBytes},
        {{"decode"}, ConfigImage::kCapacity},
        {{"trackers", "import"}, kMaxTrackerCsvBytes},
    };
    for (const Reader& reader : readers) {
        for (const HostileFile& hostile : hostileFiles()) {
            SCOPED_TRACE(reader.command[0] + std::string(" of a ") + hostile.kind);
            test::TempDir dir;
            const fs::path file = dir / "input";
            hostile.make(file, reader.limit);
            std::vector<std::string> argv = {test::toolPath("VELACTL")};
            argv.insert(argv.end(), reader.command.begin(), reader.command.end());
            argv.push_back(file.string());
            const test::RunResult run =
                test::runProgram(argv, std::chrono::seconds(30), dir.path());
            EXPECT_EQ(run.exitCode, 1) << run.err;
            EXPECT_NE(run.err.find(withLimit(hostile.reason, reader.limit)), std::string::npos)
                << run.err;
            EXPECT_FALSE(fs::exists(dir / "settings.accdb"));
        }
    }
}

TEST(HostileFiles, StandardInputHasTheSameLimit) {
    const std::string image(ConfigImage::kCapacity + 1, '\0');
    const test::RunResult run = test::runProgram({test::toolPath("VELACTL"), "decode", "-"},
                                                 std::chrono::seconds(30), std::nullopt, image);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("standard input is larger than 65536 bytes"), std::string::npos)
        << run.err;
}

TEST(HostileFiles, TheTestServerIniIsRefusedWithTheReason) {
    for (const HostileFile& hostile : hostileFiles()) {
        SCOPED_TRACE(hostile.kind);
        test::TempDir dir;
        hostile.make(dir / kTestServerIniName, 64 * 1024);
        const TestServerAddress address = readTestServerIni(dir.path());
        EXPECT_FALSE(address.usable());
        EXPECT_NE(address.problem.find(withLimit(hostile.reason, 64 * 1024)), std::string::npos)
            << address.problem;
    }
}

}  // namespace
}  // namespace vela
