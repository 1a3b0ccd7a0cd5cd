// The campaign's rules without threads, sockets or modems: one table of saved state x
// events, the modems' service, and the invariants over random event streams.
#include "campaign/campaign_book.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <sstream>

namespace vela {
namespace {

using namespace std::chrono_literals;

constexpr const char* kImei = "350000000000001";

ConfigImage TestImage() {
    ConfigImage image;
    image.length = 12;
    image.bytes[0] = 0x00;
    image.bytes[1] = 0x0C;  // the image counts its own 12 bytes
    return image;
}

DialogueOutcome Outcome(DialogueStage stage) {
    DialogueOutcome outcome;
    outcome.sent = stage == DialogueStage::Accepted;
    outcome.stage = stage;
    outcome.failureText = "text";
    return outcome;
}

class CampaignBookTest : public ::testing::Test {
protected:
    // A book of two modems, two attempts and a wait of 10 s, holding `rows`.
    void Open(std::vector<CampaignTrackerRecord> rows, int modems = 2) {
        CampaignRecord campaign;
        campaign.id = 1;
        BookRules rules;
        rules.attempts = 2;
        rules.wait = 10s;
        std::vector<std::string> names;
        for (int k = 1; k <= modems; ++k) names.push_back("m" + std::to_string(k));
        book.emplace(campaign, rules, names, now.wall);
        std::vector<BookTracker> trackers;
        for (CampaignTrackerRecord& row : rows) {
            last[row.tracker] = row;  // as saved, until the book saves it anew
            trackers.push_back({std::move(row), "PDU", "", &image});
        }
        book->Adopt(std::move(trackers), now);
        Drain();
    }

    CampaignTrackerRecord Row(std::string tracker, std::string state, int attempts,
                              std::string lastEvent = "", int64_t waitLeftMs = 5000) {
        CampaignTrackerRecord row;
        row.tracker = std::move(tracker);
        row.state = std::move(state);
        row.attempts = attempts;
        row.lastEvent = std::move(lastEvent);
        row.verdict = row.state == "configured" ? "configured"
                      : row.state == "failed"   ? "no-call"
                                                : "";
        row.waitUntilMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.wall.time_since_epoch())
                .count() +
            waitLeftMs;
        return row;
    }

    // Runs one step of a row's script on tracker kImei; "send:m2" names the modem.
    void Step(const std::string& step) {
        const auto outcome = [](DialogueStage stage) { return Outcome(stage); };
        if (step.rfind("send", 0) == 0) {
            const std::string modem = step.size() > 5 ? step.substr(5) : "m1";
            order = book->NextToSend(modem, now);
            if (order) ++sends;
        } else if (step == "accept") {
            book->SmsDone(*order, outcome(DialogueStage::Accepted), now);
        } else if (step == "delivered" || step == "undeliverable" || step == "trying" ||
                   step == "unconfirmed") {
            // Accepted, asking for a report: what the network said of it.
            DialogueOutcome accepted = outcome(DialogueStage::Accepted);
            accepted.reportAsked = true;
            accepted.messageReference = 7;
            if (step != "unconfirmed") {
                StatusReport report;
                report.messageReference = 7;
                report.dischargeTime = {2026, 12, 8, 10, 15, 35, 120};
                report.status = step == "delivered" ? 0x00 : step == "trying" ? 0x22 : 0x46;
                report.state = DeliveryStateOf(report.status);
                accepted.report = report;
            }
            book->SmsDone(*order, accepted, now);
        } else if (step == "fail-before") {
            book->SmsDone(*order, outcome(DialogueStage::BeforeMessage), now);
        } else if (step == "fail-after") {
            book->SmsDone(*order, outcome(DialogueStage::AfterPrompt), now);
        } else if (step == "not-started") {
            book->SmsNotStarted(*order, now);
        } else if (step == "call") {
            served = book->CallerIdentified(kImei, "127.0.0.1:9", now).image != nullptr;
        } else if (step == "answer" || step == "answer-wrong") {
            const ByteString answer = {0x01, 0x00, static_cast<uint8_t>(step == "answer" ? 12 : 5)};
            book->CallEnded(kImei, CallEnd::Answered, answer, now);
        } else if (step == "hang-up") {
            book->CallEnded(kImei, CallEnd::HungUp, {}, now);
        } else if (step == "time-out") {
            book->CallEnded(kImei, CallEnd::TimedOut, {}, now);
        } else if (step == "cut") {
            book->CallEnded(kImei, CallEnd::Cut, {}, now);
        } else if (step == "expire") {
            now.steady += 11s;
            now.wall += 11s;
            book->Tick(now);
        } else if (step == "stop") {
            book->Stop();
        } else if (step == "release") {
            book->Release(kImei);
        } else {
            FAIL() << "no step " << step;
        }
        Drain();
    }

    // What the book decided: the last row of each tracker, the announced events.
    void Drain() {
        for (BookEntry& entry : book->TakeOutbox()) {
            if (entry.row) {
                const std::string& before = last[entry.row->tracker].verdict;
                EXPECT_TRUE(before.empty() || before == entry.row->verdict)
                    << entry.row->tracker << ": a second verdict " << entry.row->verdict;
                last[entry.row->tracker] = *entry.row;
            }
            if (entry.update) {
                events += (events.empty() ? "" : " ") +
                          std::string(CampaignEventWord(entry.update->event));
            }
            if (entry.warning) warnings.push_back(*entry.warning);
        }
    }

    ConfigImage image = TestImage();
    BookTime now = BookTime::Now();
    std::optional<CampaignBook> book;
    std::optional<SendOrder> order;
    std::map<std::string, CampaignTrackerRecord> last;
    std::string events;
    std::vector<std::string> warnings;
    int sends = 0;
    bool served = false;
};

TEST_F(CampaignBookTest, EverySavedStateAndEvent) {
    struct Case {
        CampaignTrackerRecord saved;
        std::string script;
        std::string state;
        int attempts;
        std::string verdict;
        std::string events;
        int sends;
        bool served;
    };
    const std::vector<Case> cases = {
        // A new tracker: SMS, call, answer, and what goes wrong on the way.
        {Row(kImei, "pending", 0), "send accept call answer", "configured", 1, "configured",
         "sms-sent called configured", 1, true},
        {Row(kImei, "pending", 0), "send accept call answer-wrong", "failed", 1, "rejected",
         "sms-sent called rejected", 1, true},
        {Row(kImei, "pending", 0), "send accept call hang-up", "failed", 1, "hung-up",
         "sms-sent called hung-up", 1, true},
        {Row(kImei, "pending", 0), "send accept call time-out", "failed", 1, "hung-up",
         "sms-sent called hung-up", 1, true},
        // Not awaited: no SMS was sent to it, or it was let go, or it is done.
        {Row(kImei, "pending", 0), "call", "pending", 0, "", "", 0, false},
        {Row(kImei, "pending", 0), "send accept release call", "waiting", 1, "", "sms-sent", 1,
         false},
        {Row(kImei, "configured", 1), "call send", "configured", 1, "configured", "", 0, false},
        {Row(kImei, "pending", 0), "send accept call call", "waiting", 1, "", "sms-sent called", 1,
         false},
        // Failed dialogues: before the message the attempt comes back; another modem next.
        {Row(kImei, "pending", 0), "send fail-before send:m1", "pending", 0, "", "sms-failed retry",
         1, false},
        {Row(kImei, "pending", 0), "send fail-before send:m2", "sending", 1, "", "sms-failed retry",
         2, false},
        {Row(kImei, "pending", 0), "send fail-after send:m2 fail-after", "failed", 2, "sms-failed",
         "sms-failed retry sms-failed", 2, false},
        {Row(kImei, "pending", 0), "send not-started", "pending", 0, "", "", 1, false},
        {Row(kImei, "pending", 0), "stop send", "pending", 0, "", "", 0, false},
        // Missed calls: again while attempts are left.
        {Row(kImei, "pending", 0), "send accept expire", "pending", 1, "", "sms-sent no-call retry",
         1, false},
        {Row(kImei, "pending", 0), "send accept expire send accept expire", "failed", 2, "no-call",
         "sms-sent no-call retry sms-sent no-call", 2, false},
        // A session cut before the whole image is not a verdict; a stop's cut neither.
        {Row(kImei, "pending", 0), "send accept call cut call answer", "configured", 1,
         "configured", "sms-sent called called configured", 1, true},
        {Row(kImei, "pending", 0), "send accept call cut expire", "pending", 1, "",
         "sms-sent called hung-up retry", 1, true},
        {Row(kImei, "pending", 0), "send accept call stop time-out expire", "waiting", 1, "",
         "sms-sent called", 1, true},
        // Resumed: an SMS in flight counts as sent and is waited for, never sent again.
        {Row(kImei, "sending", 1), "send", "waiting", 1, "", "", 0, false},
        {Row(kImei, "sending", 1), "call answer", "configured", 1, "configured",
         "called configured", 0, true},
        {Row(kImei, "waiting", 1), "expire send accept", "waiting", 2, "", "no-call retry sms-sent",
         1, false},
        // Resumed after a cut with the image out: woken again, answer-unknown once spent.
        {Row(kImei, "waiting", 1, "called"), "send accept expire", "failed", 2, "answer-unknown",
         "sms-sent answer-unknown", 1, false},
        {Row(kImei, "waiting", 1, "called"), "call answer", "configured", 1, "configured",
         "called configured", 0, true},
        {Row(kImei, "waiting", 2, "called"), "send expire", "failed", 2, "answer-unknown",
         "answer-unknown", 0, false},
        {Row(kImei, "sending", 2, "called", -1), "call answer", "configured", 2, "configured",
         "called configured", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.saved.state + "/" + c.saved.lastEvent + ": " + c.script);
        last.clear();
        events.clear();
        sends = 0;
        served = false;
        order.reset();
        Open({c.saved});
        std::istringstream steps(c.script);
        for (std::string step; steps >> step;) Step(step);
        const CampaignTrackerRecord& row = last[kImei];
        EXPECT_EQ(row.state, c.state);
        EXPECT_EQ(row.attempts, c.attempts);
        EXPECT_EQ(row.verdict, c.verdict);
        EXPECT_EQ(events, c.events);
        EXPECT_EQ(sends, c.sends);
        EXPECT_EQ(served, c.served);
    }
}

// What a status report said is announced, kept on the row, and names the cause of a
// later no-call; a new attempt starts without it.
TEST_F(CampaignBookTest, StatusReportsAreAnnouncedAndNameTheCauseOfANoCall) {
    const struct {
        const char* script;
        const char* events;
        const char* delivery;
        const char* detail;
    } rows[] = {
        {"send delivered", "sms-sent sms-delivered", "delivered", "delivered at 10:15:35"},
        {"send delivered call answer", "sms-sent sms-delivered called configured", "delivered",
         "12 of 12 bytes"},
        {"send delivered expire send accept expire",
         "sms-sent sms-delivered no-call retry sms-sent no-call", "", ""},
        {"send delivered expire", "sms-sent sms-delivered no-call retry", "delivered", ""},
        {"send accept expire send delivered expire",
         "sms-sent no-call retry sms-sent sms-delivered no-call", "delivered",
         "the SMS was delivered at 10:15:35 but the tracker did not call: check the APN, the "
         "external address and the port forwarding"},
        {"send accept expire send undeliverable expire",
         "sms-sent no-call retry sms-sent sms-undeliverable no-call", "undeliverable",
         "SMS not delivered: the tracker was unreachable until the message expired"},
        {"send accept expire send unconfirmed expire", "sms-sent no-call retry sms-sent no-call",
         "unconfirmed",
         "the SMS was not confirmed as delivered: the tracker may be off or out of coverage"},
        {"send accept expire send trying expire", "sms-sent no-call retry sms-sent no-call",
         "unconfirmed",
         "the SMS was not confirmed as delivered: the tracker may be off or out of coverage"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        last.clear();
        events.clear();
        order.reset();
        Open({Row(kImei, "pending", 0)});
        std::istringstream steps(row.script);
        for (std::string step; steps >> step;) Step(step);
        EXPECT_EQ(events, row.events);
        EXPECT_EQ(last[kImei].delivery, row.delivery);
        // The retry's row starts the next attempt with its detail cleared.
        if (std::string(row.events).find("retry", std::string(row.events).size() - 5) ==
            std::string::npos) {
            EXPECT_EQ(last[kImei].detail, row.detail);
        }
    }
}

// Exactly two failed dialogues in a row retire a modem; with none left the book halts
// and every tracker keeps its place and its attempts.
TEST_F(CampaignBookTest, ModemsRetireAfterTwoFailuresAndTheBookHaltsWithoutVerdicts) {
    std::vector<CampaignTrackerRecord> rows;
    for (int i = 0; i < 6; ++i)
        rows.push_back(Row("35000000000000" + std::to_string(i), "pending", 0));
    Open(rows);
    const DialogueOutcome failed = Outcome(DialogueStage::BeforeMessage);
    for (const std::string modem : {"m1", "m2"}) {
        for (int dialogue = 1; dialogue <= 2; ++dialogue) {
            EXPECT_TRUE(book->inService(modem)) << modem << " before dialogue " << dialogue;
            std::optional<SendOrder> next = book->NextToSend(modem, now);
            ASSERT_TRUE(next) << modem;
            book->SmsDone(*next, failed, now);
            Drain();
        }
        EXPECT_FALSE(book->inService(modem)) << modem;
        EXPECT_FALSE(book->NextToSend(modem, now));
    }
    ASSERT_TRUE(book->halted());
    EXPECT_NE(book->halted()->find("no modem left in service"), std::string::npos);
    EXPECT_EQ(warnings.size(), 2u);
    EXPECT_EQ(book->claimRoom(), 0);
    for (const auto& [tracker, row] : last) {
        EXPECT_EQ(row.state, "pending") << tracker;
        EXPECT_EQ(row.attempts, 0) << tracker;
        EXPECT_TRUE(row.verdict.empty()) << tracker;
    }
    EXPECT_EQ(book->open(), 6);
}

// Claimed a batch ahead: more are wanted before the modems run dry, none beyond the room.
TEST_F(CampaignBookTest, ClaimsAheadBeforeTheQueueRunsDry) {
    Open({Row("350000000000010", "pending", 0), Row("350000000000011", "pending", 0),
          Row("350000000000012", "pending", 0), Row("350000000000013", "pending", 0),
          Row("350000000000014", "pending", 0)});
    EXPECT_FALSE(book->wantsClaims());  // 5 queued, 2 modems: enough for now
    EXPECT_EQ(book->claimRoom(), 16 - 5);
    ASSERT_TRUE(book->NextToSend("m1", now));
    ASSERT_TRUE(book->NextToSend("m2", now));
    EXPECT_TRUE(book->wantsClaims());  // 3 left: fewer than two per modem
    book->Stop();
    EXPECT_FALSE(book->wantsClaims());
    EXPECT_EQ(book->claimRoom(), 0);
}

// Random streams of every event over a few trackers, with kills and resumes between
// them: at most `attempts` counted SMS, never an SMS while a counted one may bring its
// call, one verdict each (Drain checks), and answer-unknown only for a tracker served in
// a session that was cut.
TEST_F(CampaignBookTest, InvariantsHoldOverRandomEventStreams) {
    const std::vector<std::string> trackers = {"350000000000020", "350000000000021",
                                               "350000000000022"};
    for (unsigned seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        last.clear();
        std::vector<CampaignTrackerRecord> rows;
        for (const std::string& tracker : trackers) rows.push_back(Row(tracker, "pending", 0));
        Open(rows);
        std::map<std::string, SendOrder> inFlight;
        std::map<std::string, int> counted;
        std::set<std::string> inSession, everCut;
        for (int step = 0; step < 60; ++step) {
            const std::string& tracker = trackers[random() % trackers.size()];
            const std::string modem = random() % 2 ? "m1" : "m2";
            switch (random() % 7) {
                case 0:
                    if (std::optional<SendOrder> next = book->NextToSend(modem, now)) {
                        const std::string state = last[next->tracker].state;
                        EXPECT_EQ(state, "pending") << "an SMS for a " << state << " tracker "
                                                    << next->tracker << " at step " << step;
                        EXPECT_FALSE(inFlight.count(next->tracker));
                        inFlight[next->tracker] = *next;
                    }
                    break;
                case 1:
                    if (inFlight.count(tracker)) {
                        const auto stage = static_cast<DialogueStage>(1 + random() % 3);
                        if (stage != DialogueStage::BeforeMessage) ++counted[tracker];
                        book->SmsDone(inFlight[tracker], Outcome(stage), now);
                        inFlight.erase(tracker);
                    }
                    break;
                case 2:
                    if (book->CallerIdentified(tracker, "127.0.0.1:1", now).image != nullptr)
                        inSession.insert(tracker);
                    break;
                case 3:
                case 4:
                    if (inSession.count(tracker)) {
                        const auto end = static_cast<CallEnd>(random() % 4);
                        if (end == CallEnd::Cut || end == CallEnd::TimedOut)
                            everCut.insert(tracker);
                        const ByteString answer = {1, 0,
                                                   static_cast<uint8_t>(random() % 2 ? 12 : 3)};
                        book->CallEnded(tracker, end, answer, now);
                        inSession.erase(tracker);
                    }
                    break;
                case 5:
                    now.steady += 6s;
                    now.wall += 6s;
                    book->Tick(now);
                    break;
                default: {
                    // Killed and resumed from the saved rows: what was in flight counts.
                    for (const auto& [name, sent] : inFlight) ++counted[name];
                    everCut.insert(inSession.begin(), inSession.end());
                    inFlight.clear();
                    inSession.clear();
                    std::vector<CampaignTrackerRecord> saved;
                    for (const std::string& name : trackers) saved.push_back(last[name]);
                    Open(saved);
                    break;
                }
            }
            Drain();
        }
        for (const std::string& tracker : trackers) {
            EXPECT_LE(counted[tracker], 2) << tracker;
            EXPECT_LE(last[tracker].attempts, 2) << tracker;
            if (last[tracker].verdict == "answer-unknown") {
                EXPECT_TRUE(everCut.count(tracker)) << tracker;
            }
        }
    }
}

}  // namespace
}  // namespace vela
