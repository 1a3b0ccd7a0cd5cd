// `velactl listen` and `vela-sim tracker` as separate processes on loopback.
#include "../campaign/campaign_fixture.h"
#include "config/config_reader.h"
#include "storage/settings_store.h"
#include "storage/tracker_store.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

const std::string kImei = "356307042441013";
const std::string kXml =
    "<sys>\n<powermode>false</powermode>\n</sys>\n<gps>\n<enable>true</enable>\n"
    "<minperiod>60</minperiod>\n</gps>\n";

// A port that nothing listens on right now, below the range the system hands out for
// outgoing connections, so that no client of a busy machine takes it in the meantime.
int freePort() {
    return freeListeningPort();
}

std::string hex2(uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%.2X", byte);
    return text;
}

class ListenE2eTest : public ::testing::Test {
protected:
    TempDir dir;
    int port = 0;
    std::string xmlPath;
    std::string lengthText;  // the image's length field, "%.2X%.2X"
    int imageLength = 0;     // the same field as a number

    void SetUp() override {
        TrackerList list;
        TrackerEntry entry;
        entry.description = kImei;
        entry.phone = "37060000000";
        list.add(entry);
        ASSERT_TRUE(TrackerStore(dir.path()).save(list).ok());
        port = freePort();
        ASSERT_NE(port, 0);
        ProgramSettings settings;
        settings.localPort = port;
        ASSERT_TRUE(SettingsStore(dir.path()).save(settings).ok());
        xmlPath = (dir / "device.xml").string();
        writeFile(xmlPath, kXml);
        ConfigImage image;
        ASSERT_TRUE(EncodeConfigText(kXml, 0, image).ok());
        lengthText = hex2(image.bytes[0]) + hex2(image.bytes[1]);
        imageLength = image.bytes[0] * 256 + image.bytes[1];
    }

    // A caller that connects and goes away without a word.
    struct RawCaller {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        explicit RawCaller(uint16_t port) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address),
                      0);
        }
        ~RawCaller() { ::close(fd); }
        bool sendAll(const std::string& bytes) const {
            return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(bytes.size());
        }
        // Reads until `count` bytes have come (or the peer closed, or 10 s passed).
        std::string receive(std::size_t count) const {
            std::string received;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (received.size() < count && std::chrono::steady_clock::now() < end) {
                pollfd ready{fd, POLLIN, 0};
                if (::poll(&ready, 1, 100) <= 0) continue;
                char buffer[4096];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                received.append(buffer, static_cast<std::size_t>(n));
            }
            return received;
        }
        RawCaller(const RawCaller&) = delete;
        RawCaller& operator=(const RawCaller&) = delete;
    };

    std::vector<std::string> listen(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {
            toolPath("VELACTL"), "listen", "--tracker", kImei,
            "--config",          xmlPath,  "--dir",     dir.path().string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    RunResult tracker(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {toolPath("VELA_SIM"),
                                         "tracker",
                                         "--port",
                                         std::to_string(port),
                                         "--imei",
                                         kImei,
                                         "--expect-xml",
                                         xmlPath,
                                         "--timeout",
                                         "20"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return runProgram(argv, 30s);
    }
};

TEST_F(ListenE2eTest, ATrackerIsConfiguredAndTheRunEndsWithItsAnswer) {
    ChildProcess velactl(listen({"--timeout", "30"}));
    ASSERT_TRUE(velactl.waitForOutput("status: Waiting for incoming connection...\n", 20s))
        << velactl.output() << velactl.errors();
    const RunResult sim = tracker();
    EXPECT_EQ(sim.exitCode, 0) << sim.out << sim.err;
    EXPECT_EQ(velactl.wait(20s), 0) << velactl.errors();
    EXPECT_EQ(velactl.output(),
              "status: Idle...\n"
              "file: Configuration file: device.xml\n"
              "progress: 0\n"
              "status: Skipping the push sms creation\n"
              "progress: 50\n"
              "status: Waiting for incoming connection...\n"
              "progress: 75\n"
              "status: Welcome " +
                  kImei +
                  "!\n"
                  "device: Device IMEI: " +
                  kImei +
                  "\n"
                  "status: Catch the new config..." +
                  lengthText +
                  " Bytes\n"
                  "status: Done, received answer..." +
                  lengthText + " (" + lengthText +
                  ") Bytes\n"
                  "progress: 100\n"
                  "progress: hidden\n"
                  "verdict: configured " +
                  std::to_string(imageLength) + " of " + std::to_string(imageLength) + " bytes\n");
}

TEST_F(ListenE2eTest, SplitIdentificationAndAShortAnswer) {
    ChildProcess velactl(listen({"--timeout", "30"}));
    ASSERT_TRUE(velactl.waitForOutput("status: Waiting for incoming connection...\n", 20s));
    const RunResult sim = tracker({"--split", "10", "--short-answer"});
    EXPECT_EQ(sim.exitCode, 0) << sim.out << sim.err;
    EXPECT_EQ(velactl.wait(20s), 1);  // only the whole image counts
    EXPECT_TRUE(velactl.output().ends_with("verdict: rejected short answer (0 bytes)\n") ||
                velactl.output().ends_with("verdict: rejected short answer (1 bytes)\n") ||
                velactl.output().ends_with("verdict: rejected short answer (2 bytes)\n"))
        << velactl.output();
    EXPECT_NE(velactl.output().find("status: Welcome " + kImei + "!\n"), std::string::npos);
    EXPECT_NE(
        velactl.output().find("status: Done, received answer...---- (" + lengthText + ") Bytes\n"),
        std::string::npos)
        << velactl.output();
}

TEST_F(ListenE2eTest, ATrackerThatClosesWithoutAnsweringFailsTheRun) {
    ChildProcess velactl(listen({"--timeout", "30"}));
    ASSERT_TRUE(velactl.waitForOutput("status: Waiting for incoming connection...\n", 20s));
    (void)tracker({"--no-answer"});
    EXPECT_EQ(velactl.wait(20s), 1);
    EXPECT_NE(
        velactl.output().find("status: Connection closed by the tracker before it answered\n"),
        std::string::npos)
        << velactl.output();
}

// Strays and other trackers do not end the run: the stored tracker calling after them is
// configured, and the history holds one row per caller that identified itself.
TEST_F(ListenE2eTest, StraysAndAnotherTrackerLeaveTheRunWaitingForItsTracker) {
    ChildProcess velactl(listen({"--timeout", "30"}));
    ASSERT_TRUE(velactl.waitForOutput("status: Waiting for incoming connection...\n", 20s));
    {
        RawCaller stray(port);  // connects and closes without a word
    }
    ASSERT_TRUE(velactl.waitForOutput(
        "status: Connection closed by the tracker before it identified itself\n"
        "status: Waiting for incoming connection...\n",
        20s))
        << velactl.output();
    const RunResult other = tracker({"--imei", "111111111111111"});
    EXPECT_NE(other.exitCode, 0);  // it got no image
    ASSERT_TRUE(velactl.waitForOutput(
        "status: Unexpected caller IMEI 111111111111111, waiting for " + kImei + "\n", 20s));
    EXPECT_EQ(tracker().exitCode, 0);
    EXPECT_EQ(velactl.wait(20s), 0) << velactl.output() << velactl.errors();
    EXPECT_EQ(velactl.output().find("verdict: wrong-caller"), std::string::npos);

    const RunResult json =
        runProgram({toolPath("VELACTL"), "history", "--dir", dir.path().string(), "--json"}, 20s);
    ASSERT_EQ(json.exitCode, 0) << json.err;
    // A standard JSON parser reads it; newest first.
    const RunResult parsed =
        runProgram({"/usr/bin/env", "python3", "-c",
                    "import json,sys; rows=json.load(sys.stdin); "
                    "print(' '.join(r['verdict']+'/'+r['caller_imei'] for r in rows))"},
                   20s, std::nullopt, json.out);
    EXPECT_EQ(parsed.out, "configured/" + kImei + " wrong-caller/111111111111111\n") << json.out;

    // The CSV reads back in sqlite3's CSV mode with the same rows.
    const std::string csv = (dir / "history.csv").string();
    writeFile(csv, runProgram(
                       {toolPath("VELACTL"), "history", "--dir", dir.path().string(), "--csv"}, 20s)
                       .out);
    const RunResult imported =
        runProgram({"/usr/bin/env", "sqlite3", ":memory:", ".import --csv " + csv + " h",
                    "SELECT Verdict, Tracker FROM h ORDER BY ID;"},
                   20s);
    EXPECT_EQ(imported.out, "wrong-caller|" + kImei + "\nconfigured|" + kImei + "\n")
        << imported.err;

    // Filters, and what the history command refuses.
    const RunResult rejected = runProgram(
        {toolPath("VELACTL"), "history", "--dir", dir.path().string(), "--verdict", "wrong-caller"},
        20s);
    EXPECT_EQ(rejected.exitCode, 0);
    EXPECT_NE(rejected.out.find("wrong-caller"), std::string::npos);
    EXPECT_EQ(rejected.out.find("configured"), std::string::npos) << rejected.out;
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--verdict", "fine"},
                                                {"--since", "yesterday"},
                                                {"--limit", "0"},
                                                {"--csv", "--json"}}) {
        std::vector<std::string> argv = {toolPath("VELACTL"), "history", "--dir",
                                         dir.path().string()};
        argv.insert(argv.end(), bad.begin(), bad.end());
        EXPECT_EQ(runProgram(argv, 20s).exitCode, 2) << bad[0];
    }
}

TEST_F(ListenE2eTest, AnotherCountIsRejectedWithTheCountsNamed) {
    ChildProcess velactl(listen({"--timeout", "30"}));
    ASSERT_TRUE(velactl.waitForOutput("status: Waiting for incoming connection...\n", 20s));
    RawCaller tracker(port);
    ASSERT_TRUE(tracker.sendAll(std::string("\x00\x0F", 2) + kImei));
    EXPECT_EQ(tracker.receive(static_cast<std::size_t>(imageLength) + 2).size(),
              static_cast<std::size_t>(imageLength) + 2);
    ASSERT_TRUE(tracker.sendAll(std::string("\x01\x00\x00", 3)));
    EXPECT_EQ(velactl.wait(20s), 1);
    const std::string counts = "0 of " + std::to_string(imageLength) + " bytes";
    EXPECT_TRUE(velactl.output().ends_with("error: The tracker reported " + counts +
                                           "\nverdict: rejected " + counts + "\n"))
        << velactl.output();
}

// The session's two pauses (after the image, after the answer) carry its end past a
// --timeout of 2 s: the timer falls due while the run is ending, and the run's end must
// still decide the status. Repeated, because the order of the two is what is tested.
TEST_F(ListenE2eTest, TheExitStatusFollowsTheVerdictWhenTheTimerFallsDueAtTheEnd) {
    int configured = 0;
    for (int round = 0; round < 4; ++round) {
        ChildProcess velactl(listen({"--timeout", "2"}));
        ASSERT_TRUE(velactl.waitForOutput("status: Waiting for incoming connection...\n", 20s))
            << velactl.errors();
        (void)tracker();
        const std::optional<int> exitCode = velactl.wait(20s);
        const bool tookImage = velactl.output().find("verdict: configured ") != std::string::npos;
        configured += tookImage ? 1 : 0;
        EXPECT_EQ(exitCode, tookImage ? 0 : 3) << round << velactl.output() << velactl.errors();
    }
    EXPECT_GT(configured, 0) << "no round reached its verdict before the timer";
}

TEST_F(ListenE2eTest, TimeOutBusyPortAndUsage) {
    {
        const RunResult run = runProgram(listen({"--timeout", "1"}), 20s);
        EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
        EXPECT_TRUE(run.out.ends_with("verdict: no-call\n")) << run.out;
    }
    // Beyond a day (or nothing) is a usage error, not a different wait.
    for (const char* bad : {"0", "86401", "2147484", "4294968", "-1"}) {
        EXPECT_EQ(runProgram(listen({"--timeout", bad}), 20s).exitCode, 2) << bad;
    }
    {
        ChildProcess first(listen({"--timeout", "20"}));
        ASSERT_TRUE(first.waitForOutput("status: Waiting for incoming connection...\n", 20s));
        const RunResult second = runProgram(listen({"--timeout", "5"}), 20s);
        EXPECT_EQ(second.exitCode, 1);
        EXPECT_NE(second.out.find("error: Cannot listen on port " + std::to_string(port) + ": "),
                  std::string::npos)
            << second.out;
        EXPECT_NE(second.out.find("progress: hidden\nstatus: Idle...\n"), std::string::npos);
    }
    EXPECT_EQ(runProgram({toolPath("VELACTL"), "listen", "--config", xmlPath}, 20s).exitCode, 2);
    EXPECT_EQ(runProgram(listen({"--timeout", "soon"}), 20s).exitCode, 2);
    const RunResult unknown = runProgram({toolPath("VELACTL"), "listen", "--tracker", "nobody",
                                          "--config", xmlPath, "--dir", dir.path().string()},
                                         20s);
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_FALSE(unknown.err.empty());
}

TEST_F(ListenE2eTest, AFileThatCannotBeReadIsRefusedWithItsReason) {
    // A directory in place of the file: the box's fixed text on stdout, the reason on stderr.
    const RunResult run = runProgram({toolPath("VELACTL"), "listen", "--tracker", kImei, "--config",
                                      dir.path().string(), "--dir", dir.path().string()},
                                     20s);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("error: Error in XML file!\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Waiting for incoming connection"), std::string::npos);
    EXPECT_NE(run.err.find(dir.path().string()), std::string::npos) << run.err;
}

}  // namespace
}  // namespace vela::test

namespace vela::test {
namespace {

// A caller from outside the stored allow-list is closed unread and the run waits on;
// a range that does not parse is a usage error, on the run and in the settings.
TEST_F(ListenE2eTest, CallersOutsideTheAllowListAreNotServed) {
    const std::vector<std::string> set = {
        toolPath("VELACTL"), "settings", "set", "--dir", dir.path().string(), "--allow-from"};
    auto withList = [&set](const char* list) {
        std::vector<std::string> argv = set;
        argv.emplace_back(list);
        return argv;
    };
    ASSERT_EQ(runProgram(withList("10.1.2.3/8"), 20s).exitCode, 2);
    const RunResult stored = runProgram(withList("10.0.0.0/8, 127.0.0.9"), 20s);
    ASSERT_EQ(stored.exitCode, 0) << stored.err;
    EXPECT_NE(stored.out.find("allow-from: 10.0.0.0/8, 127.0.0.9/32\n"), std::string::npos)
        << stored.out;
    ChildProcess velactl(listen({"--timeout", "3"}));
    ASSERT_TRUE(velactl.waitForOutput("status: Waiting for incoming connection...\n", 20s))
        << velactl.output() << velactl.errors();
    const RunResult sim = tracker({"--timeout", "2"});
    EXPECT_NE(sim.exitCode, 0) << sim.out << sim.err;
    EXPECT_EQ(velactl.wait(20s), 3) << velactl.errors();
    EXPECT_EQ(velactl.output().find("Welcome"), std::string::npos) << velactl.output();
    EXPECT_EQ(runProgram(listen({"--allow-from", "10.1.2.3/8"}), 20s).exitCode, 2);
}

}  // namespace
}  // namespace vela::test
