// `velactl go` -> `vela-sim modem --deliver` -> `vela-sim tracker` as separate processes
// on loopback and a pseudo-terminal.
#include "go_fixture.h"

#include <cstdio>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

std::string hex2(unsigned char byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%.2X", byte);
    return text;
}

class GoE2eTest : public GoFixture {
protected:
    std::vector<std::string> go(const std::vector<std::string>& extra = {"--timeout", "30"}) {
        std::vector<std::string> argv = {
            toolPath("VELACTL"), "go",    "--tracker", kGoImei,
            "--config",          xmlPath, "--dir",     dir.path().string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }
};

TEST_F(GoE2eTest, TheWokenTrackerGetsTheEncodedFileAndTheRunEndsWithItsAnswer) {
    const std::string saved = (dir / "received.bin").string();
    startModem(true, {"--expect-xml", xmlPath, "--save-image", saved});
    const RunResult run = runProgram(go(), 60s);
    ASSERT_TRUE(modem->waitForOutput("exited with status", 10s)) << modem->output();
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err << modem->output();

    // The image the tracker received is the encoding of the same file.
    const std::string encoded = (dir / "encoded.bin").string();
    velactl({"encode", xmlPath, "-o", encoded});
    const std::string image = readFile(encoded);
    ASSERT_GE(image.size(), 2u);
    EXPECT_EQ(readFile(saved), image);
    // The modem received the PDU of the stored tracker and settings.
    const RunResult pdu = velactl({"pdu", "--tracker", kGoImei, "--dir", dir.path().string()});
    EXPECT_EQ(modemLine("pdu: ") + "\n", pdu.out);
    EXPECT_NE(modemLine("length: ").find("matches"), std::string::npos) << modem->output();
    EXPECT_EQ(modemLine("ip: "), "127.0.0.1");
    EXPECT_EQ(modemLine("port: "), std::to_string(port));
    EXPECT_NE(modem->output().find("tracker: image matches"), std::string::npos) << modem->output();
    EXPECT_NE(modem->output().find("exited with status 0"), std::string::npos) << modem->output();

    const std::string length = hex2(image[0]) + hex2(image[1]);
    EXPECT_EQ(run.out,
              "status: Idle...\n"
              "file: Configuration file: device.xml\n"
              "progress: 0\n"
              "status: Starting the push sms creation\n"
              "progress: 25\n"
              "status: Push sms sending...\n"
              "progress: 50\n"
              "status: Waiting for incoming connection...\n"
              "progress: 75\n"
              "status: Welcome " +
                  std::string(kGoImei) +
                  "!\n"
                  "device: Device IMEI: " +
                  kGoImei +
                  "\n"
                  "status: Catch the new config..." +
                  length +
                  " Bytes\n"
                  "status: Done, received answer..." +
                  length + " (" + length +
                  ") Bytes\n"
                  "progress: 100\n"
                  "progress: hidden\n"
                  "verdict: configured " +
                  std::to_string(static_cast<unsigned char>(image[0]) * 256 +
                                 static_cast<unsigned char>(image[1])) +
                  " of " +
                  std::to_string(static_cast<unsigned char>(image[0]) * 256 +
                                 static_cast<unsigned char>(image[1])) +
                  " bytes\n");
}

TEST_F(GoE2eTest, AModemFailureEndsTheRunWithoutListening) {
    startModem(true, {}, {"--behaviour", "cpin-error"});
    const RunResult run = runProgram(go(), 60s);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("status: Push sms sending...\n"
                           "error: SIM was not found or protected\n"
                           "progress: hidden\n"
                           "status: Idle...\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Waiting for incoming connection"), std::string::npos);
    EXPECT_EQ(modem->output().find("deliver:"), std::string::npos);
}

TEST_F(GoE2eTest, AMissingModemIsReportedWithItsLikelyCause) {
    // No simulator: the settings name a port that does not exist.
    const RunResult run = runProgram(go(), 60s);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("error: Could not open selected port\nprogress: hidden\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.err.find(modemLink), std::string::npos) << run.err;
}

TEST_F(GoE2eTest, ATrackerThatHangsUpFailsTheRun) {
    startModem(true, {"--no-answer"});
    const RunResult run = runProgram(go(), 60s);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("status: Connection closed by the tracker before it answered\n"),
              std::string::npos)
        << run.out;
}

TEST_F(GoE2eTest, NoCallTimesOutAndUsageErrors) {
    startModem(false);  // accepts the SMS but delivers nothing
    const RunResult run = runProgram(go({"--timeout", "1"}), 60s);
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_NE(run.out.find("status: Waiting for incoming connection...\n"), std::string::npos);
    EXPECT_NE(modem->output().find("sms: accepted"), std::string::npos);

    EXPECT_EQ(runProgram({toolPath("VELACTL"), "go", "--config", xmlPath}, 20s).exitCode, 2);
    EXPECT_EQ(runProgram(go({"--timeout", "soon"}), 20s).exitCode, 2);
    const RunResult help = runProgram({toolPath("VELACTL"), "go", "--help"}, 20s);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: velactl go"), std::string::npos);
}

}  // namespace
}  // namespace vela::test
