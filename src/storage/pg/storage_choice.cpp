#include "storage/pg/storage_choice.h"

#include "storage/campaign_store.h"
#include "storage/pg/connection.h"
#include "storage/pg/pg_campaign_storage.h"
#include "storage/pg/pg_storage.h"

#include <cstdlib>

namespace vela {

Result<std::optional<std::string>> ChosenDatabaseUrl(const std::optional<std::string>& option) {
    std::optional<std::string> url = option;
    const char* source = "--database";
    if (!url) {
        const char* environment = std::getenv(kDatabaseEnvironmentVariable);
        if (environment == nullptr || *environment == '\0') return std::optional<std::string>();
        url = environment;
        source = kDatabaseEnvironmentVariable;
    }
    if (!pg::IsPostgresUrl(*url)) {
        return Result<std::optional<std::string>>::Fail(
            std::string(source) + " '" + pg::RedactUrl(*url) +
            "' is not a PostgreSQL URL (postgresql://USER@HOST[:PORT]/DATABASE)");
    }
    return url;
}

std::unique_ptr<StorageEngine> OpenStorage(const std::filesystem::path& directory,
                                           const std::optional<std::string>& url,
                                           StorageErrorReporter reporter) {
    if (url) return std::make_unique<PgStorage>(*url, std::move(reporter));
    return std::make_unique<SqliteStorage>(directory, std::move(reporter));
}

std::unique_ptr<CampaignStorage> OpenCampaignStorage(const std::filesystem::path& directory,
                                                     const std::optional<std::string>& url) {
    if (url) return std::make_unique<PgCampaignStorage>(*url);
    return std::make_unique<CampaignStore>(directory);
}

}  // namespace vela
