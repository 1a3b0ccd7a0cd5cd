#pragma once

// Saves a campaign's changes in the order they happen, many to a transaction, on a
// thread of its own: a commit costs milliseconds of disk flushes, and a thousand
// trackers would otherwise wait on each other's. What a change announces is passed on
// only once the change is saved, so nothing shown is ever lost by a crash. A change of
// a tracker that another station holds now is not saved: its announcement is dropped
// and the engine is told.

#include "common/result.h"
#include "storage/campaign_storage.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace vela {

enum class SaveState { Pending, Saved, Refused };

class CampaignJournal {
public:
    struct Callbacks {
        std::function<void()> onSaved;  // after every save
        // A tracker change that was refused: another station holds the tracker now.
        std::function<void(const CampaignTrackerRecord&)> onRefused;
        // A save failed and will be tried again (the shared database is out of reach), or
        // it works again after that (empty text).
        std::function<void(const std::string&)> onOutage;
    };

    // A save that failed as "unavailable" (a database server briefly out of reach, a file
    // locked by another program) is tried again until it works or the journal is closed;
    // any other failure ends all saving. Callbacks run on the journal's thread.
    CampaignJournal(std::unique_ptr<CampaignWriter> writer, Callbacks callbacks);
    ~CampaignJournal();
    CampaignJournal(const CampaignJournal&) = delete;
    CampaignJournal& operator=(const CampaignJournal&) = delete;

    // Queues a change; `announce` (may be empty) runs on the journal's thread once the
    // change is saved, in queue order. Returns the change's ticket.
    uint64_t Push(CampaignChange change, std::function<void()> announce);
    // Blocks until the change with `ticket` is saved or refused, saving has failed, or
    // `giveUp` turns true; true only when it was saved.
    bool WaitSaved(uint64_t ticket, const std::atomic<bool>& giveUp);
    // Where the change with `ticket` stands; never waits.
    SaveState StateOf(uint64_t ticket);
    // True once a save has failed for good: nothing more is saved.
    bool Failed();
    // Runs `announce` at once on the caller's thread, never at the same time as the
    // announcements of saved changes: for news that must not wait for the database.
    void AnnounceNow(const std::function<void()>& announce);
    // Saves what is queued and stops the thread; the first failure, if any. Failed saves
    // are tried again for at most `patience`.
    Status Close(std::chrono::milliseconds patience = std::chrono::milliseconds(10000));

private:
    struct Entry {
        CampaignChange change;
        std::function<void()> announce;
        uint64_t ticket = 0;
    };
    void Loop();
    Result<std::vector<bool>> SaveBatch(const std::vector<Entry>& batch);
    bool WaitToRetry(const Status& failure, bool& inOutage, std::chrono::milliseconds& retryIn);
    void Settle(std::vector<Entry>& batch, const std::vector<bool>& refused);

    std::unique_ptr<CampaignWriter> writer_;
    Callbacks callbacks_;
    std::mutex mutex_;
    std::mutex announcing_;  // one announcement at a time
    std::condition_variable changed_;
    std::vector<Entry> queued_;
    std::set<uint64_t> refused_;
    uint64_t pushed_ = 0;
    uint64_t saved_ = 0;
    bool closing_ = false;
    std::chrono::steady_clock::time_point closeDeadline_;
    Status failure_ = Status::Ok();
    std::thread thread_;
};

}  // namespace vela
