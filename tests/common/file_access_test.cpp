#include "common/file_access.h"
#include "common/data_directory.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>

namespace vela {
namespace {

using test::TempDir;

TEST(FileAccessTest, ReadsOnlyRegularFilesWithinTheLimit) {
    TempDir dir;
    test::writeFile(dir / "ok", "12345");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_symlink(dir / "loop", dir / "loop");
    struct Case {
        std::filesystem::path path;
        std::size_t limit;
        const char* expected;  // content, or a piece of the refusal
        bool ok;
    };
    const Case cases[] = {
        {dir / "ok", 5, "12345", true},
        {dir / "ok", 4, "larger than 4 bytes", false},
        {dir / "fifo", 100, "a FIFO", false},  // would hang a plain open
        {dir.path(), 100, "a directory", false},
        {dir / "loop", 100, "symbolic links", false},
        {dir / "missing", 100, "No such file", false},
        {"/dev/zero", 100, "a character device", false},
    };
    for (const Case& c : cases) {
        const auto read = ReadRegularFile(c.path, c.limit);
        EXPECT_EQ(read.ok(), c.ok) << c.path;
        const std::string& shown = read.ok() ? read.value() : read.message();
        EXPECT_NE(shown.find(c.expected), std::string::npos) << c.path << ": " << shown;
    }
}

TEST(FileAccessTest, StreamStopsOneBytePastTheLimit) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const std::string data(3000, 'x');
    ASSERT_EQ(::write(pipeFds[1], data.data(), data.size()), 3000);
    ::close(pipeFds[1]);
    FileHandle reader(pipeFds[0]);
    const auto read = ReadLimited(reader.get(), 2999, "standard input");
    ASSERT_FALSE(read);
    EXPECT_EQ(read.message(), "standard input is larger than 2999 bytes");
}

TEST(FileAccessTest, PrivateFilesAreOwnerOnlyAndNeverFollowALink) {
    TempDir dir;
    ASSERT_TRUE(WritePrivateFile(dir / "secret", "one"));
    struct stat info {};
    ASSERT_EQ(::stat((dir / "secret").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // An existing world-readable file is emptied and made owner-only.
    test::writeFile(dir / "old", "long old content");
    ::chmod((dir / "old").c_str(), 0644);
    ASSERT_TRUE(WritePrivateFile(dir / "old", "new"));
    EXPECT_EQ(test::readFile(dir / "old"), "new");
    ASSERT_EQ(::stat((dir / "old").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A planted link is refused and its target left alone.
    test::writeFile(dir / "target", "keep");
    std::filesystem::create_symlink(dir / "target", dir / "planted");
    const Status refused = WritePrivateFile(dir / "planted", "stolen");
    EXPECT_FALSE(refused);
    EXPECT_NE(refused.message().find("symbolic link"), std::string::npos);
    EXPECT_EQ(test::readFile(dir / "target"), "keep");

    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(WritePrivateFile(dir / "fifo", "x"));
}

TEST(FileAccessTest, SecretFileGivesItsFirstLine) {
    TempDir dir;
    test::writeFile(dir / "pw", "s3cret\nignored\n");
    EXPECT_EQ(ReadSecretFile((dir / "pw").string()).value(), "s3cret");
}

TEST(DataDirectoryTest, DirThenUserDataThenEnvironmentThenCurrent) {
    TempDir dir;
    ::setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    ::setenv("VELA_DIR", (dir / "env").c_str(), 1);
    EXPECT_EQ(ResolveDataDirectory(std::string(dir / "given"), false).value(), dir / "given");
    EXPECT_FALSE(ResolveDataDirectory(std::string("x"), true));
    const auto user = ResolveDataDirectory(std::nullopt, true);
    ASSERT_TRUE(user) << user.message();
    EXPECT_EQ(user.value(), dir / "vela");
    struct stat info {};
    ASSERT_EQ(::stat((dir / "vela").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(ResolveDataDirectory(std::nullopt, false).value(), dir / "env");
    ::unsetenv("VELA_DIR");
    EXPECT_EQ(ResolveDataDirectory(std::nullopt, false).value(), std::filesystem::current_path());
    ::unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace vela
