#pragma once

// What the "Let's Go" end-to-end tests share: a working directory made with velactl
// (database, settings pointing at loopback and at the simulated modem, one tracker),
// the sample configuration, and `vela-sim modem` as a separate process.
#include "../campaign/campaign_fixture.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace vela::test {

inline constexpr const char* kGoImei = "356307042441013";

// A port that nothing listens on right now, below the range the system hands out for
// outgoing connections, so that no client of a busy machine takes it in the meantime.
inline int freeLoopbackPort() {
    return freeListeningPort();
}

class GoFixture : public ::testing::Test {
protected:
    TempDir dir;
    int port = 0;
    std::string xmlPath;
    std::string modemLink;
    std::unique_ptr<ChildProcess> modem;

    void SetUp() override {
        port = freeLoopbackPort();
        ASSERT_NE(port, 0);
        xmlPath = (dir / "device.xml").string();
        writeFile(xmlPath, readFile(sourceDir() / "examples" / "sample-config.xml"));
        modemLink = (dir / "modem").string();
        const std::string where = dir.path().string();
        velactl({"db", "init", "--dir", where});
        velactl({"settings", "set", "--dir", where, "--external-ip", "127.0.0.1", "--external-port",
                 std::to_string(port), "--local-port", std::to_string(port), "--modem-port",
                 modemLink});
        velactl({"trackers", "add", "--dir", where, "--description", kGoImei, "--phone",
                 "37060000000", "--apn", "internet", "--auth", "pap", "--push-port", "07D1"});
    }

    // Ends the simulated modem as an operator would (SIGTERM), so that it stops the
    // trackers it started; the ChildProcess kills it should it hang.
    void TearDown() override { stopModem(); }

    RunResult velactl(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {toolPath("VELACTL")};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult run = runProgram(argv, std::chrono::seconds(30));
        EXPECT_EQ(run.exitCode, 0) << argv[1] << ": " << run.out << run.err;
        return run;
    }

    // `vela-sim modem --link` on the settings' modem port; with `deliver` it starts
    // `vela-sim tracker` (with `trackerArgs`) against the address in the SMS.
    void startModem(bool deliver, const std::vector<std::string>& trackerArgs = {},
                    const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {toolPath("VELA_SIM"), "modem", "--link", modemLink};
        if (deliver) argv.push_back("--deliver");
        std::vector<std::string> tracker = {"--imei", kGoImei, "--timeout", "20"};
        tracker.insert(tracker.end(), trackerArgs.begin(), trackerArgs.end());
        for (const std::string& arg : tracker) {
            argv.push_back("--tracker-arg");
            argv.push_back(arg);
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        modem = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(modem->waitForOutput("link: " + modemLink + "\n", std::chrono::seconds(10)))
            << modem->output() << modem->errors();
    }

    void stopModem() {
        if (!modem) return;
        modem->signal(SIGTERM);
        (void)modem->wait(std::chrono::seconds(10));
    }

    // The rest of the first line of the modem's output that starts with `label`.
    std::string modemLine(const std::string& label) const {
        const std::string out = "\n" + (modem ? modem->output() : std::string());
        const std::size_t at = out.find("\n" + label);
        if (at == std::string::npos) return {};
        const std::size_t start = at + 1 + label.size();
        return out.substr(start, out.find('\n', start) - start);
    }
};

}  // namespace vela::test
