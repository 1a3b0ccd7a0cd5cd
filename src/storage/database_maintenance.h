#pragma once

// Keeping the database file well: a consistent copy while it may be in use, and
// SQLite's own check of its structure.
#include "common/result.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vela {

// Copies the database `source` into `target` with SQLite's online backup, so the copy
// is consistent even while another program writes. `target` is created owner-only and
// never through a symbolic link (it holds passwords); an existing file of ours is
// replaced.
Status BackupDatabase(const std::filesystem::path& source, const std::filesystem::path& target);

// The problems SQLite's integrity check and the schema check find; empty when none.
Result<std::vector<std::string>> CheckDatabase(const std::filesystem::path& file);

}  // namespace vela
