#pragma once

#include "common/result.h"
#include "storage/database.h"
#include "storage/history_store.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vela {

// The schema version that brought the campaign tables.
inline constexpr int kCampaignSchemaVersion = 2;

// Campaign states as the Campaigns table keeps them.
inline constexpr const char* kCampaignRunning = "running";
inline constexpr const char* kCampaignInterrupted = "interrupted";
inline constexpr const char* kCampaignFinished = "finished";

// One row of Campaigns: what the campaign was asked to do. The images are kept with it,
// so a resumed campaign sends exactly what it started with.
struct CampaignRecord {
    int64_t id = 0;
    std::string createdAt;
    std::string updatedAt;
    std::string state = kCampaignRunning;
    std::string configFile;  // full path
    std::string configSha256;
    std::vector<std::string> modemPorts;
    int64_t waitSeconds = 300;
    int64_t attempts = 2;
    // "TYPE HEX" per device type, one per line.
    std::string images;
    int64_t runnerPid = 0;  // the process running it, 0 when none
    // Filled by list(): counts of the campaign's trackers.
    int64_t total = 0;
    int64_t configured = 0;
    int64_t failed = 0;
};

// One row of CampaignTrackers: where one tracker of a campaign stands.
struct CampaignTrackerRecord {
    int64_t campaignId = 0;
    int64_t position = 0;  // order of the campaign
    std::string tracker;   // description (the IMEI)
    std::string phone;
    std::string state = "pending";
    int64_t attempts = 0;
    std::string lastEvent;
    std::string detail;
    std::string verdict;      // empty until the tracker is done
    int64_t waitUntilMs = 0;  // Unix time in ms when the wait for its call ends
    std::string modemPort;
    std::string callerAddress;
    std::string callerImei;
    std::string answer;
    std::string updatedAt;
};

// One saved change: a tracker's new row, a campaign's new state and/or a history row.
struct CampaignChange {
    std::optional<CampaignTrackerRecord> tracker;
    std::optional<HistoryRecord> history;
    std::optional<std::string> campaignState;  // with runnerPid below
    int64_t campaignId = 0;
    int64_t runnerPid = 0;
};

// The campaign tables of settings.accdb. Reads open their own connection; a running
// campaign keeps one writer (a CampaignWriter) and saves its changes in batches.
class CampaignStore {
public:
    explicit CampaignStore(std::filesystem::path workingDirectory);

    // Creates the campaign and its tracker rows in one transaction; returns its ID.
    Result<int64_t> create(const CampaignRecord& campaign,
                           const std::vector<CampaignTrackerRecord>& trackers) const;
    Result<CampaignRecord> campaign(int64_t id) const;
    // Newest first, with their counts.
    Result<std::vector<CampaignRecord>> list() const;
    // In campaign order.
    Result<std::vector<CampaignTrackerRecord>> trackers(int64_t id) const;

private:
    std::filesystem::path workingDirectory_;
};

// One connection held for the life of a run; each save is one transaction.
class CampaignWriter {
public:
    static Result<CampaignWriter> open(const std::filesystem::path& workingDirectory);
    // All or nothing.
    Status save(const std::vector<CampaignChange>& changes);

private:
    explicit CampaignWriter(sqlite::Database db) : db_(std::move(db)) {}
    sqlite::Database db_;
};

}  // namespace vela
