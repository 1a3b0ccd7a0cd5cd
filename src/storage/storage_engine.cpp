#include "storage/storage_engine.h"

#include "storage/database_file.h"
#include "storage/settings_store.h"
#include "storage/tracker_store.h"

#include <utility>

namespace vela {

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

}  // namespace vela
