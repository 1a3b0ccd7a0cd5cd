#pragma once

// Saves a campaign's changes in the order they happen, many to a transaction, on a
// thread of its own: a commit costs milliseconds of disk flushes, and a thousand
// trackers would otherwise wait on each other's. What a change announces is passed on
// only once the change is saved, so nothing shown is ever lost by a crash.

#include "common/result.h"
#include "storage/campaign_store.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vela {

class CampaignJournal {
public:
    // `onSaved` runs on the journal's thread after every save.
    CampaignJournal(CampaignWriter writer, std::function<void()> onSaved);
    ~CampaignJournal();
    CampaignJournal(const CampaignJournal&) = delete;
    CampaignJournal& operator=(const CampaignJournal&) = delete;

    // Queues a change; `announce` (may be empty) runs on the journal's thread once the
    // change is saved, in queue order. Returns the change's ticket.
    uint64_t Push(CampaignChange change, std::function<void()> announce);
    // Blocks until the change with `ticket` is saved; false when saving failed.
    bool WaitSaved(uint64_t ticket);
    // True when the change with `ticket` is saved; never waits.
    bool IsSaved(uint64_t ticket);
    // True once a save has failed: nothing more is saved.
    bool Failed();
    // Saves what is queued and stops the thread; the first failure, if any.
    Status Close();

private:
    struct Entry {
        CampaignChange change;
        std::function<void()> announce;
    };
    void Loop();

    CampaignWriter writer_;
    std::function<void()> onSaved_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> queued_;
    uint64_t pushed_ = 0;
    uint64_t saved_ = 0;
    bool closing_ = false;
    Status failure_ = Status::Ok();
    std::thread thread_;
};

}  // namespace vela
