#include "campaign/campaign_journal.h"

#include <algorithm>
#include <utility>

namespace vela {

namespace {

constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kLongestRetry{2000};

}  // namespace

CampaignJournal::CampaignJournal(std::unique_ptr<CampaignWriter> writer, Callbacks callbacks)
    : writer_(std::move(writer)), callbacks_(std::move(callbacks)), thread_([this] { Loop(); }) {}

CampaignJournal::~CampaignJournal() {
    (void)Close();
}

uint64_t CampaignJournal::Push(CampaignChange change, std::function<void()> announce) {
    std::lock_guard lock(mutex_);
    queued_.push_back({std::move(change), std::move(announce), ++pushed_});
    changed_.notify_all();
    return pushed_;
}

bool CampaignJournal::WaitSaved(uint64_t ticket, const std::atomic<bool>& giveUp) {
    std::unique_lock lock(mutex_);
    // Bounded waits: `giveUp` may be set from a signal handler, which cannot notify.
    while (saved_ < ticket && failure_.ok() && !giveUp.load()) {
        changed_.wait_for(lock, std::chrono::milliseconds(200));
    }
    return saved_ >= ticket && !refused_.contains(ticket);
}

SaveState CampaignJournal::StateOf(uint64_t ticket) {
    std::lock_guard lock(mutex_);
    if (saved_ < ticket) return SaveState::Pending;
    return refused_.contains(ticket) ? SaveState::Refused : SaveState::Saved;
}

bool CampaignJournal::Failed() {
    std::lock_guard lock(mutex_);
    return !failure_.ok();
}

void CampaignJournal::AnnounceNow(const std::function<void()>& announce) {
    std::lock_guard lock(announcing_);
    announce();
}

Status CampaignJournal::Close(std::chrono::milliseconds patience) {
    {
        std::lock_guard lock(mutex_);
        if (!closing_) closeDeadline_ = std::chrono::steady_clock::now() + patience;
        closing_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    return failure_;
}

// Saves the batch's changes in one transaction; which entries were refused (held by
// another station now).
Result<std::vector<bool>> CampaignJournal::SaveBatch(const std::vector<Entry>& batch) {
    std::vector<CampaignChange> changes;
    std::vector<std::size_t> owners;  // the batch entry of each change
    for (std::size_t at = 0; at < batch.size(); ++at) {
        const CampaignChange& change = batch[at].change;
        if (change.tracker || change.history || change.campaignState) {
            changes.push_back(change);
            owners.push_back(at);
        }
    }
    std::vector<bool> refused(batch.size(), false);
    if (changes.empty()) return refused;
    Result<std::vector<std::size_t>> saved = writer_->save(changes);
    if (!saved) return saved.status();
    for (std::size_t index : saved.value()) {
        if (index < owners.size()) refused[owners[index]] = true;
    }
    return refused;
}

// After a failed save: true to try again after a pause (the database is unavailable for
// now and the journal is not past its patience); false once saving has failed for good.
bool CampaignJournal::WaitToRetry(const Status& failure, bool& inOutage,
                                  std::chrono::milliseconds& retryIn) {
    std::unique_lock lock(mutex_);
    const bool tooLate = closing_ && std::chrono::steady_clock::now() >= closeDeadline_;
    if (failure.code() != StatusCode::Unavailable || tooLate) {
        failure_ = failure;
        changed_.notify_all();
        lock.unlock();
        if (callbacks_.onSaved) callbacks_.onSaved();
        return false;
    }
    if (!inOutage && callbacks_.onOutage) {
        lock.unlock();
        AnnounceNow([&] { callbacks_.onOutage(failure.message()); });
        lock.lock();
    }
    inOutage = true;
    changed_.wait_for(lock, retryIn);
    retryIn = std::min(retryIn * 2, kLongestRetry);
    return true;
}

// Announces what was saved, in order, tells of what was refused, and moves the tickets on.
void CampaignJournal::Settle(std::vector<Entry>& batch, const std::vector<bool>& refused) {
    std::unique_lock announcing(announcing_);
    for (std::size_t at = 0; at < batch.size(); ++at) {
        if (refused[at]) {
            if (callbacks_.onRefused && batch[at].change.tracker)
                callbacks_.onRefused(*batch[at].change.tracker);
        } else if (batch[at].announce) {
            batch[at].announce();
        }
    }
    announcing.unlock();
    std::lock_guard lock(mutex_);
    for (std::size_t at = 0; at < batch.size(); ++at) {
        if (refused[at]) refused_.insert(batch[at].ticket);
    }
    saved_ = batch.back().ticket;
    changed_.notify_all();
}

void CampaignJournal::Loop() {
    std::vector<Entry> batch;  // kept while a save is tried again
    std::chrono::milliseconds retryIn = kFirstRetry;
    bool inOutage = false;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !queued_.empty() || !batch.empty() || closing_; });
            if (!failure_.ok() || (queued_.empty() && batch.empty())) return;
            std::move(queued_.begin(), queued_.end(), std::back_inserter(batch));
            queued_.clear();
        }
        Result<std::vector<bool>> refused = SaveBatch(batch);
        if (!refused) {
            if (!WaitToRetry(refused.status(), inOutage, retryIn)) return;
            continue;
        }
        if (inOutage && callbacks_.onOutage) AnnounceNow([&] { callbacks_.onOutage(""); });
        inOutage = false;
        retryIn = kFirstRetry;
        Settle(batch, refused.value());
        batch.clear();
        if (callbacks_.onSaved) callbacks_.onSaved();
    }
}

}  // namespace vela
