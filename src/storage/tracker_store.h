#pragma once

#include "common/result.h"
#include "storage/storage_errors.h"
#include "storage/stored_values.h"
#include "storage/tracker_list.h"

#include <filesystem>
#include <optional>

namespace vela {

// Moves the tracker list between memory and the Trackers table of settings.accdb in
// the working directory. Every operation opens and closes its own connection.
class TrackerStore {
public:
    TrackerStore(std::filesystem::path workingDirectory, StorageErrorReporter reporter = {});

    // Appends one entry per row to `list` (which is not emptied first).
    Status load(TrackerList& list) const;
    // The same, and the stamp of the rows read (when they all could be read).
    Status load(TrackerList& list, TrackerListStamp& stamp) const;
    // Makes the table hold exactly the entries of `list`, in list order (all or
    // nothing). Creates the database when it does not exist.
    Status save(const TrackerList& list) const;
    // The same, but only while the stored list is still the one whose stamp is `loaded`:
    // otherwise nothing is written, `changedMeanwhile` is set and the failure says so.
    Status saveIfUnchanged(const TrackerList& list, TrackerListStamp loaded,
                           bool& changedMeanwhile) const;

private:
    Status saveChecked(const TrackerList& list, std::optional<TrackerListStamp> loaded,
                       bool& changedMeanwhile) const;
    std::filesystem::path workingDirectory_;
    StorageErrorReporter reporter_;
};

}  // namespace vela
