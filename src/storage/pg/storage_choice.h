#pragma once

#include "common/result.h"
#include "storage/campaign_storage.h"
#include "storage/storage_engine.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vela {

// The environment variable that names a shared database when --database does not.
inline constexpr const char* kDatabaseEnvironmentVariable = "VELA_DATABASE";

// The PostgreSQL URL named by --database (`option`, when given) or else by
// VELA_DATABASE; nothing when neither names one (then settings.accdb is used). A text
// that is not a postgresql:// or postgres:// URL is refused.
Result<std::optional<std::string>> ChosenDatabaseUrl(const std::optional<std::string>& option);

// PostgreSQL at `url` when there is one, else settings.accdb in `directory`.
std::unique_ptr<StorageEngine> OpenStorage(const std::filesystem::path& directory,
                                           const std::optional<std::string>& url,
                                           StorageErrorReporter reporter = {});

// The campaigns in the PostgreSQL database at `url` when there is one, else in
// settings.accdb in `directory`.
std::unique_ptr<CampaignStorage> OpenCampaignStorage(const std::filesystem::path& directory,
                                                     const std::optional<std::string>& url);

}  // namespace vela
