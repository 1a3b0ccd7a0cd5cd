#include "storage/storage_engine.h"

#include "storage/campaign_store.h"
#include "storage/database_file.h"
#include "storage/schema.h"
#include "storage/settings_store.h"
#include "storage/table_rows.h"
#include "storage/tracker_store.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace vela {

namespace {

Result<int64_t> countRows(sqlite::Database& db, const char* table) {
    Result<sqlite::Statement> query =
        db.prepare("SELECT count(*) FROM \"" + std::string(table) + "\"");
    if (!query) return query.status();
    Result<bool> stepped = query.value().step();
    if (!stepped) return stepped.status();
    return query.value().columnInt(0);
}

}  // namespace

std::string NotEmptyMessage(int64_t settingsRows, int64_t trackerRows, int64_t historyRows,
                            int64_t campaignRows) {
    std::string message = kDatabaseNotEmpty + std::to_string(settingsRows) + " settings rows, " +
                          std::to_string(trackerRows) + " trackers";
    if (campaignRows == 0) return message + " and " + std::to_string(historyRows) + " history rows";
    return message + ", " + std::to_string(historyRows) + " history rows and " +
           std::to_string(campaignRows) + " campaigns";
}

// The campaigns as CampaignStore reads them, oldest first.
SqliteStorage::SqliteStorage(std::filesystem::path directory, StorageErrorReporter reporter)
    : directory_(std::move(directory)), reporter_(std::move(reporter)) {}

std::string SqliteStorage::location() const {
    return databaseFile(directory_).string();
}

Status SqliteStorage::loadSettings(ProgramSettings& settings) const {
    return SettingsStore(directory_, reporter_).load(settings);
}

Status SqliteStorage::saveSettings(const ProgramSettings& settings) const {
    return SettingsStore(directory_, reporter_).save(settings);
}

Status SqliteStorage::loadOptions(StationOptions& options) const {
    return SettingsStore(directory_, reporter_).loadOptions(options);
}

Status SqliteStorage::saveOptions(const StationOptions& options) const {
    return SettingsStore(directory_, reporter_).saveOptions(options);
}

Status SqliteStorage::loadTrackers(TrackerList& list, TrackerListStamp& stamp) const {
    return TrackerStore(directory_, reporter_).load(list, stamp);
}

Status SqliteStorage::saveTrackers(const TrackerList& list) const {
    return TrackerStore(directory_, reporter_).save(list);
}

Status SqliteStorage::saveTrackersIfUnchanged(const TrackerList& list, TrackerListStamp loaded,
                                              bool& changedMeanwhile) const {
    return TrackerStore(directory_, reporter_).saveIfUnchanged(list, loaded, changedMeanwhile);
}

Status SqliteStorage::appendHistory(const HistoryRecord& record) const {
    return HistoryStore(directory_, reporter_).append(record);
}

Result<std::vector<HistoryRecord>> SqliteStorage::queryHistory(const HistoryFilter& filter) const {
    return HistoryStore(directory_, reporter_).query(filter);
}

Result<StoredContent> SqliteStorage::loadContent() const {
    const std::filesystem::path file = databaseFile(directory_);
    StoredContent content;
    std::vector<std::string> warnings;
    Status status = readDatabase(file, [&](sqlite::Database& db) -> Status {
        // One read transaction: every table as it was at one moment.
        if (Status begun = db.execute("BEGIN"); !begun) return begun;
        ProgramSettings settings;
        bool present = false;
        Status read = ReadSettingsRow(db, settings, warnings, present);
        if (read && present) content.settings = settings;
        if (read) read = ReadOptionRows(db, content.options);
        if (read) read = AppendTrackerRows(db, content.trackers, warnings);
        if (read) read = SelectHistoryRows(db, {}, content.history);
        if (read) {
            read = ReadCampaignRows(db, content.campaigns, content.campaignTrackers,
                                    content.campaignStations);
        }
        (void)db.execute("COMMIT");
        return read;
    });
    for (const std::string& warning : warnings) {
        if (reporter_) reporter_(file.string() + ": " + warning);
    }
    if (!status) {
        std::string message = "Cannot read " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Result<StoredContent>::Fail(std::move(message), status.code());
    }
    std::reverse(content.history.begin(), content.history.end());  // oldest first
    return content;
}

Status SqliteStorage::replaceContent(const StoredContent& content, bool replace) const {
    const std::filesystem::path file = databaseFile(directory_);
    Status status = writeDatabase(file, [&](sqlite::Database& db) -> Status {
        if (Status migrated = MigrateSchema(db); !migrated) return migrated;
        if (!replace) {
            Result<int64_t> settingsRows = countRows(db, "Settings");
            if (!settingsRows) return settingsRows.status();
            Result<int64_t> trackerRows = countRows(db, "Trackers");
            if (!trackerRows) return trackerRows.status();
            Result<int64_t> historyRows = countRows(db, "History");
            if (!historyRows) return historyRows.status();
            Result<int64_t> campaignRows = countRows(db, "Campaigns");
            if (!campaignRows) return campaignRows.status();
            if (settingsRows.value() + trackerRows.value() + historyRows.value() +
                    campaignRows.value() >
                0) {
                return Status::Fail(NotEmptyMessage(settingsRows.value(), trackerRows.value(),
                                                    historyRows.value(), campaignRows.value()),
                                    StatusCode::Conflict);
            }
        }
        if (Status written = ReplaceCampaignRows(db, content.campaigns, content.campaignTrackers,
                                                 content.campaignStations);
            !written) {
            return written;
        }
        if (Status cleared = db.execute("DELETE FROM \"History\""); !cleared) return cleared;
        if (Status written = InsertHistoryRows(db, content.history); !written) return written;
        if (content.settings) {
            if (Status written = ReplaceSettingsRows(db, *content.settings); !written)
                return written;
        } else if (Status cleared = db.execute("DELETE FROM \"Settings\""); !cleared) {
            return cleared;
        }
        if (Status written = WriteOptionRows(db, content.options); !written) return written;
        return ReplaceTrackerRows(db, content.trackers);
    });
    if (!status) {
        std::string message = "Cannot write " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Status::Fail(std::move(message), status.code());
    }
    return Status::Ok();
}

}  // namespace vela
