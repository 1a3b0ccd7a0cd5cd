#pragma once

// Where an installation keeps its data, chosen once at the edge of every program and
// passed down to every window, command and store. The order of precedence:
//   the database: --database-file FILE, --database URL, $VELA_DATABASE, else none;
//   the directory: --dir DIR, --user-data, $VELA_DIR, else the current directory.
// With a database the settings, trackers, history and campaigns are there; the
// directory still holds test-server.ini (and settings.accdb when there is no database).
#include "common/command_line.h"
#include "common/result.h"
#include "storage/campaign_storage.h"
#include "storage/storage_engine.h"
#include "storage/storage_errors.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vela {

struct InstallationChoice {
    std::filesystem::path directory;  // absolute
    std::optional<std::string> databaseUrl;

    // The stores of this choice.
    std::unique_ptr<StorageEngine> storage(StorageErrorReporter reporter = {}) const;
    std::unique_ptr<CampaignStorage> campaigns() const;
};

// The choice that the options declared by CommandLine::dataChoice() make. Refused with
// StatusCode::Invalid (a usage error): --dir with --user-data, --database with
// --database-file, a text that is not a PostgreSQL URL, and a password inside a
// --database URL, which every user could read in the process list. Refused with
// StatusCode::Refused: a --database-file that others may read.
Result<InstallationChoice> ChooseInstallation(const ParsedOptions& options);

// Why a URL given as `option` on the command line is refused when it holds a password.
std::string PasswordOnCommandLine(const std::string& option);

}  // namespace vela
