// velactl encode and decode, run as the operator runs them.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace vela {
namespace {

using test::runProgram;
using test::toolPath;

const char* const kWorkedExample =
    "<sys>\r\n<powermode>false</powermode>\r\n</sys>\r\n<gps>\r\n<enable>true</enable>\r\n"
    "<minperiod>60</minperiod>\r\n</gps>\r\n<operatorcode>\r\n<code>24601</code>\r\n"
    "</operatorcode>\r\n<operatorcode>\r\n<code>24602</code>\r\n</operatorcode>\r\n"
    "<sendweekday>\r\n<sendwday>127</sendwday>\r\n</sendweekday>\r\n<senddaytime>\r\n"
    "<senddtime>8</senddtime>\r\n</senddaytime>\r\n<senddaytime>\r\n<senddtime>20</senddtime>\r\n"
    "</senddaytime>\r\n";
const char* const kWorkedExampleHex =
    "003044000603E800013003F200013103F30002363004F7000B32343630312C3234363032"
    "04F80006374630383134"
    "04F90000";

class VelactlConfig : public ::testing::Test {
protected:
    std::string velactl = toolPath("VELACTL");
    test::TempDir dir;
};

TEST_F(VelactlConfig, EncodePrintsTheImageAsOneHexLine) {
    test::writeFile(dir / "worked.xml", kWorkedExample);
    const auto run = runProgram({velactl, "encode", (dir / "worked.xml").string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, std::string(kWorkedExampleHex) + "\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(VelactlConfig, EncodeWritesRawBytesWithOutputOption) {
    test::writeFile(dir / "empty.xml", "");
    const auto run =
        runProgram({velactl, "encode", (dir / "empty.xml").string(), "-o", (dir / "img").string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "");
    const std::string expected(
        "\x00\x0F\x44\x00\x03\x04\xF7\x00\x00\x04\xF8\x00\x00\x04\xF9\x00\x00", 17);
    EXPECT_EQ(test::readFile(dir / "img"), expected);
}

TEST_F(VelactlConfig, EncodeRefusalSaysErrorInXmlFileAndWhy) {
    const auto missing = runProgram({velactl, "encode", (dir / "typo.xml").string()});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err.rfind("Error in XML file!\n", 0), 0u) << missing.err;
    EXPECT_NE(missing.err.find("typo.xml"), std::string::npos) << missing.err;

    test::writeFile(dir / "worked.xml", kWorkedExample);
    const auto device =
        runProgram({velactl, "encode", (dir / "worked.xml").string(), "--device-type", "1"});
    EXPECT_EQ(device.exitCode, 1);
    EXPECT_NE(device.err.find("device type 1"), std::string::npos) << device.err;
}

TEST_F(VelactlConfig, EncodeUsage) {
    const auto help = runProgram({velactl, "encode", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: velactl encode FILE"), std::string::npos);
    EXPECT_EQ(runProgram({velactl, "encode"}).exitCode, 2);
    EXPECT_EQ(runProgram({velactl, "encode", "a.xml", "--device-type", "x"}).exitCode, 2);
    EXPECT_EQ(runProgram({velactl, "encode", "a.xml", "--bogus"}).exitCode, 2);
}

TEST_F(VelactlConfig, DecodeListsHeaderAndRecords) {
    const auto run = runProgram({velactl, "decode", "--hex", kWorkedExampleHex});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("rest length: 48 (0x0030)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("record count: 6"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("id 1271 (0x04F7), length 11, value \"24601,24602\""), std::string::npos)
        << run.out;
    EXPECT_EQ(run.err, "");
}

TEST_F(VelactlConfig, DecodeReadsFilesAndStandardInput) {
    test::writeFile(dir / "worked.xml", kWorkedExample);
    ASSERT_EQ(
        runProgram({velactl, "encode", (dir / "worked.xml").string(), "-o", (dir / "img").string()})
            .exitCode,
        0);
    const auto fromFile = runProgram({velactl, "decode", (dir / "img").string()});
    EXPECT_EQ(fromFile.exitCode, 0) << fromFile.err;
    const auto fromStdin = runProgram({velactl, "decode", "-"}, std::chrono::seconds(60),
                                      std::nullopt, test::readFile(dir / "img"));
    EXPECT_EQ(fromStdin.exitCode, 0) << fromStdin.err;
    EXPECT_EQ(fromStdin.out, fromFile.out);
    EXPECT_NE(fromFile.out.find("value \"7F0814\""), std::string::npos) << fromFile.out;
}

TEST_F(VelactlConfig, DecodeReportsInconsistencies) {
    // Record count 2, one record; the value bytes are shown escaped.
    const auto run = runProgram({velactl, "decode", "--hex", "000A 44 0002 03E8 0001 0A 01 02"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("inconsistent:"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("value \"\\x0A\""), std::string::npos) << run.out;

    EXPECT_EQ(runProgram({velactl, "decode", "--hex", "00F"}).exitCode, 2);
    EXPECT_EQ(runProgram({velactl, "decode", (dir / "none").string()}).exitCode, 1);
    EXPECT_EQ(runProgram({velactl, "decode", "--help"}).exitCode, 0);
    EXPECT_EQ(runProgram({velactl, "decode"}).exitCode, 2);
}

}  // namespace
}  // namespace vela
