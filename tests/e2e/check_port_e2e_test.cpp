// `velactl check-port` and `vela-test-server` as separate processes on loopback.
#include "../campaign/campaign_fixture.h"
#include "storage/settings_store.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

// A port that nothing listens on right now, below the range the system hands out for
// outgoing connections, so that no client of a busy machine takes it in the meantime.
int freePort() {
    return freeListeningPort();
}

class CheckPortE2eTest : public ::testing::Test {
protected:
    TempDir dir;
    int port = 0;
    std::unique_ptr<ChildProcess> server;
    std::string serverPort;

    void SetUp() override {
        port = freePort();
        ASSERT_NE(port, 0);
        storeSettings(0x7F000001);
        const std::string prefix = "vela-test-server: listening on 127.0.0.1:";
        server = std::make_unique<ChildProcess>(
            std::vector<std::string>{toolPath("VELA_TEST_SERVER"), "--port", "0"});
        ASSERT_TRUE(server->waitForOutput(prefix, 10s)) << server->errors();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (server->output().find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        const std::string out = server->output();
        ASSERT_NE(out.find('\n'), std::string::npos);
        serverPort = out.substr(prefix.size(), out.find('\n') - prefix.size());
        writeFile(dir / "test-server.ini", "127.0.0.1\n" + serverPort + "\n");
    }

    void storeSettings(uint32_t externalIp) {
        ProgramSettings settings;
        settings.externalIp = externalIp;
        settings.externalPort = port;
        settings.localPort = port;
        ASSERT_TRUE(SettingsStore(dir.path()).save(settings).ok());
    }

    std::vector<std::string> checkPort(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {toolPath("VELACTL"), "check-port", "--dir",
                                         dir.path().string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }
};

TEST_F(CheckPortE2eTest, TheServerCallsBackAndTheCheckPasses) {
    const RunResult run = runProgram(checkPort({"--timeout", "20"}), 30s);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    // Whatever the start-up printed, the check itself ends the output.
    const std::string expected =
        "status: Idle...\n"
        "progress: 0\n"
        "status: Sending the test message to 127.0.0.1:" +
        serverPort +
        "\n"
        "progress: 50\n"
        "status: Waiting for incoming connection...\n"
        "progress: 75\n"
        "status: Welcome XXXXXXXXXXXXXXX!\n"
        "device: Device IMEI: XXXXXXXXXXXXXXX\n"
        "progress: hidden\n"
        "status: Test completed successfully!\n"
        "device: \n"
        "verdict: port-checked\n";
    ASSERT_GE(run.out.size(), expected.size());
    EXPECT_EQ(run.out.substr(run.out.size() - expected.size()), expected) << run.out;
    EXPECT_NE(server->output().find("claim=127.0.0.1:" + std::to_string(port)), std::string::npos);
}

TEST_F(CheckPortE2eTest, ARefusedRequestEndsTheCheckInsteadOfWaiting) {
    // The server calls back only the address the message came from: it refuses a claim
    // of 127.0.0.2 in one line, and the check ends with that reason.
    storeSettings(0x7F000002);
    const RunResult run = runProgram(checkPort({"--timeout", "20"}), 30s);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("error: Test server is down.. Try again later!\n"), std::string::npos)
        << run.out << run.err;
    EXPECT_NE(run.err.find("the test server refused the check: "), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("status: Waiting for incoming connection..."), std::string::npos);
    EXPECT_NE(run.out.find("verdict: port-check-failed"), std::string::npos);
}

TEST_F(CheckPortE2eTest, FailuresAndUsage) {
    std::filesystem::remove(dir / "test-server.ini");
    RunResult run = runProgram(checkPort(), 30s);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("status: Sending the test message to :\n"
                           "error: Test server is down.. Try again later!\n"
                           "progress: hidden\n"
                           "status: Idle...\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.err.find("test-server.ini"), std::string::npos) << run.err;

    writeFile(dir / "test-server.ini", "127.0.0.1\n" + std::to_string(freePort()) + "\n");
    run = runProgram(checkPort(), 30s);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("error: Test server is down.. Try again later!\n"), std::string::npos)
        << run.out << run.err;

    // A name with a control character in the error line is shown escaped.
    const std::filesystem::path odd = dir / "d\x1b[2J";
    std::filesystem::create_directories(odd / "test-server.ini");
    run = runProgram({toolPath("VELACTL"), "check-port", "--dir", odd.string()}, 30s);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("velactl check-port: cannot read " + (dir / "d\\x1B[2J").string()),
              std::string::npos)
        << run.err;
    EXPECT_EQ((run.out + run.err).find('\x1b'), std::string::npos);

    EXPECT_EQ(runProgram(checkPort({"--tracker", "x"}), 20s).exitCode, 2);
    EXPECT_EQ(runProgram(checkPort({"--timeout", "soon"}), 20s).exitCode, 2);
    EXPECT_EQ(runProgram(checkPort({"--dir"}), 20s).exitCode, 2);
    const RunResult help = runProgram({toolPath("VELACTL"), "check-port", "--help"}, 20s);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("test-server.ini"), std::string::npos);
}

}  // namespace
}  // namespace vela::test
