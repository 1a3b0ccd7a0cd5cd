#pragma once

// How a station shares a campaign with others, the one thing in which the two storage
// engines differ for the engine: alone over settings.accdb (one process runs a campaign
// and takes all of it at once), or as one of the stations of a shared database (claims a
// batch ahead, renews its leases, stays until the whole campaign is done).

#include "storage/campaign_storage.h"

#include <memory>

namespace vela {

class CampaignPolicy {
public:
    virtual ~CampaignPolicy() = default;
    // Refused when the campaign cannot be run by this station now (another process runs
    // it); checked before the port is bound. The claims check it again as they take it.
    virtual Status mayStart(const CampaignRecord& campaign) const = 0;
    // How many trackers to claim before the first SMS.
    virtual int firstClaim(int modems) const = 0;
    // True when a keeper renews leases and claims more while the campaign runs.
    virtual bool keeps() const = 0;
    // True when this station's part is over: its trackers all have a verdict and, when
    // others share the campaign, no tracker of it is left open.
    virtual bool finished(int heldOpen, int64_t campaignOpen) const = 0;
};

std::unique_ptr<CampaignPolicy> MakeCampaignPolicy(const CampaignStorage& campaigns);

}  // namespace vela
