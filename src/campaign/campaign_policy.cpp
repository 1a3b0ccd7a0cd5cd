#include "campaign/campaign_policy.h"

#include "common/process_alive.h"

#include <algorithm>
#include <limits>

namespace vela {

namespace {

// One process per campaign over settings.accdb: every open tracker is its own at once.
class AloneOnFile final : public CampaignPolicy {
public:
    Status mayStart(const CampaignRecord& campaign) const override {
        if (campaign.state == kCampaignRunning && OtherProcessAlive(campaign.runnerPid)) {
            return Status::Refused("campaign " + std::to_string(campaign.id) +
                                   " is being run by process " +
                                   std::to_string(campaign.runnerPid));
        }
        return Status::Ok();
    }
    int firstClaim(int) const override { return std::numeric_limits<int>::max(); }
    bool keeps() const override { return false; }
    bool finished(int heldOpen, int64_t) const override { return heldOpen == 0; }
};

// Several stations with leases on one PostgreSQL database.
class SharedStations final : public CampaignPolicy {
public:
    Status mayStart(const CampaignRecord&) const override { return Status::Ok(); }
    int firstClaim(int modems) const override { return std::max(1, 8 * modems); }
    bool keeps() const override { return true; }
    bool finished(int heldOpen, int64_t campaignOpen) const override {
        return heldOpen == 0 && campaignOpen == 0;
    }
};

}  // namespace

std::unique_ptr<CampaignPolicy> MakeCampaignPolicy(const CampaignStorage& campaigns) {
    if (campaigns.shared()) return std::make_unique<SharedStations>();
    return std::make_unique<AloneOnFile>();
}

}  // namespace vela
