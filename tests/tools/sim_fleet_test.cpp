// `vela-sim fleet` as a process: woken through its modem by `velactl sms`, calling a
// small stand-in for Vela on loopback.
#include "loopback.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <sstream>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

const std::string kImei = "350000000000000";
const std::string kForeignImei = "950000000000000";
// The smallest image: three empty records.
const std::string kSmallestImage(
    "\x00\x0F\x44\x00\x03\x04\xF7\x00\x00\x04\xF8\x00\x00\x04\xF9\x00\x00", 17);
const std::string kFullAnswer("\x01\x00\x0F", 3);

std::string identification(const std::string& imei) {
    return std::string("\x00\x0F", 2) + imei;
}

// The words after "modems: ".
std::vector<std::string> modemPaths(const std::string& output) {
    const auto at = output.find("modems: ");
    if (at == std::string::npos) return {};
    std::istringstream words(output.substr(at + 8, output.find('\n', at) - at - 8));
    std::vector<std::string> paths;
    for (std::string word; words >> word;) paths.push_back(word);
    return paths;
}

class SimFleet : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vela_.valid()); }

    // A fleet whose trackers are in the database of `dir_`, with its first modem and the
    // stand-in's port in the settings.
    void Start(std::vector<std::string> extra) {
        std::vector<std::string> argv = {toolPath("VELA_SIM"),
                                         "fleet",
                                         "--trackers",
                                         "1",
                                         "--seed",
                                         "1",
                                         "--delay",
                                         "0-0",
                                         "--lifetime",
                                         "60",
                                         "--call-timeout",
                                         "10",
                                         "--csv",
                                         (dir_ / "fleet.csv").string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        fleet_ = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(fleet_->waitForOutput("modems: ", 10s)) << fleet_->errors();
        paths_ = modemPaths(fleet_->output());
        ASSERT_FALSE(paths_.empty());
        ASSERT_EQ(Velactl({"trackers", "import", (dir_ / "fleet.csv").string()}).exitCode, 0);
        ASSERT_EQ(Velactl({"settings", "set", "--external-ip", "127.0.0.1", "--external-port",
                           std::to_string(vela_.port()), "--modem-port", paths_[0]})
                      .exitCode,
                  0);
    }

    RunResult Velactl(std::vector<std::string> args) {
        args.insert(args.begin(), toolPath("VELACTL"));
        args.insert(args.end(), {"--dir", dir_.path().string()});
        return runProgram(args, 30s);
    }

    // Stops the fleet and returns everything it printed.
    std::string Stop() {
        fleet_->signal(SIGTERM);
        EXPECT_EQ(fleet_->wait(30s), 0) << fleet_->errors();
        return fleet_->output();
    }

    TempDir dir_;
    LoopbackListener vela_;
    std::unique_ptr<ChildProcess> fleet_;
    std::vector<std::string> paths_;
};

struct RoleCase {
    const char* name;
    std::vector<std::string> options;
    std::string claimedImei;
    bool servesImage;      // the stand-in sends the image (Vela would to a known caller)
    std::string answer;    // what the tracker sends back before closing
    const char* callLine;  // what the fleet reports
};

void PrintTo(const RoleCase& role, std::ostream* out) {
    *out << role.name;
}

class SimFleetRoles : public SimFleet, public ::testing::WithParamInterface<RoleCase> {};

TEST_P(SimFleetRoles, WokenBySmsCallsAndPlaysItsRole) {
    const RoleCase& role = GetParam();
    Start(role.options);
    const RunResult sms = Velactl({"sms", "--tracker", kImei});
    ASSERT_EQ(sms.exitCode, 0) << sms.out << sms.err;

    LoopbackConnection call = vela_.accept(10s);
    ASSERT_TRUE(call.valid()) << fleet_->output();
    EXPECT_EQ(call.read(17, 10s), identification(role.claimedImei));
    std::string answer;
    if (role.servesImage) {
        ASSERT_TRUE(call.sendAll(kSmallestImage));
        EXPECT_TRUE(call.readUntilClosed(answer, 10s));
    }
    call.close();
    EXPECT_EQ(answer, role.answer);

    if (std::string(role.name) == "duplicate") {
        // The second call of a tracker already configured: Vela closes it at once.
        LoopbackConnection again = vela_.accept(10s);
        ASSERT_TRUE(again.valid());
        EXPECT_EQ(again.read(17, 10s), identification(kImei));
        again.close();
        EXPECT_TRUE(fleet_->waitForOutput("turned-away (second call)", 10s));
    }
    ASSERT_TRUE(fleet_->waitForOutput(role.callLine, 10s)) << fleet_->output();
    const std::string out = Stop();
    EXPECT_NE(out.find("sms: 37060000000 modem 1 " + kImei + " " + role.name), std::string::npos)
        << out;
    EXPECT_NE(out.find("summary: 1 trackers, 1 sms (0 to unknown numbers)"), std::string::npos)
        << out;
}

INSTANTIATE_TEST_SUITE_P(
    Each, SimFleetRoles,
    ::testing::Values(
        RoleCase{"normal", {}, kImei, true, kFullAnswer, "call: 350000000000000 answered 17 bytes"},
        RoleCase{"rejects",
                 {"--reject", "100"},
                 kImei,
                 true,
                 std::string("\x01\x00\x10", 3),
                 "call: 350000000000000 answered-wrong"},
        RoleCase{
            "hangs-up", {"--hang-up", "100"}, kImei, true, "", "call: 350000000000000 hung-up"},
        RoleCase{"foreign",
                 {"--foreign", "100"},
                 kForeignImei,
                 false,
                 "",
                 "call: 350000000000000 turned-away (as 950000000000000)"},
        RoleCase{"duplicate",
                 {"--duplicate", "100"},
                 kImei,
                 true,
                 kFullAnswer,
                 "call: 350000000000000 answered 17 bytes"}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::erase(name, '-');
        return name;
    });

TEST_F(SimFleet, NeverCallerStaysSilentAndAnUnknownNumberIsReported) {
    Start({"--never-call", "100"});
    ASSERT_EQ(
        Velactl({"trackers", "add", "--description", "350000000000999", "--phone", "123"}).exitCode,
        0);
    ASSERT_EQ(Velactl({"sms", "--tracker", kImei}).exitCode, 0);
    ASSERT_EQ(Velactl({"sms", "--tracker", "350000000000999"}).exitCode, 0);
    EXPECT_FALSE(vela_.accept(1500ms).valid());
    const std::string out = Stop();
    EXPECT_NE(out.find("sms: 37060000000 modem 1 " + kImei + " never-calls"), std::string::npos);
    EXPECT_NE(out.find("sms: 123 modem 1 unknown"), std::string::npos) << out;
    EXPECT_NE(out.find("summary: 1 trackers, 2 sms (1 to unknown numbers), 0 calls"),
              std::string::npos);
}

TEST_F(SimFleet, ModemFailsAfterItsShareOfSmsWhileTheOthersGoOn) {
    Start({"--trackers", "2", "--modems", "2", "--never-call", "100", "--fail-after", "1"});
    ASSERT_EQ(paths_.size(), 2u);
    const RunResult first = Velactl({"sms", "--tracker", kImei});
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    EXPECT_NE(Velactl({"sms", "--tracker", kImei}).exitCode, 0);
    EXPECT_TRUE(fleet_->waitForOutput("modem-failed: 1 " + paths_[0] + " after 1 sms", 10s));
    ASSERT_EQ(Velactl({"settings", "set", "--modem-port", paths_[1]}).exitCode, 0);
    EXPECT_EQ(Velactl({"sms", "--tracker", "350000000000001"}).exitCode, 0);
    EXPECT_NE(Stop().find("summary: 2 trackers, 2 sms"), std::string::npos);
}

TEST(SimFleetPlan, RolesFollowTheSharesAndTheSeed) {
    const std::vector<std::string> argv = {
        toolPath("VELA_SIM"), "fleet", "--trackers", "200", "--never-call", "10", "--reject", "5",
        "--foreign",          "1",     "--seed",     "42",  "--lifetime",   "1"};
    const RunResult first = runProgram(argv, 30s);
    const RunResult second = runProgram(argv, 30s);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const auto trackerLines = [](const std::string& out) {
        return out.substr(0, out.find("modems: "));
    };
    EXPECT_EQ(trackerLines(first.out), trackerLines(second.out));
    const auto count = [&](const std::string& role) {
        std::size_t n = 0;
        for (auto at = first.out.find(" " + role + "\n"); at != std::string::npos;
             at = first.out.find(" " + role + "\n", at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("never-calls"), 20u);
    EXPECT_EQ(count("rejects"), 10u);
    EXPECT_EQ(count("foreign"), 2u);
    EXPECT_EQ(count("normal"), 168u);
    EXPECT_NE(first.out.find("tracker: 350000000000199 37060000199 "), std::string::npos);
}

TEST(SimFleetPlan, BadOptionsAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {"--trackers", "0"},
        {"--delay", "500-100"},
        {"--never-call", "60", "--reject", "50"},
        {"--modems", "2", "--fail-modem", "3", "--fail-after", "1"},
        {"--first-imei", "35000000000000x"},
        {"--first-imei", "999999999999999", "--trackers", "2"},
    };
    for (const auto& options : cases) {
        std::vector<std::string> argv = {toolPath("VELA_SIM"), "fleet", "--lifetime", "1"};
        argv.insert(argv.end(), options.begin(), options.end());
        const RunResult run = runProgram(argv, 30s);
        EXPECT_EQ(run.exitCode, 2) << options[0] << " " << options[1];
        EXPECT_EQ(run.out.find("modems: "), std::string::npos);
    }
}

}  // namespace
}  // namespace vela::test
