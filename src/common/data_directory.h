#pragma once

// Where Vela keeps settings.accdb and test-server.ini: the start directory, unless
// --dir, the environment variable VELA_DIR or --user-data say otherwise.
#include "common/result.h"

#include <filesystem>
#include <optional>
#include <string>

namespace vela {

// The user's data directory: $XDG_DATA_HOME/vela, or ~/.local/share/vela when
// XDG_DATA_HOME is unset or not an absolute path.
Result<std::filesystem::path> UserDataDirectory();

// The directory in use, made absolute against the current directory. The first that
// applies: `dir` (--dir), `userData` (--user-data: the user's data directory, created
// owner-only when missing), the environment variable VELA_DIR, the current directory.
// --dir together with --user-data is refused.
Result<std::filesystem::path> ResolveDataDirectory(const std::optional<std::string>& dir,
                                                   bool userData);

}  // namespace vela
