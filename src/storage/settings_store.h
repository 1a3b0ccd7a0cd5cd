#pragma once

#include "common/result.h"
#include "storage/program_settings.h"
#include "storage/station_options.h"
#include "storage/storage_errors.h"

#include <filesystem>

namespace vela {

// Moves ProgramSettings between memory and the single row of the Settings table of
// settings.accdb in the working directory. Every operation opens and closes its own
// connection; failures go to the reporter and come back as the Status.
class SettingsStore {
public:
    SettingsStore(std::filesystem::path workingDirectory, StorageErrorReporter reporter = {});

    // Overwrites `settings` with the table's first row; leaves it unchanged when the
    // table is empty or the database cannot be read.
    Status load(ProgramSettings& settings) const;
    // Makes the table hold exactly one row with these values (all or nothing). Creates
    // the database when it does not exist.
    Status save(const ProgramSettings& settings) const;

    // The Options rows; the defaults when the database does not exist yet.
    Status loadOptions(StationOptions& options) const;
    // Writes every option's row; creates the database when it does not exist.
    Status saveOptions(const StationOptions& options) const;

private:
    std::filesystem::path workingDirectory_;
    StorageErrorReporter reporter_;
};

}  // namespace vela
