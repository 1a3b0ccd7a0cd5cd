// velactl campaign as a process: its lines and exit codes, a stop and a resume, and
// kill -9 at random moments followed by resumes.
#include "campaign_fixture.h"

#include "storage/campaign_store.h"
#include "storage/history_store.h"

#include <csignal>
#include <random>
#include <regex>
#include <set>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

class VelactlCampaignTest : public CampaignFixture {
protected:
    std::vector<std::string> Command(std::vector<std::string> args) {
        args.insert(args.begin(), toolPath("VELACTL"));
        args.push_back("--dir");
        args.push_back(dir.path().string());
        return args;
    }
    std::vector<std::string> RunCommand(const std::string& wait,
                                        const std::string& attempts = "2") {
        std::vector<std::string> args = {"campaign", "run", "--config",   config,  "--all",
                                         "--wait",   wait,  "--attempts", attempts};
        for (const std::string& modem : modemPorts) {
            args.push_back("--modem");
            args.push_back(modem);
        }
        return Command(args);
    }
};

TEST_F(VelactlCampaignTest, JsonLinesStatusAndListOfACampaignThatConfiguresAll) {
    StartFleet(6, 2, {"--delay", "0-300"});
    std::vector<std::string> run = RunCommand("5");
    run.insert(run.end(), {"--json", "--trace", (dir / "modem.trace").string()});
    const RunResult result = runProgram(run, 60s);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;

    const std::vector<std::string> out = lines(result.out);
    ASSERT_GE(out.size(), 2u);
    const std::string time = R"re("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")re";
    EXPECT_TRUE(std::regex_match(
        out.front(),
        std::regex(R"re(\{"campaign":1,"event":"started",)re" + time + R"re(,"trackers":6\})re")))
        << out.front();
    EXPECT_TRUE(std::regex_match(
        out.back(),
        std::regex(
            R"re(\{"campaign":1,"configured":6,"delivered":0,"event":"summary","failed":0,)re" +
            time + R"re(,"trackers":6,"unconfirmed":0,"undeliverable":0\})re")))
        << out.back();
    const std::regex event(R"re(\{"detail":"[^"]*","event":"(sms-sent|called|configured)",)re" +
                           time + R"re(,"tracker":"35\d{13}"\})re");
    for (std::size_t i = 1; i + 1 < out.size(); ++i) {
        EXPECT_TRUE(std::regex_match(out[i], event)) << out[i];
    }
    EXPECT_EQ(out.size(), 2u + 3 * 6);

    const RunResult status = runProgram(Command({"campaign", "status", "1", "--json"}));
    ASSERT_EQ(status.exitCode, 0) << status.err;
    const std::regex row(
        R"(\{"answer":"[^"]*","attempts":1,.*"last_event":"configured",.*"state":"configured",.*"tracker":"35\d{13}",.*"verdict":"configured"\},?)");
    const std::vector<std::string> rows = lines(status.out);
    ASSERT_EQ(rows.size(), 8u) << status.out;
    EXPECT_EQ(rows.front(), "[");
    EXPECT_EQ(rows.back(), "]");
    for (std::size_t i = 1; i + 1 < rows.size(); ++i)
        EXPECT_TRUE(std::regex_match(rows[i], row)) << rows[i];

    // The totals end the text form; the CSV has the JSON keys as its header; the report
    // stands alone (no link, no script, no image from elsewhere) with a chart and a
    // coloured row per tracker.
    EXPECT_EQ(lines(runProgram(Command({"campaign", "status", "1"})).out).back(),
              "totals: 6 trackers, 6 configured, 0 failed, 0 waiting, 0 pending");
    const std::vector<std::string> csv =
        lines(runProgram(Command({"campaign", "status", "1", "--csv"})).out);
    ASSERT_EQ(csv.size(), 7u);
    EXPECT_EQ(csv.front(),
              "tracker,phone,state,attempts,last_event,verdict,detail,modem_port,"
              "caller_address,answer,updated_at,station\r");
    const RunResult report =
        runProgram(Command({"campaign", "report", "1", "--html", (dir / "r.html").string()}));
    ASSERT_EQ(report.exitCode, 0) << report.err;
    const std::string page = readFile(dir / "r.html");
    EXPECT_NE(page.find("<svg"), std::string::npos);
    EXPECT_NE(page.find("configured 6</text>"), std::string::npos);
    for (const char* outside : {"src=", "href=", "<script", "@import", "url("})
        EXPECT_EQ(page.find(outside), std::string::npos) << outside;
    std::size_t rowsShown = 0;
    for (std::size_t at = 0; (at = page.find("<tr class=\"configured\">", at)) != std::string::npos;
         ++at)
        ++rowsShown;
    EXPECT_EQ(rowsShown, 6u);

    // One owner-only trace per modem, each holding its own dialogues.
    for (const char* name : {"modem.trace", "modem.trace.2"}) {
        EXPECT_EQ(std::filesystem::status(dir / name).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        EXPECT_NE(readFile(dir / name).find("> AT+CMGS="), std::string::npos) << name;
    }

    // Each outcome's history row proves which file the tracker took.
    const RunResult digest = runProgram({"/usr/bin/sha256sum", config});
    ASSERT_EQ(digest.exitCode, 0);
    HistoryFilter filter;
    filter.campaignId = 1;
    const Result<std::vector<HistoryRecord>> history = HistoryStore(dir.path()).query(filter);
    ASSERT_TRUE(history) << history.message();
    ASSERT_EQ(history.value().size(), 6u);
    for (const HistoryRecord& record : history.value()) {
        EXPECT_EQ(record.kind, "campaign");
        EXPECT_EQ(record.verdict, Verdict::Configured);
        EXPECT_EQ(record.configSha256, words(digest.out).front());
        EXPECT_EQ(record.detail, std::to_string(record.imageBytes) + " of " +
                                     std::to_string(record.imageBytes) + " bytes");
        EXPECT_EQ(record.answerBytes, record.imageBytes);
        EXPECT_EQ(record.phone, "3706000000" + record.tracker.substr(14));
    }

    const RunResult list = runProgram(Command({"campaign", "list"}));
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_TRUE(std::regex_search(list.out, std::regex(R"(\n1 +\S+ +finished +6 +0 +6 )")))
        << list.out;
}

// Status reports tell the trackers that got their SMS and did not call from those whose
// SMS never arrived: each one's no-call names its cause, and the summary counts both.
TEST_F(VelactlCampaignTest, DeliveryReportsNameTheCauseOfEachNoCall) {
    StartFleet(12, 2, {"--delay", "0-300", "--never-call", "34", "--undelivered", "34"});
    std::vector<std::string> run = RunCommand("3", "1");
    run.push_back("--delivery-report");
    const RunResult result = runProgram(run, 90s);
    ASSERT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_NE(result.out.find("summary: 4 configured, 8 failed, 12 trackers (SMS: 8 delivered, 4 "
                              "undeliverable, 0 not confirmed)\n"),
              std::string::npos)
        << result.out;
    const std::map<std::string, std::vector<std::string>> expected = {
        // A tracker may call while its modem still waits for the report: in any order.
        {"normal", {"called", "configured", "sms-delivered", "sms-sent"}},
        {"never-calls", {"sms-sent", "sms-delivered", "no-call"}},
        {"undelivered", {"sms-sent", "sms-undeliverable", "no-call"}},
    };
    const Result<std::vector<CampaignTrackerRecord>> rows = CampaignStore(dir.path()).trackers(1);
    ASSERT_TRUE(rows) << rows.message();
    ASSERT_EQ(rows.value().size(), 12u);
    for (const CampaignTrackerRecord& row : rows.value()) {
        const std::string& role = roleOf[row.tracker];
        SCOPED_TRACE(row.tracker + " " + role);
        std::vector<std::string> events;
        for (const std::string& line : lines(result.out)) {
            const std::vector<std::string> w = words(line);
            if (w.size() >= 3 && w[0] == "tracker:" && w[1] == row.tracker) events.push_back(w[2]);
        }
        if (role == "normal") std::sort(events.begin(), events.end());
        EXPECT_EQ(events, expected.at(role));
        if (role == "never-calls") {
            EXPECT_EQ(row.delivery, "delivered");
            EXPECT_TRUE(std::regex_match(
                row.detail, std::regex("the SMS was delivered at \\d\\d:\\d\\d:\\d\\d but the "
                                       "tracker did not call: check the APN, the external "
                                       "address and the port forwarding")))
                << row.detail;
        } else if (role == "undelivered") {
            EXPECT_EQ(row.delivery, "undeliverable");
            EXPECT_EQ(row.detail,
                      "SMS not delivered: the tracker was unreachable until the message expired");
        } else {
            EXPECT_EQ(row.delivery, "delivered");
            EXPECT_EQ(row.verdict, "configured");
        }
        EXPECT_FALSE(row.deliveredAt.empty());
        EXPECT_TRUE(row.messageReference.has_value());
    }
    // History keeps the delivery beside each verdict.
    HistoryFilter filter;
    filter.campaignId = 1;
    const Result<std::vector<HistoryRecord>> history = HistoryStore(dir.path()).query(filter);
    ASSERT_TRUE(history) << history.message();
    ASSERT_EQ(history.value().size(), 12u);
    // (A tracker configured while its modem still awaited the report has none.)
    for (const HistoryRecord& record : history.value()) {
        const std::string& role = roleOf[record.tracker];
        if (role == "normal") continue;
        EXPECT_EQ(record.delivery, role == "undelivered" ? "undeliverable" : "delivered") << role;
        EXPECT_FALSE(record.deliveredAt.empty());
    }
}

// A modem that cannot send is left out before its first SMS, naming why; the others keep
// to --sms-per-minute.
TEST_F(VelactlCampaignTest, UnfitModemsAreLeftOutAndSmsArePaced) {
    StartFleet(3, 1, {"--delay", "0-100"});
    ChildProcess locked({toolPath("VELA_SIM"), "modem", "--link", (dir / "locked").string(),
                         "--behaviour", "sim-pin"});
    ASSERT_TRUE(locked.waitForOutput("link: ", 10s)) << locked.errors();
    modemPorts.push_back((dir / "locked").string());
    std::vector<std::string> run = RunCommand("5");
    run.insert(run.end(), {"--sms-per-minute", "60"});
    const auto started = std::chrono::steady_clock::now();
    const RunResult result = runProgram(run, 60s);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.err.find("warning: modem " + (dir / "locked").string() +
                              " left out: the SIM is not ready"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(locked.output().find("AT+CMGS"), std::string::npos) << locked.output();
    // Three SMS through one modem at one a second: two full seconds between the first
    // and the last.
    EXPECT_GE(took, 2s);
}

TEST_F(VelactlCampaignTest, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"campaign"},
        {"campaign", "launch"},
        {"campaign", "run", "--all"},
        {"campaign", "run", "--config", config},
        {"campaign", "run", "--config", config, "--all", "--tracker", "350000000000001"},
        {"campaign", "run", "--config", config, "--all", "--wait", "0"},
        {"campaign", "run", "--config", config, "--all", "--attempts", "two"},
        {"campaign", "run", "--config", config, "--all", "--colour"},
        {"campaign", "resume"},
        {"campaign", "resume", "first"},
        {"campaign", "status", "1", "2"},
    };
    for (const std::vector<std::string>& args : cases) {
        const RunResult result = runProgram(Command(args));
        EXPECT_EQ(result.exitCode, 2) << args[1] << " " << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
}

TEST_F(VelactlCampaignTest, StoppedBySigtermExitsWithThreeAndResumesRunByOneProcessOnly) {
    StartFleet(8, 1, {"--delay", "1500-2000"});
    ChildProcess run(RunCommand("3"));
    ASSERT_TRUE(run.waitForOutput("sms-sent", 20s)) << run.errors();
    const RunResult second = runProgram(Command({"campaign", "resume", "1"}));
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("campaign 1 is being run by process"), std::string::npos)
        << second.err;
    run.signal(SIGTERM);
    ASSERT_EQ(run.wait(20s), 3) << run.output() << run.errors();
    const std::vector<std::string> out = lines(run.output());
    EXPECT_TRUE(
        std::regex_match(out.back(), std::regex(R"(summary: \d configured, 0 failed, 8 trackers)")))
        << out.back();
    EXPECT_EQ(CampaignStore(dir.path()).campaign(1).value().state, kCampaignInterrupted);

    const RunResult resumed = runProgram(Command({"campaign", "resume", "1"}), 60s);
    EXPECT_EQ(resumed.exitCode, 0) << resumed.out << resumed.err;
    EXPECT_EQ(lines(resumed.out).back(), "summary: 8 configured, 0 failed, 8 trackers");
    for (const auto& [imei, count] : fleetSms()) EXPECT_LE(count, 2) << imei;
}

// Killed without warning over and over, the campaign never sends a second SMS for an
// attempt it counted, never configures a tracker twice and never loses a saved result.
TEST_F(VelactlCampaignTest, KilledAtRandomMomentsAndResumedLosesNothing) {
    // Modems that reply in pieces keep each SMS between "accepted by the network" and
    // "OK" for a while, so kills land in that window often.
    StartFleet(20, 2,
               {"--delay", "0-400", "--never-call", "10", "--modem-arg", "--behaviour",
                "--modem-arg", "split"});
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> pause(100, 1500);
    constexpr int kKills = 20;
    for (int kill = 0; kill < kKills; ++kill) {
        ChildProcess run(kill == 0 ? RunCommand("2") : Command({"campaign", "resume", "1"}));
        if (kill == 0) {
            ASSERT_TRUE(run.waitForOutput("campaign: 1", 20s)) << run.errors();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
        run.signal(SIGKILL);
        run.wait(5s);
    }
    const RunResult last = runProgram(Command({"campaign", "resume", "1"}), 90s);
    ASSERT_TRUE(last.exitCode == 0 || last.exitCode == 1) << last.out << last.err;

    const Result<std::vector<CampaignTrackerRecord>> rows = CampaignStore(dir.path()).trackers(1);
    ASSERT_TRUE(rows) << rows.message();
    ASSERT_EQ(rows.value().size(), 20u);
    const std::map<std::string, int> sms = fleetSms();
    const std::map<std::string, int> answered = fleetCalls("answered");
    HistoryFilter filter;
    filter.campaignId = 1;
    filter.verdict = Verdict::Configured;
    std::map<std::string, int> configuredRows;
    const Result<std::vector<HistoryRecord>> history = HistoryStore(dir.path()).query(filter);
    ASSERT_TRUE(history) << history.message();
    for (const HistoryRecord& record : history.value()) {
        ++configuredRows[record.tracker];
    }
    int configured = 0;
    for (const CampaignTrackerRecord& row : rows.value()) {
        const std::string& imei = row.tracker;
        EXPECT_TRUE(row.state == "configured" || row.state == "failed") << imei << " " << row.state;
        const int smsCount = sms.count(imei) ? sms.at(imei) : 0;
        EXPECT_LE(smsCount, row.attempts) << imei << ": an SMS that was not counted";
        EXPECT_LE(row.attempts, 2) << imei;
        // Killed between its answer and the save, a tracker is woken again (the same
        // image): at most once per counted attempt.
        const int answers = answered.count(imei) ? answered.at(imei) : 0;
        EXPECT_LE(answers, row.attempts) << imei << " configured beyond its attempts";
        if (row.state == "configured") {
            ++configured;
            EXPECT_GE(answers, 1) << imei << " configured without an answer";
            EXPECT_EQ(configuredRows[imei], 1) << imei;
        } else if (answers >= 1) {
            EXPECT_EQ(row.verdict, "answer-unknown") << imei;
            EXPECT_NE(row.detail.find("the answer is unknown"), std::string::npos) << imei;
        } else {
            EXPECT_NE(row.verdict, "answer-unknown") << imei << ": it never called";
        }
    }
    EXPECT_GT(configured, 0);
    EXPECT_EQ(CampaignStore(dir.path()).campaign(1).value().state, kCampaignFinished);
}

// Killed while images are going out: the trackers cut short are woken again with the
// same image on resume, and every well-behaved tracker ends configured.
TEST_F(VelactlCampaignTest, KilledWhileImagesGoOutEveryTrackerIsConfiguredOnResume) {
    // Trackers that take their time to answer are in their sessions when the kill comes.
    StartFleet(12, 2, {"--delay", "0-200", "--answer-delay", "1500"});
    {
        ChildProcess run(RunCommand("2"));
        ASSERT_TRUE(run.waitForOutput("called", 20s)) << run.errors();
        std::this_thread::sleep_for(300ms);  // the image is out, the answer not yet
        run.signal(SIGKILL);
        run.wait(5s);
    }
    const RunResult resumed = runProgram(Command({"campaign", "resume", "1"}), 90s);
    EXPECT_EQ(resumed.exitCode, 0) << resumed.out << resumed.err;
    EXPECT_EQ(lines(resumed.out).back(), "summary: 12 configured, 0 failed, 12 trackers");
    const Result<std::vector<CampaignTrackerRecord>> rows = CampaignStore(dir.path()).trackers(1);
    ASSERT_TRUE(rows) << rows.message();
    const std::map<std::string, int> sms = fleetSms();
    for (const CampaignTrackerRecord& row : rows.value()) {
        EXPECT_EQ(row.verdict, "configured") << row.tracker << " " << row.detail;
        EXPECT_LE(sms.count(row.tracker) ? sms.at(row.tracker) : 0, row.attempts) << row.tracker;
    }
}

}  // namespace
}  // namespace vela::test
