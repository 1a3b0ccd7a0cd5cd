// Stored text bytes: how files become stored text, and how stored text is shown.
#include "storage/text_encoding.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(TextEncoding, Utf8IsCheckedAndOtherBytesReadAsLatin1) {
    const struct {
        std::string bytes;
        bool valid;
        std::string readable;
    } cases[] = {
        {"plain", true, "plain"},
        {"M\xC3\xBCller", true, "M\xC3\xBCller"},
        {"M\xFCller", false, "M\xC3\xBCller"},                            // Latin-1 u-umlaut
        {"\xC0\xAF", false, "\xC3\x80\xC2\xAF"},                          // overlong "/"
        {"\xED\xA0\x80", false, "\xC3\xAD\xC2\xA0\xC2\x80"},              // a surrogate
        {"\xF4\x90\x80\x80", false, "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},  // above U+10FFFF
        {"ok\xE2\x82", false, "ok\xC3\xA2\xC2\x82"},                      // cut short
        {"\xF0\x9F\x9B\xB0", true, "\xF0\x9F\x9B\xB0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(IsValidUtf8(c.bytes), c.valid);
        EXPECT_EQ(ReadableUtf8(c.bytes), c.readable);
    }
}

TEST(TextEncoding, FileTextSkipsTheMarkAndRefusesOrConvertsOtherBytes) {
    EXPECT_EQ(DecodeFileText("\xEF\xBB\xBFImei\n", TextEncoding::Utf8).value(), "Imei\n");
    EXPECT_EQ(DecodeFileText("Imei\nM\xFC\n", TextEncoding::Latin1).value(), "Imei\nM\xC3\xBC\n");
    const Result<std::string> refused =
        DecodeFileText("\xEF\xBB\xBFImei\nok\nM\xFCller\n", TextEncoding::Utf8);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.message(),
              "line 3: byte 0xFC at column 2 is not UTF-8 (a Latin-1 file is read with "
              "--encoding latin1)");
}

// The import of velactl reads the same way, and what it stored is the converted text.
TEST(TextEncoding, TrackerImportReadsUtf8OrLatin1) {
    test::TempDir dir;
    const std::string velactl = test::toolPath("VELACTL");
    test::writeFile(dir / "bom.csv", "\xEF\xBB\xBFImei,Phone,APN\r\nM\xC3\xBCller,1,a\r\n");
    test::writeFile(dir / "latin1.csv", "Imei,Phone,APN\r\nGen\xE8ve,2,a\r\n");
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    } cases[] = {
        {{"bom.csv"}, 0, ""},
        {{"latin1.csv"},
         1,
         "velactl trackers import: latin1.csv: line 2: byte 0xE8 at column 4 is not UTF-8 (a "
         "Latin-1 file is read with --encoding latin1)\n"},
        {{"--encoding", "latin1", "latin1.csv"}, 0, ""},
        {{"--encoding", "cp1252", "latin1.csv"}, 2, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {velactl, "trackers", "import"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const test::RunResult run = test::runProgram(argv, std::chrono::seconds(60), dir.path());
        SCOPED_TRACE(run.err);
        EXPECT_EQ(run.exitCode, c.exitCode);
        if (c.exitCode == 1) {
            EXPECT_EQ(run.err, c.err);
        }
    }
    const test::RunResult exported =
        test::runProgram({velactl, "trackers", "export"}, std::chrono::seconds(60), dir.path());
    EXPECT_EQ(exported.out,
              "Imei,Phone,Port,APN,Auth,SMSuser,SMSpass,GPRSuser,GPRSpass,Mode\r\n"
              "M\xC3\xBCller,1,0,a,0,,,,,0\r\n"
              "Gen\xC3\xA8ve,2,0,a,0,,,,,0\r\n");
}

}  // namespace
}  // namespace vela
