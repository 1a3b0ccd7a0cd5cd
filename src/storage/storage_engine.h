#pragma once

#include "common/result.h"
#include "storage/campaign_storage.h"
#include "storage/history_store.h"
#include "storage/program_settings.h"
#include "storage/station_options.h"
#include "storage/storage_errors.h"
#include "storage/stored_values.h"
#include "storage/tracker_list.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vela {

// All an installation keeps, as it moves from one database to another.
struct StoredContent {
    std::optional<ProgramSettings> settings;  // none when no settings are stored
    StationOptions options;
    TrackerList trackers;
    std::vector<HistoryRecord> history;  // oldest first
    // The campaigns keep their IDs: history rows point at them.
    std::vector<CampaignRecord> campaigns;                // by ID
    std::vector<CampaignTrackerRecord> campaignTrackers;  // by campaign, in its order
    std::vector<CampaignStationRecord> campaignStations;  // in the order they joined
};

// Where settings and trackers are kept: settings.accdb in a data directory, or a shared
// PostgreSQL database. Every operation opens its own connection and closes it; a
// failure is reported through the reporter with the database's own message and
// comes back as the Status. Rewrites are all or nothing.
class StorageEngine {
public:
    virtual ~StorageEngine() = default;

    // Where the rows are, as shown to the operator (the file, or the URL without
    // its password).
    virtual std::string location() const = 0;

    // Overwrites `settings` with the stored row; unchanged when there is none.
    virtual Status loadSettings(ProgramSettings& settings) const = 0;
    // Makes the stored settings exactly these.
    virtual Status saveSettings(const ProgramSettings& settings) const = 0;

    // The station's options (the defaults where none are stored).
    virtual Status loadOptions(StationOptions& options) const = 0;
    // Stores every option; options of names this version does not know stay.
    virtual Status saveOptions(const StationOptions& options) const = 0;

    // Appends the stored trackers to `list`, in stored order; `stamp` becomes the stamp
    // of what was read when all of it could be read.
    virtual Status loadTrackers(TrackerList& list, TrackerListStamp& stamp) const = 0;
    // Makes the stored list exactly `list`, in its order.
    virtual Status saveTrackers(const TrackerList& list) const = 0;
    // The same, but only while the stored list is still the one whose stamp is
    // `loaded`; otherwise nothing is written and `changedMeanwhile` is set.
    virtual Status saveTrackersIfUnchanged(const TrackerList& list, TrackerListStamp loaded,
                                           bool& changedMeanwhile) const = 0;

    // Adds one row to the run history; its ID is assigned by the database.
    virtual Status appendHistory(const HistoryRecord& record) const = 0;
    // Newest first.
    virtual Result<std::vector<HistoryRecord>> queryHistory(const HistoryFilter& filter) const = 0;

    // Everything stored, read as one consistent whole.
    virtual Result<StoredContent> loadContent() const = 0;
    // Makes the stored content exactly `content` in one transaction (history rows keep
    // their order, not their IDs; campaigns keep their IDs). Refused when the database
    // holds any settings, trackers, history or campaigns already, unless `replace`.
    virtual Status replaceContent(const StoredContent& content, bool replace) const = 0;
};

// Why replaceContent refused a database that is not empty.
inline constexpr const char* kDatabaseNotEmpty = "the database already holds ";
std::string NotEmptyMessage(int64_t settingsRows, int64_t trackerRows, int64_t historyRows,
                            int64_t campaignRows);

// settings.accdb in `directory`, exactly as the SettingsStore and TrackerStore keep it.
class SqliteStorage final : public StorageEngine {
public:
    SqliteStorage(std::filesystem::path directory, StorageErrorReporter reporter = {});

    std::string location() const override;
    Status loadSettings(ProgramSettings& settings) const override;
    Status saveSettings(const ProgramSettings& settings) const override;
    Status loadOptions(StationOptions& options) const override;
    Status saveOptions(const StationOptions& options) const override;
    Status loadTrackers(TrackerList& list, TrackerListStamp& stamp) const override;
    Status saveTrackers(const TrackerList& list) const override;
    Status saveTrackersIfUnchanged(const TrackerList& list, TrackerListStamp loaded,
                                   bool& changedMeanwhile) const override;
    Status appendHistory(const HistoryRecord& record) const override;
    Result<std::vector<HistoryRecord>> queryHistory(const HistoryFilter& filter) const override;
    Result<StoredContent> loadContent() const override;
    Status replaceContent(const StoredContent& content, bool replace) const override;

private:
    std::filesystem::path directory_;
    StorageErrorReporter reporter_;
};

}  // namespace vela
