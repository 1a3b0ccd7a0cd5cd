#pragma once

#include "storage/storage_engine.h"

#include <string>

namespace vela {

namespace pg {
class Connection;
}

// Settings and trackers in a PostgreSQL database shared by several operators. The
// tables are made or brought forward on the first connection.
class PgStorage final : public StorageEngine {
public:
    PgStorage(std::string url, StorageErrorReporter reporter = {});

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
    Status saveTrackersChecked(const TrackerList& list, const TrackerListStamp* loaded,
                               bool& changedMeanwhile) const;
    // A connection with the tables in place, or the reason there is none.
    Result<pg::Connection> connect() const;
    // Reports "`what` `location()`: `failure`" and returns it.
    Status fail(const std::string& what, const Status& failure) const;

    std::string url_;
    StorageErrorReporter reporter_;
};

}  // namespace vela
