#pragma once

// The rules of a campaign's trackers, in one single-threaded object with no I/O: events
// go in (a tracker adopted, an SMS's outcome, a caller, a session's end, a deadline, a
// stop), and what to do and what to save come out. The engine's threads, sockets, modems
// and journal only feed it and carry out what it decides; the clock is passed in, so
// every rule can be tried in a test without waiting.
//
// The rules it keeps:
// - at most `attempts` SMS per tracker; a failure before the message was handed to the
//   modem gives its attempt back, one after it keeps it counted;
// - never an SMS while the tracker's counted SMS may still bring its call ("sending" or
//   "waiting"), also across a resume;
// - a tracker is served only while it is awaited (its SMS counted, or its answer unknown
//   after a cut session), and by one caller at a time;
// - a session cut before the whole image went out, or by a stop, is not a verdict;
// - a tracker whose image went out without an answer is woken again while attempts are
//   left, and ends `answer-unknown` (never `no-call`) when they are spent;
// - a modem fails a given number of dialogues in a row and is out of service; with every
//   modem out the book halts: nothing more is sent, every tracker keeps its state;
// - a status report, when asked for, is announced (delivered or undeliverable) and names
//   the cause of a later `no-call`; it does not end the wait;
// - exactly one verdict per tracker.

#include "campaign/campaign_events.h"
#include "config/config_image.h"
#include "link/config_session.h"
#include "modem/sms_dialogue.h"
#include "storage/campaign_records.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

namespace vela {

// When an event happens: the steady clock for deadlines, the wall clock for saved rows.
struct BookTime {
    CampaignClock::time_point steady;
    std::chrono::system_clock::time_point wall;
    static BookTime Now() { return {CampaignClock::now(), std::chrono::system_clock::now()}; }
};

// A tracker taken on by this station, with what the engine prepared for it.
struct BookTracker {
    CampaignTrackerRecord row;
    std::string pushMessage;             // the wake-up SMS, when one can be built
    std::string refusal;                 // why none can (empty: one can)
    const ConfigImage* image = nullptr;  // for its device type; owned by the engine
};

// What the book wants done, in order: a row to save (then announced), or a warning.
struct BookEntry {
    std::optional<CampaignTrackerRecord> row;
    std::optional<HistoryRecord> history;
    std::optional<CampaignTrackerUpdate> update;  // announced once the row is saved
    std::optional<std::string> warning;
};

// A modem's order: send `pushMessage` to `tracker`, once its "sending" row is saved.
struct SendOrder {
    std::string tracker;
    std::string modem;
    std::string pushMessage;
    uint64_t tenure = 0;
};

// Why a caller got nothing, or the image to serve.
struct CallerDecision {
    const ConfigImage* image = nullptr;
    std::string refusal;  // when image is null: "not in the campaign", "not awaited"...
};

struct BookRules {
    int attempts = 2;
    std::chrono::seconds wait{300};
    int modemFailuresToRetire = 2;
    int claimAheadPerModem = 8;
};

class CampaignBook {
public:
    CampaignBook(CampaignRecord campaign, BookRules rules, std::vector<std::string> modems,
                 std::chrono::system_clock::time_point runStarted);

    // Trackers claimed by this station (or given back to it), taken on where their rows
    // stand.
    void Adopt(std::vector<BookTracker> trackers, BookTime now);
    // Another station holds the tracker now: it is let go without a word more.
    void Release(const std::string& tracker);

    // The next tracker for `modem`, its "sending" row already in the outbox; nothing
    // when there is none for it now (stopped, halted, queue empty, or only trackers
    // that failed on this modem while another is in service).
    std::optional<SendOrder> NextToSend(const std::string& modem, BookTime now);
    // The modem cannot send (checked before its first SMS): out of service at once, said
    // with `reason`.
    void LeaveOut(const std::string& modem, const std::string& reason);
    // The dialogue's outcome for an order.
    void SmsDone(const SendOrder& order, const DialogueOutcome& outcome, BookTime now);
    // The order was never carried out (a stop came before its row was saved).
    void SmsNotStarted(const SendOrder& order, BookTime now);

    CallerDecision CallerIdentified(const std::string& imei, const std::string& address,
                                    BookTime now);
    void CallEnded(const std::string& imei, CallEnd end, const ByteString& answer, BookTime now);

    // Runs the deadlines due at `now`; the next one, if any.
    std::optional<CampaignClock::time_point> Tick(BookTime now);
    void Stop();

    // What was decided since the last call, in order.
    std::vector<BookEntry> TakeOutbox();

    bool stopped() const { return stopped_; }
    // Every modem is out of service: the reason, for the operator.
    const std::optional<std::string>& halted() const { return halted_; }
    // Trackers held by this station without a verdict.
    int open() const { return open_; }
    // How many more trackers to claim to keep every modem busy.
    int claimRoom() const;
    // True when the send queue runs short and more trackers should be claimed now.
    bool wantsClaims() const;
    int modemsInService() const { return static_cast<int>(modems_.size()) - retired_; }
    // False once `modem` failed too many dialogues in a row.
    bool inService(const std::string& modem) const;
    // The rows as they stand, in the order they were taken on (for a summary).
    std::vector<CampaignTrackerRecord> rows() const;

private:
    struct Entry {
        CampaignTrackerRecord row;
        CampaignTrackerState state = CampaignTrackerState::Pending;
        std::string pushMessage;
        std::string refusal;
        const ConfigImage* image = nullptr;
        bool held = true;
        bool inSession = false;
        bool queued = false;
        bool calledThisAttempt = false;  // a caller named it since its last SMS
        bool answerUnknown = false;      // an earlier session was cut after the image
        uint64_t tenure = 0;
        std::string avoidModem;  // the modem its last SMS failed on
        std::string attemptStartedAt;
        std::string undelivered;  // what the report said of an SMS that will not arrive
        uint64_t deadlineGeneration = 0;
    };
    struct Deadline {
        CampaignClock::time_point when;
        std::size_t entry;
        uint64_t generation;
        bool operator>(const Deadline& other) const { return when > other.when; }
    };

    Entry* find(const std::string& tracker);
    bool isOpen(const Entry& entry) const;
    bool awaited(const Entry& entry) const;
    void adoptOne(std::size_t index, BookTime now);
    void save(Entry& entry, std::optional<CampaignEvent> event, BookTime now,
              std::optional<HistoryRecord> history = std::nullopt);
    HistoryRecord historyOf(const Entry& entry, Verdict verdict, std::optional<int64_t> answerBytes,
                            BookTime now) const;
    void setFinal(Entry& entry, CampaignTrackerState state, Verdict verdict);
    void waitFor(std::size_t index, CampaignClock::time_point until, BookTime now);
    void retryOrFail(std::size_t index, CampaignEvent event, Verdict verdict, BookTime now);
    void expire(std::size_t index, BookTime now);
    void modemFailed(const std::string& modem, const std::string& error);
    void retire(const std::string& modem, const std::string& warning, const std::string& error);
    void reported(Entry& entry, const DialogueOutcome& outcome, BookTime now);

    CampaignRecord campaign_;
    BookRules rules_;
    std::vector<std::string> modems_;
    std::map<std::string, int> failuresInARow_;
    int retired_ = 0;
    std::chrono::system_clock::time_point runStarted_;
    std::deque<Entry> entries_;
    std::unordered_map<std::string, std::size_t> byTracker_;
    std::deque<std::size_t> sendQueue_;
    std::priority_queue<Deadline, std::vector<Deadline>, std::greater<>> deadlines_;
    int open_ = 0;
    bool stopped_ = false;
    std::optional<std::string> halted_;
    std::vector<BookEntry> outbox_;
};

}  // namespace vela
