#pragma once

// A station's keeper in a shared database, on a thread of its own: renews the station's
// leases every third of a lease, claims trackers as the modems need them (at once when
// nudged), and follows how many trackers of the whole campaign are still open. While
// the database is out of reach it claims nothing, says so once, and tries again.

#include "storage/campaign_storage.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vela {

class CampaignKeeper {
public:
    // What the keeper asks of its station; called on the keeper's thread.
    struct Station {
        std::function<int()> claimRoom;  // how many more trackers to claim now
        std::function<void(std::vector<CampaignTrackerRecord>)> adopt;
        std::function<void(int64_t)> campaignOpen;  // trackers of the campaign still open
        std::function<void(const std::string&)> warn;
        std::function<void()> wake;  // after every round
    };

    CampaignKeeper(CampaignClaims& claims, std::chrono::milliseconds lease, Station station);
    ~CampaignKeeper();
    CampaignKeeper(const CampaignKeeper&) = delete;
    CampaignKeeper& operator=(const CampaignKeeper&) = delete;

    // Claims again now, without waiting for the next round.
    void Nudge();

private:
    void Loop();
    Status ClaimMore();

    CampaignClaims& claims_;
    std::chrono::milliseconds interval_;
    Station station_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool nudged_ = false;
    std::thread thread_;
};

}  // namespace vela
