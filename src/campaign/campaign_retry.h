#pragma once

// "Retry failed": a new campaign of the trackers of an earlier one that did not end
// configured, with the same file, images, modems, wait and attempts. The window's
// button and `velactl campaign retry` both come here.

#include "common/result.h"
#include "storage/campaign_storage.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vela {

// Creates the new campaign and returns its ID; sends nothing. With `onlyVerdicts`
// (verdict words such as "no-call"), only the trackers that ended with one of them are
// taken; without, every tracker that is not configured, open ones included. Refused
// while campaign `id` is running, and when no tracker is left to retry.
Result<int64_t> CreateRetryCampaign(const CampaignStorage& campaigns, int64_t id,
                                    const std::vector<std::string>& onlyVerdicts = {});

}  // namespace vela
