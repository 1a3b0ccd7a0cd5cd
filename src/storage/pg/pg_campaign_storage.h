#pragma once

#include "storage/campaign_storage.h"

#include <chrono>
#include <string>
#include <utility>

namespace vela {

namespace pg {
class Connection;
}

// Campaigns in a PostgreSQL database shared by several stations. Each station claims
// trackers with a lease measured by the database's clock, so the stations' own clocks
// never have to agree. Reads open their own connection; a writer and a claims object
// keep one each and open it again after it broke.
class PgCampaignStorage final : public CampaignStorage {
public:
    explicit PgCampaignStorage(std::string url);

    std::string location() const override;
    bool shared() const override { return true; }
    Result<int64_t> create(const CampaignRecord& campaign,
                           const std::vector<CampaignTrackerRecord>& trackers) const override;
    Result<CampaignRecord> campaign(int64_t id) const override;
    Result<std::vector<CampaignRecord>> list() const override;
    Result<std::vector<CampaignTrackerRecord>> trackers(int64_t id) const override;
    Status eachTracker(
        int64_t id, const std::function<void(const CampaignTrackerRecord&)>& take) const override;
    Result<std::vector<CampaignStationRecord>> stations(int64_t id) const override;
    Result<PruneCounts> prune(const std::optional<std::string>& historyBefore,
                              const std::optional<std::string>& campaignsBefore) const override;
    Result<std::unique_ptr<CampaignWriter>> openWriter(
        int64_t id, const CampaignStationInfo& station,
        std::chrono::milliseconds lease) const override;
    Result<std::unique_ptr<CampaignClaims>> openClaims(
        int64_t id, const CampaignStationInfo& station,
        std::chrono::milliseconds lease) const override;

private:
    std::string url_;
};

namespace pg {

// Inserts a new campaign and its tracker rows (held by no station) inside the caller's
// transaction; its ID.
Result<int64_t> InsertCampaign(Connection& connection, const CampaignRecord& campaign,
                               const std::vector<CampaignTrackerRecord>& trackers);

// Appends one run's record to History (the statement both engines build alike).
Status InsertHistoryRow(Connection& connection, const HistoryRecord& record);

// The campaign rows of a database, with their IDs, for copying them whole. Both run
// inside the caller's transaction; writing expects empty campaign tables and moves the
// ID sequence past the IDs written.
Status ReadCampaignRows(Connection& connection, std::vector<CampaignRecord>& campaigns,
                        std::vector<CampaignTrackerRecord>& trackers,
                        std::vector<CampaignStationRecord>& stations);
Status WriteCampaignRows(Connection& connection, const std::vector<CampaignRecord>& campaigns,
                         const std::vector<CampaignTrackerRecord>& trackers,
                         const std::vector<CampaignStationRecord>& stations);

}  // namespace pg

}  // namespace vela
