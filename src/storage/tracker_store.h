#pragma once

#include "common/result.h"
#include "storage/storage_errors.h"
#include "storage/tracker_list.h"

#include <filesystem>

namespace vela {

// Moves the tracker list between memory and the Trackers table of settings.accdb in
// the working directory. Every operation opens and closes its own connection.
class TrackerStore {
public:
    TrackerStore(std::filesystem::path workingDirectory, StorageErrorReporter reporter = {});

    // Appends one entry per row to `list` (which is not emptied first).
    Status load(TrackerList& list) const;
    // Makes the table hold exactly the entries of `list`, in list order (all or
    // nothing). Creates the database when it does not exist.
    Status save(const TrackerList& list) const;

private:
    std::filesystem::path workingDirectory_;
    StorageErrorReporter reporter_;
};

}  // namespace vela
