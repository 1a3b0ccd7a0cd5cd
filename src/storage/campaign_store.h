#pragma once

#include "common/result.h"
#include "storage/campaign_storage.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vela {

namespace sqlite {
class Database;
}

// The campaign tables of settings.accdb in one data directory. One station runs a
// campaign: the process that runs it is kept in the campaign's row. Reads open their
// own connection; a running campaign keeps one writer and saves its changes in batches.
class CampaignStore final : public CampaignStorage {
public:
    explicit CampaignStore(std::filesystem::path workingDirectory);

    std::string location() const override;
    bool shared() const override { return false; }
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
    std::filesystem::path workingDirectory_;
};

// Every campaign row of `db` (campaigns oldest first, trackers in campaign order),
// inside the caller's transaction; none in a database from before the campaign tables.
Status ReadCampaignRows(sqlite::Database& db, std::vector<CampaignRecord>& campaigns,
                        std::vector<CampaignTrackerRecord>& trackers,
                        std::vector<CampaignStationRecord>& stations);

// Makes the campaign tables of `db` hold exactly these rows, with the campaigns' IDs
// as given; runs inside the caller's transaction on a database of the latest schema.
Status ReplaceCampaignRows(sqlite::Database& db, const std::vector<CampaignRecord>& campaigns,
                           const std::vector<CampaignTrackerRecord>& trackers,
                           const std::vector<CampaignStationRecord>& stations);

}  // namespace vela
