#include "campaign/campaign_retry.h"

#include "storage/verdict.h"

#include <algorithm>

namespace vela {

Result<int64_t> CreateRetryCampaign(const CampaignStorage& campaigns, int64_t id,
                                    const std::vector<std::string>& onlyVerdicts) {
    for (const std::string& word : onlyVerdicts) {
        if (!VerdictFromWord(word) || word == VerdictWord(Verdict::Configured)) {
            return Result<int64_t>::Fail("not a verdict of a failed tracker: " + word,
                                         StatusCode::Invalid);
        }
    }
    Result<CampaignRecord> source = campaigns.campaign(id);
    if (!source) return source.status();
    if (source.value().state == kCampaignRunning) {
        return Result<int64_t>::Fail(
            "campaign " + std::to_string(id) + " is running; stop it or let it finish first",
            StatusCode::Refused);
    }
    Result<std::vector<CampaignTrackerRecord>> rows = campaigns.trackers(id);
    if (!rows) return rows.status();

    std::vector<CampaignTrackerRecord> retried;
    for (const CampaignTrackerRecord& row : rows.value()) {
        if (row.verdict == VerdictWord(Verdict::Configured)) continue;
        if (!onlyVerdicts.empty() && std::find(onlyVerdicts.begin(), onlyVerdicts.end(),
                                               row.verdict) == onlyVerdicts.end()) {
            continue;
        }
        CampaignTrackerRecord fresh;
        fresh.position = static_cast<int64_t>(retried.size());
        fresh.tracker = row.tracker;
        fresh.phone = row.phone;
        retried.push_back(std::move(fresh));
    }
    if (retried.empty()) {
        return Result<int64_t>::Fail("campaign " + std::to_string(id) + " has no tracker to retry",
                                     StatusCode::NotFound);
    }
    CampaignRecord campaign = source.value();
    campaign.id = 0;
    campaign.createdAt = HistoryTimestamp();
    campaign.updatedAt.clear();
    campaign.state = kCampaignInterrupted;  // not running until Run takes it
    campaign.runnerPid = 0;
    campaign.total = campaign.configured = campaign.failed = 0;
    return campaigns.create(campaign, retried);
}

}  // namespace vela
