#include "common/command_line.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

CommandLine sampleCommand() {
    CommandLine command("velactl sample", "velactl sample [OPTIONS] [FILE]");
    command.flag("--force", "replace")
        .option("--dir", "DIR", "data directory")
        .option("--output", "FILE", "where to write", "-o")
        .repeatable("--modem", "PORT", "a modem")
        .positionals(0, 1);
    return command;
}

TEST(CommandLineTest, AcceptsBothValueSpellingsShortAliasesAndRepeats) {
    int exitCode = -1;
    const auto parsed = sampleCommand().parse(
        {"--dir=/a", "--force", "-o", "out", "--modem", "m1", "--modem=m2", "--", "-file"},
        exitCode);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(parsed->value("--dir"), "/a");
    EXPECT_TRUE(parsed->has("--force"));
    EXPECT_FALSE(parsed->value("--force"));
    EXPECT_EQ(parsed->value("--output"), "out");
    EXPECT_EQ(parsed->values("--modem"), (std::vector<std::string>{"m1", "m2"}));
    EXPECT_EQ(parsed->positional(), (std::vector<std::string>{"-file"}));
    EXPECT_EQ(parsed->valueOr("--missing", "x"), "x");
}

TEST(CommandLineTest, RefusesWithExitTwoAndStopsWithZeroForHelp) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const Case cases[] = {
        {{"--bogus"}, 2},        {{"--dir"}, 2},       {{"--force=1"}, 2},
        {{"a", "b"}, 2},         {{"--help"}, 0},      {{"-h"}, 0},
        {{"--version"}, 0},      {{"--dir", "x", "--nope=1"}, 2},
    };
    for (const Case& c : cases) {
        int exitCode = -1;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(sampleCommand().parse(c.args, exitCode)) << c.args.front();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(exitCode, c.exitCode) << c.args.front();
        if (c.exitCode == 2) {
            EXPECT_NE(err.find("Usage: velactl sample"), std::string::npos);
            EXPECT_TRUE(out.empty());
        } else {
            EXPECT_TRUE(err.empty());
            EXPECT_NE(out.find("velactl sample"), std::string::npos);
        }
    }
}

TEST(CommandLineTest, AuthenticationHasBothSpellings) {
    EXPECT_EQ(ParseAuthentication("none"), 0);
    EXPECT_EQ(ParseAuthentication("CHAP"), 1);
    EXPECT_EQ(ParseAuthentication("2"), 2);
    EXPECT_FALSE(ParseAuthentication("3"));
    EXPECT_FALSE(ParseAuthentication(""));
}

}  // namespace
}  // namespace vela
