#pragma once

// The rows of a campaign, as every campaign storage keeps them.

#include "storage/history_store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

// The schema version that brought the campaign tables.
inline constexpr int kCampaignSchemaVersion = 2;
// The schema version that brought the stations of a shared campaign.
inline constexpr int kCampaignStationsSchemaVersion = 3;

// The SQL that both engines share: a campaign with its tracker counts (followed by a
// WHERE or ORDER BY), and the tracker columns in the order the readers take them.
inline constexpr const char* kCampaignSelect =
    "SELECT c.\"ID\", c.\"CreatedAt\", c.\"UpdatedAt\", c.\"State\", c.\"ConfigFile\", "
    "c.\"ConfigSha256\", c.\"ModemPorts\", c.\"WaitSeconds\", c.\"Attempts\", c.\"Images\", "
    "c.\"RunnerPid\", "
    "(SELECT count(*) FROM \"CampaignTrackers\" t WHERE t.\"CampaignId\" = c.\"ID\"), "
    "(SELECT count(*) FROM \"CampaignTrackers\" t WHERE t.\"CampaignId\" = c.\"ID\" "
    "AND t.\"State\" = 'configured'), "
    "(SELECT count(*) FROM \"CampaignTrackers\" t WHERE t.\"CampaignId\" = c.\"ID\" "
    "AND t.\"State\" = 'failed') FROM \"Campaigns\" c ";
// Every column but the station's two, which follow them (kCampaignStationColumns).
inline constexpr const char* kCampaignTrackerColumns =
    "\"CampaignId\", \"Position\", \"Tracker\", \"Phone\", \"State\", \"Attempts\", "
    "\"LastEvent\", \"Detail\", \"Verdict\", \"WaitUntil\", \"ModemPort\", \"CallerAddress\", "
    "\"CallerImei\", \"Answer\", \"UpdatedAt\", ";
inline constexpr const char* kCampaignStationColumns = "\"Station\", \"LeaseUntil\"";
// The delivery columns, after the station's (schema version 4), and what a database from
// before them reads instead.
inline constexpr int kCampaignDeliverySchemaVersion = 4;
inline constexpr const char* kCampaignDeliveryColumns =
    ", \"Delivery\", \"DeliveredAt\", \"MessageReference\"";
inline constexpr const char* kNoCampaignDeliveryColumns = ", '', '', NULL";
// The MessageReference column as read in text ("" for NULL); nothing unless a number.
std::optional<int64_t> MessageReferenceFromText(std::string_view text);

// The modem ports as the ModemPorts column keeps them, one per line, and back.
std::string ModemPortsText(const std::vector<std::string>& ports);
std::vector<std::string> ModemPortsFromText(const std::string& text);
// "no campaign ID".
std::string NoSuchCampaign(int64_t id);

// What a status report said of an SMS, as the Delivery columns keep it.
inline constexpr const char* kDeliveryDelivered = "delivered";
inline constexpr const char* kDeliveryUndeliverable = "undeliverable";
inline constexpr const char* kDeliveryUnconfirmed = "unconfirmed";  // asked, no final report

// Campaign states as the Campaigns table keeps them.
inline constexpr const char* kCampaignRunning = "running";
inline constexpr const char* kCampaignInterrupted = "interrupted";
inline constexpr const char* kCampaignFinished = "finished";

// What `velactl db prune` deletes, the same text for both engines ($1: a timestamp as
// HistoryTimestamp writes it, so text order is time order).
inline constexpr const char* kPruneHistory = "DELETE FROM \"History\" WHERE \"EndedAt\" < $1";
#define VELA_FINISHED_BEFORE \
    "(SELECT \"ID\" FROM \"Campaigns\" WHERE \"State\" = 'finished' AND \"UpdatedAt\" < $1)"
inline constexpr const char* kPruneCampaignTrackers =
    "DELETE FROM \"CampaignTrackers\" WHERE \"CampaignId\" IN " VELA_FINISHED_BEFORE;
inline constexpr const char* kPruneCampaignStations =
    "DELETE FROM \"CampaignStations\" WHERE \"CampaignId\" IN " VELA_FINISHED_BEFORE;
inline constexpr const char* kPruneCampaigns =
    "DELETE FROM \"Campaigns\" WHERE \"ID\" IN " VELA_FINISHED_BEFORE;
#undef VELA_FINISHED_BEFORE

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
    std::string station;       // the station holding it, empty when none
    int64_t leaseUntilMs = 0;  // end of that station's claim, by the database's clock
    // What the network reported of its last SMS, when a report was asked for
    // (kDelivery...; empty: none asked), the discharge time ("2026-12-08 10:15:35 +02:00")
    // and the reference "+CMGS:" gave the message.
    std::string delivery;
    std::string deliveredAt;
    std::optional<int64_t> messageReference;
};

// One saved change: a tracker's new row, a campaign's new state and/or a history row.
struct CampaignChange {
    std::optional<CampaignTrackerRecord> tracker;
    std::optional<HistoryRecord> history;
    std::optional<std::string> campaignState;  // with runnerPid below
    int64_t campaignId = 0;
    int64_t runnerPid = 0;
};

}  // namespace vela
