#include "campaign/campaign_keeper.h"

#include <algorithm>

namespace vela {

using std::chrono::milliseconds;

CampaignKeeper::CampaignKeeper(CampaignClaims& claims, milliseconds lease, Station station)
    : claims_(claims),
      interval_(std::clamp<milliseconds>(lease / 3, milliseconds(50), milliseconds(1000))),
      station_(std::move(station)),
      thread_([this] { Loop(); }) {}

CampaignKeeper::~CampaignKeeper() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void CampaignKeeper::Nudge() {
    std::lock_guard lock(mutex_);
    nudged_ = true;
    wake_.notify_all();
}

Status CampaignKeeper::ClaimMore() {
    if (const int room = station_.claimRoom(); room > 0) {
        Result<std::vector<CampaignTrackerRecord>> rows = claims_.claim(room);
        if (!rows) return rows.status();
        if (!rows.value().empty()) station_.adopt(std::move(rows).value());
    }
    Result<int64_t> open = claims_.openCount();
    if (!open) return open.status();
    station_.campaignOpen(open.value());
    return Status::Ok();
}

void CampaignKeeper::Loop() {
    bool outage = false;
    std::chrono::steady_clock::time_point renewedAt;
    for (;;) {
        // Renewed once a round; a nudge from the modems only claims.
        Status reached = Status::Ok();
        if (outage || std::chrono::steady_clock::now() - renewedAt >= interval_) {
            reached = claims_.renew().status();
            renewedAt = std::chrono::steady_clock::now();
        }
        if (reached) reached = ClaimMore();
        if (!reached && !outage) {
            station_.warn("the database is out of reach; no more trackers are claimed: " +
                          reached.message());
        } else if (reached && outage) {
            station_.warn("the database is reachable again; claiming goes on");
        }
        outage = !reached;
        station_.wake();
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, interval_, [&] { return stop_ || nudged_; });
        if (stop_) return;
        nudged_ = false;
    }
}

}  // namespace vela
