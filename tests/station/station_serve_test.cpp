// Unattended stations as processes: two `velactl station serve` on one shared database
// started by the tests, each with its own modems of one `vela-sim fleet`, carry out a
// campaign put in the queue with plain SQL (or `campaign submit`) while one of them is
// killed, both are stopped, the database is restarted under them, or the campaign's time
// has not come yet. A listener on the database hears the campaign finish.
#include "campaign_fixture.h"
#include "postgres_server.h"

#include "station/station_config.h"
#include "station/station_service.h"
#include "storage/history_store.h"
#include "storage/pg/connection.h"

#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>

#include <fstream>
#include <functional>
#include <regex>
#include <thread>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

// What happens while the campaign runs.
enum class Disturbance {
    None,
    KillOne,
    StopBoth,
    RestartDatabase,
    NotYet,
    RateLimited,
    ModemsLate
};

struct Scenario {
    const char* name;
    Disturbance disturbance;
};

// Each station's SMS a minute: 60 where the rate limit is watched, else not in the way.
int SmsPerMinute(Disturbance disturbance) {
    return disturbance == Disturbance::RateLimited ? 60 : 6000;
}

// A LISTEN connection of its own that collects the notifications' payloads.
class Listener {
public:
    explicit Listener(const std::string& url) : connection_(PQconnectdb(url.c_str())) {
        PQclear(PQexec(connection_, "LISTEN vela_campaign; LISTEN vela_tracker"));
    }
    // After the server restarted: what was said meanwhile is lost to a listener.
    void reconnect() {
        PQreset(connection_);
        PQclear(PQexec(connection_, "LISTEN vela_campaign; LISTEN vela_tracker"));
    }
    ~Listener() { PQfinish(connection_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    bool ok() const { return PQstatus(connection_) == CONNECTION_OK; }

    // Waits at most `limit` for a payload that holds `text`.
    bool heard(const std::string& text, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (const std::string& payload : payloads_)
                if (payload.find(text) != std::string::npos) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd fd{PQsocket(connection_), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(std::min<int64_t>(left.count(), 200)));
            PQconsumeInput(connection_);
            while (PGnotify* note = PQnotifies(connection_)) {
                payloads_.emplace_back(note->extra);
                PQfreemem(note);
            }
        }
    }

private:
    PGconn* connection_;
    std::vector<std::string> payloads_;
};

class StationServeTest : public CampaignFixture, public ::testing::WithParamInterface<Scenario> {
protected:
    void SetUp() override {
        CampaignFixture::SetUp();
        ASSERT_TRUE(server().running()) << server().failure();
        url = server().createDatabase();
        ASSERT_FALSE(url.empty());
        ::setenv("VELA_STATION_POLL_MS", "200", 1);
    }
    static PostgresServer& server() { return PostgresServer::shared(); }

    // The fleet's trackers and settings in the database; a configuration file per station.
    // With `modemsLate`, each station's modem is a name that appears only later.
    void ShareFleet(int trackers, int smsPerMinute, bool modemsLate) {
        StartFleet(trackers, 2, {"--delay", "300-900"});
        const RunResult imported =
            runProgram({toolPath("VELACTL"), "trackers", "import", "--database", url, "--replace",
                        (dir / "fleet.csv").string()});
        ASSERT_EQ(imported.exitCode, 0) << imported.err;
        const RunResult set = runProgram({toolPath("VELACTL"), "settings", "set", "--database", url,
                                          "--external-ip", "127.0.0.1", "--external-port",
                                          std::to_string(port), "--modem-port", modemPorts[0]});
        ASSERT_EQ(set.exitCode, 0) << set.err;
        const uint16_t second = freeListeningPort();
        ASSERT_NE(second, 0);
        const uint16_t ports[] = {port, second};
        for (int i = 0; i < 2; ++i) {
            const std::string name(1, static_cast<char>('A' + i));
            std::ofstream(dir / (name + ".conf"))
                << "# station " << name << "\nname = " << name
                << "\nmodem = " << (modemsLate ? (dir / ("late" + name)).string() : modemPorts[i])
                << "\nexternal-ip = 127.0.0.1\nexternal-port = " << ports[i]
                << "\ndatabase = " << url << "\nlease = 2\nsms-per-minute = " << smsPerMinute
                << "\n";
        }
    }

    std::unique_ptr<ChildProcess> Serve(const std::string& name) {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            toolPath("VELACTL"), "station", "serve", "--config", (dir / (name + ".conf")).string(),
            "--metrics-file", (dir / (name + ".prom")).string()});
    }

    // The campaign as a fleet system queues it: two INSERTs in one transaction, the image
    // as `velactl encode` prints it.
    int64_t SubmitWithSql() {
        const RunResult encoded = runProgram({toolPath("VELACTL"), "encode", config});
        EXPECT_EQ(encoded.exitCode, 0) << encoded.err;
        Result<pg::Connection> connection = pg::Connection::open(url);
        EXPECT_TRUE(connection) << connection.message();
        if (!connection) return 0;
        EXPECT_TRUE(connection.value().execute("BEGIN"));
        Result<pg::QueryResult> campaign = connection.value().execute(
            "INSERT INTO \"Campaigns\" (\"State\", \"ConfigFile\", \"Images\", \"WaitSeconds\", "
            "\"Attempts\", \"StationGroup\") VALUES ('queued', 'fleet.xml', $1, 8, 3, '') "
            "RETURNING \"ID\"",
            {"0 " + words(encoded.out).front()});
        EXPECT_TRUE(campaign) << campaign.message();
        if (!campaign) return 0;
        const int64_t id = campaign.value().integer(0, 0).value();
        Result<pg::QueryResult> trackers = connection.value().execute(
            "INSERT INTO \"CampaignTrackers\" (\"CampaignId\", \"Position\", \"Tracker\") "
            "SELECT $1, row_number() OVER (ORDER BY \"ID\"), \"Imei\" FROM \"Trackers\"",
            {id});
        EXPECT_TRUE(trackers) << trackers.message();
        EXPECT_TRUE(connection.value().execute("COMMIT"));
        return id;
    }

    // A figure of the database (0 while it cannot be read).
    int64_t Count(const std::string& sql) {
        Result<pg::Connection> connection = pg::Connection::open(url);
        if (!connection) return 0;
        Result<pg::QueryResult> rows = connection.value().execute(sql);
        if (!rows || rows.value().rows() == 0) return 0;
        Result<int64_t> value = rows.value().integer(0, 0);
        return value ? value.value() : 0;
    }
    bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (done()) return true;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }
    int64_t Configured() {
        return Count("SELECT count(*) FROM \"CampaignTrackers\" WHERE \"State\" = 'configured'");
    }
    std::string CampaignState() {
        Result<pg::Connection> connection = pg::Connection::open(url);
        if (!connection) return {};
        Result<pg::QueryResult> rows =
            connection.value().execute("SELECT \"State\" FROM \"Campaigns\" WHERE \"ID\" = 1");
        return rows && rows.value().rows() == 1 ? rows.value().text(0, 0) : std::string();
    }

    std::string url;
};

TEST_P(StationServeTest, TwoStationsCarryAQueuedCampaignToTheEnd) {
    constexpr int kTrackers = 12;
    const Disturbance disturbance = GetParam().disturbance;
    ShareFleet(kTrackers, SmsPerMinute(disturbance), disturbance == Disturbance::ModemsLate);
    Listener listener(url);
    ASSERT_TRUE(listener.ok());
    std::unique_ptr<ChildProcess> stations[] = {Serve("A"), Serve("B")};
    if (disturbance == Disturbance::NotYet) {
        // A file the reader refuses (a folder), an unknown tracker and a time without its
        // zone never queue.
        const std::vector<std::pair<std::vector<std::string>, int>> refused = {
            {{"--config", dir.path().string(), "--all"}, 1},
            {{"--config", config, "--tracker", "490000000000001"}, 1},
            {{"--config", config, "--all", "--not-before", "2026-12-08 06:00"}, 2},
        };
        for (const auto& [args, exitCode] : refused) {
            std::vector<std::string> argv = {toolPath("VELACTL"), "campaign", "submit",
                                             "--database", url};
            argv.insert(argv.end(), args.begin(), args.end());
            const RunResult result = runProgram(argv);
            EXPECT_EQ(result.exitCode, exitCode) << args[1] << result.err;
        }
        const std::string later = HistoryTimestamp(std::chrono::system_clock::now() + 6s);
        const RunResult submitted = runProgram(
            {toolPath("VELACTL"), "campaign", "submit", "--config", config, "--all", "--wait", "8",
             "--attempts", "3", "--not-before", later, "--database", url});
        ASSERT_EQ(submitted.exitCode, 0) << submitted.err;
        EXPECT_EQ(submitted.out, "campaign: 1 queued\n");  // the first that entered
        std::this_thread::sleep_for(3s);
        EXPECT_EQ(CampaignState(), "queued");
        EXPECT_TRUE(fleetSms().empty()) << "an SMS before the campaign's time";
    } else {
        ASSERT_EQ(SubmitWithSql(), 1);
    }
    if (disturbance == Disturbance::None) {
        // A campaign whose image cannot be sent is taken out of the queue, though first
        // by its priority, and holds up nothing.
        Result<pg::Connection> connection = pg::Connection::open(url);
        ASSERT_TRUE(connection) << connection.message();
        ASSERT_TRUE(connection.value().execute(
            "INSERT INTO \"Campaigns\" (\"State\", \"Images\", \"Priority\", \"StationGroup\") "
            "VALUES ('queued', '0 00FF', 5, '')"));
    }
    if (disturbance == Disturbance::ModemsLate) {
        // Without a modem nothing is taken; once the modems are plugged in, they are used.
        std::this_thread::sleep_for(2s);
        EXPECT_EQ(CampaignState(), "queued");
        EXPECT_EQ(Count("SELECT count(*) FROM \"Stations\" WHERE \"State\" = "
                        "'waiting for a modem'"),
                  2);
        for (int i = 0; i < 2; ++i) {
            std::filesystem::create_symlink(modemPorts[static_cast<std::size_t>(i)],
                                            dir / (std::string("late") + char('A' + i)));
        }
    }
    if (disturbance == Disturbance::RateLimited) {
        // One SMS a second per station: in three seconds at most four each.
        std::this_thread::sleep_for(3s);
        int sent = 0;
        for (const auto& [imei, count] : fleetSms()) sent += count;
        EXPECT_LE(sent, 8);
    }
    ASSERT_TRUE(WaitUntil([&] { return Configured() >= 2; }, 60s))
        << stations[0]->errors() << stations[1]->errors();

    switch (disturbance) {
        case Disturbance::KillOne:
            stations[1]->signal(SIGKILL);
            stations[1]->wait(5s);
            break;
        case Disturbance::StopBoth:
            // Both stop and give their trackers back; the campaign returns to the queue,
            // where a station started again finds it.
            for (auto& station : stations) station->signal(SIGTERM);
            for (auto& station : stations) ASSERT_EQ(station->wait(30s), 0) << station->errors();
            if (Configured() < kTrackers) {
                EXPECT_EQ(CampaignState(), "queued");
                EXPECT_EQ(Count("SELECT count(*) FROM \"CampaignTrackers\" WHERE \"Station\" <> '' "
                                "AND \"State\" NOT IN ('configured', 'failed')"),
                          0);
            }
            stations[0] = Serve("A");
            break;
        case Disturbance::RestartDatabase:
            server().stop();
            std::this_thread::sleep_for(3s);
            ASSERT_TRUE(server().start()) << server().failure();
            listener.reconnect();
            ASSERT_TRUE(listener.ok());
            ASSERT_NE(CampaignState(), "finished") << "finished before the listener was back";
            break;
        case Disturbance::None:
        case Disturbance::NotYet:
        case Disturbance::RateLimited:
        case Disturbance::ModemsLate:
            break;
    }

    ASSERT_TRUE(WaitUntil([&] { return CampaignState() == "finished"; }, 120s))
        << CampaignState() << "\n"
        << stations[0]->errors() << "\n"
        << stations[1]->errors();
    EXPECT_TRUE(listener.heard(R"("state" : "finished")", 10s));
    // Every tracker configured once, never woken beyond its attempts.
    EXPECT_EQ(Configured(), kTrackers);
    const std::map<std::string, int> sms = fleetSms();
    for (const auto& [imei, count] : sms) EXPECT_LE(count, 3) << imei;
    EXPECT_EQ(Count("SELECT count(*) FROM \"CampaignReport\" WHERE \"Outcome\" = 'configured' "
                    "AND length(\"ConfigDigest\") = 64"),
              kTrackers);

    if (disturbance == Disturbance::None) {
        // Taken up by the first station free after its campaign.
        EXPECT_TRUE(WaitUntil(
            [&] {
                return Count(
                           "SELECT count(*) FROM \"Campaigns\" WHERE \"ID\" = 2 AND "
                           "\"State\" = 'refused' AND \"Reason\" <> ''") == 1;
            },
            10s))
            << runProgram({toolPath("VELACTL"), "campaign", "list", "--database", url}).out
            << stations[0]->errors() << stations[1]->errors();
        // A second process under a live station's name does not start.
        const RunResult twin = runProgram(
            {toolPath("VELACTL"), "station", "serve", "--config", (dir / "A.conf").string()}, 90s);
        EXPECT_EQ(twin.exitCode, 1);
        EXPECT_NE(twin.err.find("station A is already serving elsewhere"), std::string::npos)
            << twin.err;
        // Each tracker's verdict was told as well.
        EXPECT_TRUE(listener.heard(R"("state" : "configured", "verdict" : "configured")", 1s));
        const RunResult table =
            runProgram({toolPath("VELACTL"), "station", "status", "--database", url});
        EXPECT_TRUE(std::regex_search(table.out, std::regex(R"(\nA +- +yes +\S)")))
            << table.out << table.err;
        EXPECT_NE(table.out.find(" sent, 0 failed"), std::string::npos) << table.out;
        // Both were live and say so; the figures reach the metrics file.
        const RunResult status =
            runProgram({toolPath("VELACTL"), "station", "status", "--database", url, "--json"});
        ASSERT_EQ(status.exitCode, 0) << status.err;
        EXPECT_NE(status.out.find(R"("live":true)"), std::string::npos) << status.out;
        EXPECT_NE(status.out.find(R"("station":"B")"), std::string::npos) << status.out;
        EXPECT_TRUE(WaitUntil(
            [&] {
                return readFile(dir / "A.prom")
                           .find("vela_campaigns{station=\"A\",state=\"finished\"} 1") !=
                       std::string::npos;
            },
            10s))
            << readFile(dir / "A.prom");
    }
    for (auto& station : stations) {
        if (disturbance == Disturbance::KillOne && station == stations[1]) continue;
        station->signal(SIGTERM);
        EXPECT_EQ(station->wait(30s), 0) << station->errors();
    }
    // The stopped stations are no longer live.
    EXPECT_EQ(Count("SELECT count(*) FROM \"Stations\" WHERE \"State\" <> 'stopped'"),
              disturbance == Disturbance::KillOne ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, StationServeTest,
    ::testing::Values(Scenario{"Undisturbed", Disturbance::None},
                      Scenario{"OneKilled", Disturbance::KillOne},
                      Scenario{"BothStopped", Disturbance::StopBoth},
                      Scenario{"DatabaseRestarted", Disturbance::RestartDatabase},
                      Scenario{"NotYetTime", Disturbance::NotYet},
                      Scenario{"RateLimited", Disturbance::RateLimited},
                      Scenario{"ModemsLate", Disturbance::ModemsLate}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// The configuration file: what a station refuses to start with.
TEST(StationConfigTest, RefusesWhatCannotWork) {
    const std::string base =
        "name = A\nmodem = /dev/ttyUSB0\nexternal-ip = 192.0.2.7\nexternal-port = 5000\n";
    const Result<StationConfig> good = ParseStationConfig(
        base +
        "database = postgresql://vela@db/vela  # comment\nallow-from = 10.0.0.0/8, "
        "192.0.2.1\nsms-per-minute = 30\n");
    ASSERT_TRUE(good) << good.message();
    EXPECT_EQ(good.value().listenPort, 5000);
    EXPECT_EQ(good.value().allowFrom.Text(), "10.0.0.0/8, 192.0.2.1/32");
    EXPECT_EQ(good.value().database, "postgresql://vela@db/vela");
    const struct {
        std::string text;
        std::string refusal;
    } cases[] = {
        {base + "database = postgresql://vela:secret@db/vela\n", "must not hold a password"},
        {base + "database = postgresql://db/vela?password=secret\n", "must not hold a password"},
        {base + "database = host=db\n", "postgresql:// URL"},
        {base, "missing: database"},
        {"database = postgresql:///vela\n", "missing: name, modem, external-ip, external-port"},
        {base + "database = postgresql:///v\nexternal-port = 70000\n", "line 6: external-port"},
        {base + "database = postgresql:///v\nexternal-ip = 0.0.0.0\n", "line 6: external-ip"},
        {base + "database = postgresql:///v\nallow-from = 10.1.2.3/8\n", "line 6: allow-from"},
        {base + "database = postgresql:///v\ncolour = red\n", "line 6: unknown key 'colour'"},
        {base + "database = postgresql:///v\njust words\n", "line 6: expected 'key = value'"},
    };
    for (const auto& c : cases) {
        const Result<StationConfig> parsed = ParseStationConfig(c.text);
        ASSERT_FALSE(parsed) << c.text;
        EXPECT_NE(parsed.message().find(c.refusal), std::string::npos) << parsed.message();
    }
}

// What the metrics file and the queue's image check hold.
TEST(StationConfigTest, MetricsAndQueuedImages) {
    EXPECT_EQ(MetricsText("a\"b", {{"queued", 2}}, {{"pending", 5}}, 7, 1, 3),
              "# HELP vela_campaigns Campaigns of the shared database by state.\n"
              "# TYPE vela_campaigns gauge\n"
              "vela_campaigns{station=\"a\\\"b\",state=\"queued\"} 2\n"
              "# HELP vela_campaign_trackers Trackers of every campaign by state.\n"
              "# TYPE vela_campaign_trackers gauge\n"
              "vela_campaign_trackers{station=\"a\\\"b\",state=\"pending\"} 5\n"
              "# HELP vela_station_sms_sent_total Wake-up SMS this station sent.\n"
              "# TYPE vela_station_sms_sent_total counter\n"
              "vela_station_sms_sent_total{station=\"a\\\"b\"} 7\n"
              "# HELP vela_station_sms_failed_total Wake-up SMS this station failed to send.\n"
              "# TYPE vela_station_sms_failed_total counter\n"
              "vela_station_sms_failed_total{station=\"a\\\"b\"} 1\n"
              "# HELP vela_station_callers_refused_total Callers this station served nothing.\n"
              "# TYPE vela_station_callers_refused_total counter\n"
              "vela_station_callers_refused_total{station=\"a\\\"b\"} 3\n");
    for (const char* images : {"", "0 12G4", "x 0011", "0 0A00FF"})
        EXPECT_FALSE(CheckQueuedImages(images)) << images;
}

}  // namespace
}  // namespace vela::test
