// The campaign engine in this process, against a `vela-sim fleet` of real modem and
// tracker processes: every event and verdict, refused callers, failing modems, refusals
// before anything is sent.
#include "campaign_fixture.h"
#include "raw_peer.h"

#include "campaign/campaign_engine.h"
#include "storage/campaign_store.h"
#include "storage/settings_store.h"
#include "storage/database.h"
#include "storage/history_store.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

class RecordingObserver : public CampaignObserver {
public:
    void TrackerChanged(const CampaignTrackerUpdate& update) override {
        std::lock_guard lock(mutex_);
        events[update.description].push_back(std::string(CampaignEventWord(update.event)));
        last[update.description] = update;
    }
    void CallerRefused(const std::string&, const std::string&) override {
        std::lock_guard lock(mutex_);
        ++refused;
    }
    void Warning(const std::string& text) override {
        std::lock_guard lock(mutex_);
        warnings.push_back(text);
    }
    // Waits (bounded) until some tracker was announced.
    bool WaitForAnEvent(std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (!events.empty()) return true;
            }
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::map<std::string, std::vector<std::string>> events;
    std::map<std::string, CampaignTrackerUpdate> last;
    int refused = 0;
    std::vector<std::string> warnings;

private:
    std::mutex mutex_;
};

class CampaignEngineTest : public CampaignFixture {
protected:
    // A campaign of every tracker through `modems`, created by `creator`.
    Result<int64_t> CreateAll(CampaignEngine& creator, const std::vector<std::string>& modems,
                              std::chrono::seconds wait, int attempts = 2) {
        CampaignRequest request;
        request.configFile = config;
        request.allTrackers = true;
        request.modemPorts = modems;
        request.wait = wait;
        request.attempts = attempts;
        return creator.Create(request);
    }

    Result<CampaignSummary> RunAll(const std::vector<std::string>& modems, int attempts = 2) {
        Result<int64_t> id = CreateAll(engine, modems, 2s, attempts);
        if (!id) return id.status();
        campaignId = id.value();
        return engine.Run(id.value());
    }

    std::map<std::string, std::vector<std::string>> HistoryVerdicts() {
        HistoryFilter filter;
        filter.campaignId = campaignId;
        Result<std::vector<HistoryRecord>> rows = HistoryStore(dir.path()).query(filter);
        EXPECT_TRUE(rows) << rows.message();
        std::map<std::string, std::vector<std::string>> verdicts;
        if (!rows) return verdicts;
        // Newest first: turn around to read them in order.
        for (auto row = rows.value().rbegin(); row != rows.value().rend(); ++row) {
            verdicts[row->tracker].push_back(std::string(VerdictWord(row->verdict)));
        }
        return verdicts;
    }

    // A tracker list of `descriptions`, all with the same phone number.
    void SaveTrackers(std::initializer_list<const char*> descriptions, const char* phone) {
        TrackerList list;
        for (const char* description : descriptions) {
            TrackerEntry entry;
            entry.description = description;
            entry.phone = phone;
            entry.apn = "internet";
            list.add(entry);
        }
        ASSERT_TRUE(TrackerStore(dir.path()).save(list));
    }

    RecordingObserver observer;
    CampaignEngine engine{dir.path(), &observer};
    int64_t campaignId = 0;
};

TEST_F(CampaignEngineTest, EveryRoleEndsWithItsEventsVerdictAndHistory) {
    StartFleet(20, 2,
               {"--delay", "0-300", "--never-call", "10", "--reject", "10", "--hang-up", "10",
                "--foreign", "10", "--duplicate", "10"});
    const std::vector<std::string> twoMissedCalls = {"sms-sent", "no-call", "retry", "sms-sent",
                                                     "no-call"};
    struct Expected {
        std::vector<std::string> events;
        std::vector<std::string> history;
    };
    const std::map<std::string, Expected> expected = {
        {"normal", {{"sms-sent", "called", "configured"}, {"configured"}}},
        {"duplicate", {{"sms-sent", "called", "configured"}, {"configured"}}},
        {"rejects", {{"sms-sent", "called", "rejected"}, {"rejected"}}},
        {"hangs-up", {{"sms-sent", "called", "hung-up"}, {"hung-up"}}},
        {"never-calls", {twoMissedCalls, {"no-call", "no-call"}}},
        {"foreign", {twoMissedCalls, {"no-call", "no-call"}}},
    };

    Result<CampaignSummary> summary = RunAll(modemPorts);
    ASSERT_TRUE(summary) << summary.message();

    std::map<std::string, int> roles;
    int configured = 0;
    const auto history = HistoryVerdicts();
    for (const auto& [imei, role] : roleOf) {
        ++roles[role];
        ASSERT_TRUE(expected.count(role)) << role;
        EXPECT_EQ(observer.events[imei], expected.at(role).events) << imei << " " << role;
        EXPECT_EQ(history.count(imei) ? history.at(imei) : std::vector<std::string>{},
                  expected.at(role).history)
            << imei << " " << role;
        if (expected.at(role).history.back() == "configured") ++configured;
    }
    EXPECT_EQ(roles.size(), expected.size()) << "every role is played";
    EXPECT_EQ(summary.value().configured, configured);
    EXPECT_EQ(summary.value().failed, 20 - configured);
    EXPECT_EQ(summary.value().end, CampaignEnd::SomeFailed);

    // Foreign and second callers got nothing: no image ever reached them.
    const int turnedAway = static_cast<int>(fleetCalls("turned-away").size());
    EXPECT_GT(turnedAway, 0);
    EXPECT_EQ(observer.refused, [&] {
        int calls = 0;
        for (const auto& [imei, count] : fleetCalls("turned-away")) calls += count;
        return calls;
    }());
    EXPECT_TRUE(fleetCalls("got-image").empty());

    const Result<std::vector<CampaignTrackerRecord>> rows =
        CampaignStore(dir.path()).trackers(campaignId);
    ASSERT_TRUE(rows);
    for (const CampaignTrackerRecord& row : rows.value()) {
        EXPECT_TRUE(row.state == "configured" || row.state == "failed") << row.tracker;
        EXPECT_EQ(row.verdict, expected.at(roleOf[row.tracker]).history.back()) << row.tracker;
    }
    EXPECT_EQ(CampaignStore(dir.path()).campaign(campaignId).value().state, kCampaignFinished);
}

TEST_F(CampaignEngineTest, TrackersOfAModemThatFailsMoveToTheOther) {
    StartFleet(12, 2, {"--delay", "0-200", "--fail-after", "2", "--fail-modem", "1"});
    CampaignLimits limits;
    limits.dialogue.shortStep = 1s;  // a modem that is gone is noticed sooner
    limits.dialogue.longStep = 2s;
    engine.setLimits(limits);
    Result<CampaignSummary> summary = RunAll(modemPorts);
    ASSERT_TRUE(summary) << summary.message();
    EXPECT_EQ(summary.value().end, CampaignEnd::AllConfigured);
    EXPECT_EQ(summary.value().configured, 12);

    int movedOn = 0;
    for (const auto& [imei, events] : observer.events) {
        const auto failed = std::find(events.begin(), events.end(), "sms-failed");
        if (failed == events.end()) continue;
        ++movedOn;
        if (failed + 1 == events.end()) {
            // The modem went down after the network took the SMS: the tracker called
            // before the failed dialogue ended, and keeps its verdict.
            EXPECT_NE(std::find(events.begin(), failed, "configured"), failed) << imei;
            continue;
        }
        EXPECT_EQ(*(failed + 1), "retry") << imei;
        EXPECT_EQ(std::count(events.begin(), events.end(), "sms-sent"), 1) << imei;
        EXPECT_EQ(observer.last.at(imei).modemPort, modemPorts[1]) << imei;
    }
    EXPECT_GE(movedOn, 1);
    for (const auto& [imei, count] : fleetSms()) EXPECT_EQ(count, 1) << imei;
}

// Callers that connect and never identify hold a session only for the identification
// limit; beyond the session bound they wait in the backlog, and the trackers still come
// through once the idle ones are gone.
TEST_F(CampaignEngineTest, IdleCallersBeyondTheSessionBoundDelayButDoNotBlock) {
    StartFleet(3, 1, {"--delay", "1500-2000"});
    CampaignLimits limits;
    limits.maxSessions = 20;
    limits.identifyLimit = 1s;
    engine.setLimits(limits);
    const Result<int64_t> id = CreateAll(engine, modemPorts, 10s);
    ASSERT_TRUE(id) << id.message();
    std::vector<RawPeer> idle;
    std::thread occupy([&] {
        std::this_thread::sleep_for(300ms);  // once the engine listens
        for (int i = 0; i < 60; ++i) {
            if (std::optional<RawPeer> peer = RawPeer::connectTo(port))
                idle.push_back(std::move(*peer));
        }
    });
    const Result<CampaignSummary> summary = engine.Run(id.value());
    occupy.join();
    ASSERT_TRUE(summary) << summary.message();
    EXPECT_EQ(idle.size(), 60u);
    EXPECT_EQ(summary.value().end, CampaignEnd::AllConfigured);
    EXPECT_EQ(observer.refused, 0);
}

// A modem that stops in the middle interrupts the campaign: the trackers not yet sent
// keep their place and their attempts for a resume, none ends "sms-failed".
TEST_F(CampaignEngineTest, ModemsThatStopInterruptTheCampaignWithoutVerdicts) {
    StartFleet(10, 1, {"--delay", "0-100", "--fail-after", "3"});
    CampaignLimits limits;
    limits.dialogue.shortStep = 1s;  // a modem that is gone is noticed sooner
    limits.dialogue.longStep = 1s;
    engine.setLimits(limits);
    Result<CampaignSummary> summary = RunAll(modemPorts);
    ASSERT_TRUE(summary) << summary.message();
    EXPECT_EQ(summary.value().end, CampaignEnd::Interrupted);
    EXPECT_NE(summary.value().reason.find("no modem left in service"), std::string::npos)
        << summary.value().reason;
    const Result<std::vector<CampaignTrackerRecord>> rows =
        CampaignStore(dir.path()).trackers(campaignId);
    ASSERT_TRUE(rows) << rows.message();
    int open = 0;
    for (const CampaignTrackerRecord& row : rows.value()) {
        EXPECT_NE(row.verdict, "sms-failed") << row.tracker;
        if (row.state == "pending") {
            ++open;
            EXPECT_EQ(row.attempts, 0) << row.tracker;
        }
    }
    EXPECT_GE(open, 5);
    EXPECT_EQ(CampaignStore(dir.path()).campaign(campaignId).value().state, kCampaignInterrupted);
}

TEST_F(CampaignEngineTest, RefusedBeforeAnythingIsSentNamingTheCause) {
    ASSERT_NO_FATAL_FAILURE(
        SaveTrackers({"350000000000201", "not-an-imei", "35000000000020"}, "37060000201"));
    struct Case {
        std::vector<std::string> trackers;
        std::string config;
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {{"350000000000201", "not-an-imei", "35000000000020"},
         config,
         "descriptions that are not IMEIs (15 digits): not-an-imei, 35000000000020"},
        {{"350000000000201", "350000000000999"}, config, "unknown trackers: 350000000000999"},
        {{}, config, "no tracker chosen"},
        {{"350000000000201"}, (dir / "missing.xml").string(), "Error in XML file!"},
    };
    for (const Case& c : cases) {
        CampaignRequest request;
        request.configFile = c.config;
        request.trackers = c.trackers;
        const Result<int64_t> id = engine.Create(request);
        ASSERT_FALSE(id);
        EXPECT_NE(id.message().find(c.refusal), std::string::npos) << id.message();
    }
    const Result<std::vector<CampaignRecord>> campaigns = CampaignStore(dir.path()).list();
    ASSERT_TRUE(campaigns) << campaigns.message();
    EXPECT_TRUE(campaigns.value().empty());
}

// An SMS goes out only once its "sending" row is saved: while another program holds the
// database locked the modems send nothing, and once it lets go the campaign goes on.
TEST_F(CampaignEngineTest, NoSmsWhileItsRowCannotBeSaved) {
    StartFleet(3, 1, {"--delay", "0-100"});
    // Locks the database as the campaign is announced, before any modem starts.
    class LockingObserver : public RecordingObserver {
    public:
        explicit LockingObserver(std::filesystem::path file) : file_(std::move(file)) {}
        void CampaignStarted(int64_t, int) override {
            Result<sqlite::Database> db = sqlite::Database::open(file_);
            if (db && db.value().execute("BEGIN EXCLUSIVE")) lock = std::move(db).value();
            locked.store(lock.has_value());
        }
        std::optional<sqlite::Database> lock;
        std::atomic<bool> locked{false};

    private:
        std::filesystem::path file_;
    };
    LockingObserver locking(dir / "settings.accdb");
    CampaignEngine lockedOut(dir.path(), &locking);
    const Result<int64_t> id = CreateAll(lockedOut, modemPorts, 5s);
    ASSERT_TRUE(id) << id.message();
    Result<CampaignSummary> summary = Status::Fail("not run");
    std::thread running([&] { summary = lockedOut.Run(id.value()); });
    for (int wait = 0; wait < 200 && !locking.locked.load(); ++wait)
        std::this_thread::sleep_for(10ms);
    const bool wasLocked = locking.locked.load();
    std::this_thread::sleep_for(1500ms);
    const std::map<std::string, int> sentWhileLocked = fleetSms();
    if (wasLocked) {
        ASSERT_TRUE(locking.lock->execute("COMMIT"));
    }
    running.join();
    ASSERT_TRUE(wasLocked);
    EXPECT_TRUE(sentWhileLocked.empty()) << sentWhileLocked.size() << " SMS before their rows";
    ASSERT_TRUE(summary) << summary.message();
    EXPECT_EQ(summary.value().end, CampaignEnd::AllConfigured);
}

// Two campaigns over the same trackers at once: the second leaves every tracker the first
// holds for later, sends nothing and ends interrupted saying why; none is configured twice.
TEST_F(CampaignEngineTest, TwoCampaignsAtOnceNeverConfigureATrackerTwice) {
    StartFleet(6, 2, {"--delay", "300-600"});
    const Result<int64_t> first = CreateAll(engine, {modemPorts[0]}, 5s);
    const Result<int64_t> second = CreateAll(engine, {modemPorts[1]}, 5s);
    ASSERT_TRUE(first && second);
    Result<CampaignSummary> firstEnd = Status::Fail("not run");
    std::thread running([&] { firstEnd = engine.Run(first.value()); });
    if (!observer.WaitForAnEvent(20s)) {
        engine.RequestStop();
        running.join();
        FAIL() << "the first campaign never started";
    }

    RecordingObserver secondObserver;
    CampaignEngine other(dir.path(), &secondObserver);
    CampaignStationSettings station;
    station.listenPort = freeListeningPort();
    other.setStation(station);
    const Result<CampaignSummary> secondEnd = other.Run(second.value());
    running.join();
    ASSERT_TRUE(firstEnd) << firstEnd.message();
    ASSERT_TRUE(secondEnd) << secondEnd.message();
    EXPECT_EQ(firstEnd.value().end, CampaignEnd::AllConfigured);
    EXPECT_EQ(secondEnd.value().end, CampaignEnd::Interrupted);
    EXPECT_NE(secondEnd.value().reason.find("held by another running campaign"), std::string::npos)
        << secondEnd.value().reason;
    EXPECT_TRUE(secondObserver.events.empty());
    for (const auto& [imei, count] : fleetSms()) EXPECT_EQ(count, 1) << imei;
    for (const auto& [imei, count] : fleetCalls("answered")) EXPECT_EQ(count, 1) << imei;
}

// A station whose stored allow-list takes callers only from the mobile network's range
// serves no one else: the fleet's loopback callers are closed at accept and its
// trackers end without a call.
TEST_F(CampaignEngineTest, CallersOutsideTheAllowListAreNeverServed) {
    StartFleet(2, 1, {"--delay", "0-100"});
    ASSERT_TRUE(SettingsStore(dir.path())
                    .saveOptions({AddressAllowList({parseAddressRange("10.64.0.0/10").value()})})
                    .ok());
    const Result<CampaignSummary> summary = RunAll(modemPorts, 1);
    ASSERT_TRUE(summary) << summary.message();
    EXPECT_EQ(summary.value().configured, 0);
    for (const auto& [imei, update] : observer.last) EXPECT_EQ(update.verdict, "no-call") << imei;
    EXPECT_TRUE(fleetCalls("answered").empty());
    EXPECT_EQ(observer.refused, 0);  // closed unread: never named a tracker
}

// What cannot work is refused before a modem is touched: nothing sent, no attempt spent.
TEST_F(CampaignEngineTest, SettingsThatCannotWorkSendNothing) {
    StartFleet(2, 1, {});
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    struct Case {
        std::function<void(ProgramSettings&, std::vector<std::string>&)> change;
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {[&](ProgramSettings& s, auto&) {
             s.localPort = freeListeningPort();
             sockaddr_in address{};
             address.sin_family = AF_INET;
             address.sin_port = htons(static_cast<uint16_t>(s.localPort));
             ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             ASSERT_EQ(::listen(taken, 1), 0);
         },
         "cannot listen on port"},
        {[](ProgramSettings& s, auto&) { s.externalIp = 0; },
         "the external address 0.0.0.0 cannot be called"},
        {[](ProgramSettings& s, auto&) { s.externalIp = 0xFFFFFFFF; },
         "the external address 255.255.255.255"},
        {[](ProgramSettings& s, auto&) { s.externalPort = 0; }, "the external port 0"},
        {[&](ProgramSettings&, auto& modems) { modems = {(dir / "no-such-modem").string()}; },
         "modem " + (dir / "no-such-modem").string() + " cannot be opened"},
        {[](ProgramSettings& s, auto& modems) {
             s.modemPort.clear();
             modems.clear();
         },
         "no modem is given"},
    };
    for (const Case& c : cases) {
        ProgramSettings settings;
        ASSERT_TRUE(SettingsStore(dir.path()).load(settings));
        const ProgramSettings kept = settings;
        std::vector<std::string> modems = modemPorts;
        c.change(settings, modems);
        ASSERT_TRUE(SettingsStore(dir.path()).save(settings));
        Result<CampaignSummary> summary = RunAll(modems);
        ASSERT_TRUE(SettingsStore(dir.path()).save(kept));
        ASSERT_FALSE(summary) << c.refusal;
        EXPECT_NE(summary.message().find(c.refusal), std::string::npos) << summary.message();
        const Result<std::vector<CampaignTrackerRecord>> rows =
            CampaignStore(dir.path()).trackers(campaignId);
        ASSERT_TRUE(rows) << rows.message();
        for (const CampaignTrackerRecord& row : rows.value()) {
            EXPECT_EQ(row.attempts, 0) << c.refusal;
            EXPECT_EQ(row.state, "pending") << c.refusal;
        }
    }
    ::close(taken);
    EXPECT_TRUE(fleetSms().empty());
}

}  // namespace
}  // namespace vela::test
