// Several stations running one campaign in a shared PostgreSQL database: real velactl
// processes, a real server started by the tests, and a real fleet of simulated modems
// and trackers. Each station has its own modems and its own port, which its SMS name.
#include "campaign_fixture.h"
#include "postgres_server.h"

#include "campaign/campaign_keeper.h"
#include "storage/campaign_storage.h"
#include "storage/history_store.h"
#include "storage/pg/connection.h"
#include "storage/pg/storage_choice.h"

#include <signal.h>

#include <random>
#include <set>
#include <thread>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

// One station of the campaign: its name, port and modems.
struct Station {
    std::string name;
    uint16_t port = 0;
    std::vector<std::string> modems;
};

class SharedCampaignTest : public CampaignFixture {
protected:
    void SetUp() override {
        CampaignFixture::SetUp();
        ASSERT_TRUE(server().running()) << server().failure();
        url = server().createDatabase();
        ASSERT_FALSE(url.empty());
    }

    virtual PostgresServer& server() { return PostgresServer::shared(); }

    // A fleet whose trackers and settings are in the shared database; station A gets the
    // first half of the modems, station B the rest.
    void ShareFleet(int trackers, int modems, const std::vector<std::string>& extra) {
        StartFleet(trackers, modems, extra);
        const RunResult imported =
            runProgram({toolPath("VELACTL"), "trackers", "import", "--database", url, "--replace",
                        (dir / "fleet.csv").string()});
        ASSERT_EQ(imported.exitCode, 0) << imported.err;
        const RunResult set =
            runProgram({toolPath("VELACTL"), "settings", "set", "--database", url, "--external-ip",
                        "127.0.0.1", "--external-port", std::to_string(port), "--local-port",
                        std::to_string(port), "--modem-port", modemPorts.front()});
        ASSERT_EQ(set.exitCode, 0) << set.err;
        const uint16_t second = freeListeningPort();
        ASSERT_NE(second, 0);
        const auto half = modemPorts.begin() + static_cast<long>(modemPorts.size() / 2);
        stations = {{"A", port, {modemPorts.begin(), half}},
                    {"B", second, {half, modemPorts.end()}}};
    }

    // `velactl campaign ACTION ...` as `station` (under `name` when given).
    std::vector<std::string> StationCommand(const Station& station,
                                            const std::vector<std::string>& action,
                                            const std::string& name = {}) const {
        std::vector<std::string> argv = {toolPath("VELACTL"), "campaign"};
        argv.insert(argv.end(), action.begin(), action.end());
        for (const std::string& modem : station.modems) {
            argv.push_back("--modem");
            argv.push_back(modem);
        }
        const std::string port = std::to_string(station.port);
        argv.insert(argv.end(), {"--database", url, "--station", name.empty() ? station.name : name,
                                 "--local-port", port, "--external-port", port, "--external-ip",
                                 "127.0.0.1", "--lease", "2"});
        return argv;
    }
    std::vector<std::string> First(const std::string& wait, const std::string& attempts) const {
        return StationCommand(stations[0], {"run", "--config", config, "--all", "--wait", wait,
                                            "--attempts", attempts});
    }
    std::vector<std::string> Join(std::size_t station, const std::string& name = {}) const {
        return StationCommand(stations[station], {"join", "1"}, name);
    }

    std::vector<CampaignTrackerRecord> Rows() const {
        const Result<std::vector<CampaignTrackerRecord>> rows =
            OpenCampaignStorage({}, url)->trackers(1);
        EXPECT_TRUE(rows) << rows.message();
        return rows ? rows.value() : std::vector<CampaignTrackerRecord>{};
    }

    // Every tracker has exactly one verdict, no SMS went out beyond the attempts counted,
    // and none was configured twice.
    void ExpectOneVerdictEach(int trackers) {
        const std::vector<CampaignTrackerRecord> rows = Rows();
        ASSERT_EQ(static_cast<int>(rows.size()), trackers);
        HistoryFilter filter;
        filter.campaignId = 1;
        filter.verdict = Verdict::Configured;
        const Result<std::vector<HistoryRecord>> history =
            OpenStorage({}, url)->queryHistory(filter);
        ASSERT_TRUE(history) << history.message();
        std::map<std::string, int> configuredRows;
        for (const HistoryRecord& record : history.value()) ++configuredRows[record.tracker];
        const std::map<std::string, int> sms = fleetSms();
        const std::map<std::string, int> answered = fleetCalls("answered");
        for (const CampaignTrackerRecord& row : rows) {
            const std::string& imei = row.tracker;
            EXPECT_TRUE(row.state == "configured" || row.state == "failed") << imei << row.state;
            EXPECT_LE(sms.count(imei) ? sms.at(imei) : 0, row.attempts)
                << imei << ": an SMS that was not counted";
            // A session cut by a kill is woken again (the same image): at most once per
            // counted attempt.
            const int answers = answered.count(imei) ? answered.at(imei) : 0;
            EXPECT_LE(answers, row.attempts) << imei << " configured beyond its attempts";
            EXPECT_EQ(configuredRows[imei], row.state == "configured" ? 1 : 0) << imei;
        }
    }

    std::string url;
    std::vector<Station> stations;
};

// The keeper renews a third of a lease apart: the leases of the trackers a station holds
// never come near their end while it lives, so no other station can take them.
TEST_F(SharedCampaignTest, TheKeeperRenewsLeasesLongBeforeTheyEnd) {
    std::unique_ptr<CampaignStorage> campaigns = OpenCampaignStorage({}, url);
    CampaignRecord campaign;
    campaign.createdAt = HistoryTimestamp();
    std::vector<CampaignTrackerRecord> rows(4);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].position = static_cast<int64_t>(i);
        rows[i].tracker = "35000000000009" + std::to_string(i);
    }
    const Result<int64_t> id = campaigns->create(campaign, rows);
    ASSERT_TRUE(id) << id.message();
    constexpr auto kLease = 1500ms;
    std::unique_ptr<CampaignClaims> claims =
        campaigns->openClaims(id.value(), {"keeper", "127.0.0.1:1"}, kLease).value();
    ASSERT_EQ(claims->claim(10).value().size(), 4u);
    CampaignKeeper::Station station;
    station.claimRoom = [] { return 0; };
    station.adopt = [](std::vector<CampaignTrackerRecord>) {};
    station.campaignOpen = [](int64_t) {};
    station.warn = [](const std::string&) {};
    station.wake = [] {};
    CampaignKeeper keeper(*claims, kLease, station);
    Result<pg::Connection> watch = pg::Connection::open(url);
    ASSERT_TRUE(watch) << watch.message();
    int64_t leastLeft = kLease.count();
    for (int sample = 0; sample < 200; ++sample) {  // 4 s: several leases long
        Result<pg::QueryResult> left = watch.value().execute(
            "SELECT min(\"LeaseUntil\") - (extract(epoch from clock_timestamp()) * 1000)::bigint"
            " FROM \"CampaignTrackers\" WHERE \"Station\" = 'keeper'");
        ASSERT_TRUE(left) << left.message();
        leastLeft = std::min(leastLeft, left.value().integer(0, 0).value());
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(leastLeft, 400) << "a lease came within " << leastLeft << " ms of its end";
}

TEST_F(SharedCampaignTest, TwoStationsShareTheTrackersAndBothSeeTheCampaignEnd) {
    // Modems that reply in pieces keep the first station busy while the second joins.
    ShareFleet(60, 4, {"--delay", "0-300", "--modem-arg", "--behaviour", "--modem-arg", "split"});
    ChildProcess first(First("20", "2"));
    ASSERT_TRUE(first.waitForOutput("campaign: 1", 20s)) << first.errors();
    ChildProcess second(Join(1));
    ASSERT_EQ(first.wait(90s), 0) << first.output() << first.errors();
    ASSERT_EQ(second.wait(30s), 0) << second.output() << second.errors();
    for (const ChildProcess* station : {&first, &second}) {
        EXPECT_EQ(lines(station->output()).back(), "summary: 60 configured, 0 failed, 60 trackers");
    }

    ExpectOneVerdictEach(60);
    // With both stations live and renewing, no tracker changes hands.
    std::map<std::string, std::set<std::string>> handledBy;
    for (std::size_t at = 0; at < 2; ++at) {
        for (const std::string& line : lines((at == 0 ? first : second).output())) {
            const std::vector<std::string> w = words(line);
            if (w.size() >= 2 && w[0] == "tracker:") handledBy[w[1]].insert(stations[at].name);
        }
    }
    for (const auto& [imei, names] : handledBy) EXPECT_EQ(names.size(), 1u) << imei;
    std::map<std::string, int> byStation;
    for (const CampaignTrackerRecord& row : Rows()) ++byStation[row.station];
    EXPECT_GT(byStation["A"], 0);
    EXPECT_GT(byStation["B"], 0) << "the second station claimed nothing";
    EXPECT_EQ(byStation["A"] + byStation["B"], 60);
    const RunResult status =
        runProgram({toolPath("VELACTL"), "campaign", "status", "1", "--database", url});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_NE(status.out.find("STATION"), std::string::npos);
    EXPECT_NE(status.out.find("127.0.0.1:" + std::to_string(stations[1].port)), std::string::npos)
        << status.out;
    const RunResult joinedTwice = runProgram(Join(1));
    EXPECT_EQ(joinedTwice.exitCode, 0) << "a finished campaign has nothing left to do";
    const RunResult fileJoin =
        runProgram({toolPath("VELACTL"), "campaign", "join", "1", "--dir", dir.path().string()});
    EXPECT_EQ(fileJoin.exitCode, 2) << fileJoin.err;
}

// Both stations are killed without warning over and over and started again under new
// names: the trackers of a dead station wait out its lease and are taken over where
// they stood, never with a second SMS for an attempt already counted.
TEST_F(SharedCampaignTest, StationsKilledAndRestartedAtRandomLoseNothing) {
    ShareFleet(24, 4,
               {"--delay", "0-400", "--never-call", "10", "--modem-arg", "--behaviour",
                "--modem-arg", "split"});
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> pause(300, 2500);
    std::uniform_int_distribution<int> which(0, 1);
    std::vector<std::unique_ptr<ChildProcess>> running(2);
    running[0] = std::make_unique<ChildProcess>(First("4", "3"));
    ASSERT_TRUE(running[0]->waitForOutput("campaign: 1", 20s)) << running[0]->errors();
    running[1] = std::make_unique<ChildProcess>(Join(1, "B0"));
    for (int kill = 1; kill <= 8; ++kill) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
        const int victim = which(random);
        running[victim]->signal(SIGKILL);
        running[victim]->wait(5s);
        running[victim] = std::make_unique<ChildProcess>(
            Join(static_cast<std::size_t>(victim), stations[victim].name + std::to_string(kill)));
    }
    // A modem left inside its prompt by a kill may fail its next dialogues: a station
    // whose modems all fail stops (3) and leaves its trackers to the other one.
    for (auto& station : running) {
        const std::optional<int> code = station->wait(120s);
        ASSERT_TRUE(code == 0 || code == 1 || code == 3) << station->output() << station->errors();
    }
    ExpectOneVerdictEach(24);
    const Result<CampaignRecord> campaign = OpenCampaignStorage({}, url)->campaign(1);
    ASSERT_TRUE(campaign) << campaign.message();
    EXPECT_EQ(campaign.value().state, kCampaignFinished);
    EXPECT_GT(campaign.value().configured, 0);
}

// A server of its own, stopped under a running station.
class SharedCampaignOutageTest : public SharedCampaignTest {
protected:
    PostgresServer& server() override { return own_; }

private:
    PostgresServer own_;
};

TEST_F(SharedCampaignOutageTest, AStationWaitsOutTheLostServerAndGoesOn) {
    ShareFleet(16, 2, {"--delay", "500-1500"});
    stations[0].modems = modemPorts;  // one station with both modems
    ChildProcess station(First("20", "2"));
    ASSERT_TRUE(station.waitForOutput("sms-sent", 20s)) << station.errors();
    server().stop();
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(server().start()) << server().failure();
    ASSERT_EQ(station.wait(90s), 0) << station.output() << station.errors();
    EXPECT_NE(station.errors().find("out of reach"), std::string::npos) << station.errors();
    EXPECT_NE(station.errors().find("reachable again"), std::string::npos) << station.errors();
    EXPECT_EQ(lines(station.output()).back(), "summary: 16 configured, 0 failed, 16 trackers");
    ExpectOneVerdictEach(16);
}

}  // namespace
}  // namespace vela::test
