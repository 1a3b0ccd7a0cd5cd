#include "campaign/campaign_journal.h"

#include <utility>

namespace vela {

CampaignJournal::CampaignJournal(CampaignWriter writer, std::function<void()> onSaved)
    : writer_(std::move(writer)), onSaved_(std::move(onSaved)), thread_([this] { Loop(); }) {}

CampaignJournal::~CampaignJournal() {
    (void)Close();
}

uint64_t CampaignJournal::Push(CampaignChange change, std::function<void()> announce) {
    std::lock_guard lock(mutex_);
    queued_.push_back({std::move(change), std::move(announce)});
    changed_.notify_all();
    return ++pushed_;
}

bool CampaignJournal::WaitSaved(uint64_t ticket) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return saved_ >= ticket || !failure_.ok(); });
    return saved_ >= ticket;
}

bool CampaignJournal::IsSaved(uint64_t ticket) {
    std::lock_guard lock(mutex_);
    return saved_ >= ticket;
}

bool CampaignJournal::Failed() {
    std::lock_guard lock(mutex_);
    return !failure_.ok();
}

Status CampaignJournal::Close() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    return failure_;
}

void CampaignJournal::Loop() {
    std::vector<Entry> batch;
    std::vector<CampaignChange> changes;
    for (;;) {
        uint64_t last = 0;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !queued_.empty() || closing_; });
            if (queued_.empty() || !failure_.ok()) return;
            batch.swap(queued_);
            last = pushed_;
        }
        changes.clear();
        for (Entry& entry : batch) {
            const CampaignChange& change = entry.change;
            if (change.tracker || change.history || change.campaignState) {
                changes.push_back(std::move(entry.change));
            }
        }
        Status saved = changes.empty() ? Status::Ok() : writer_.save(changes);
        if (saved) {
            for (Entry& entry : batch) {
                if (entry.announce) entry.announce();
            }
        }
        batch.clear();
        {
            std::lock_guard lock(mutex_);
            if (saved)
                saved_ = last;
            else
                failure_ = saved;
            changed_.notify_all();
        }
        if (onSaved_) onSaved_();
    }
}

}  // namespace vela
