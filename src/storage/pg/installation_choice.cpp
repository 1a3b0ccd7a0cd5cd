#include "storage/pg/installation_choice.h"

#include "common/data_directory.h"
#include "common/file_access.h"
#include "storage/pg/connection.h"
#include "storage/pg/storage_choice.h"

#include <sys/stat.h>

namespace vela {

namespace {

// The URL in the first line of an owner-only file.
Result<std::string> urlFromFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return Result<std::string>::Fail("--database-file " + path + ": " + ErrnoText(errno),
                                         StatusCode::NotFound);
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return Status::Refused("--database-file " + path +
                               " may be read by other users; make it owner-only (chmod 600 " +
                               path + ")");
    }
    Result<std::string> line = ReadSecretFile(path);
    if (!line) return Status::Fail("--database-file " + path + ": " + line.message(), line.code());
    return line;
}

}  // namespace

std::string PasswordOnCommandLine(const std::string& option) {
    return option +
           " must not hold a password: every user can read it in the process list; put the "
           "password in ~/.pgpass (or the file PGPASSFILE names)";
}

std::unique_ptr<StorageEngine> InstallationChoice::storage(StorageErrorReporter reporter) const {
    return OpenStorage(directory, databaseUrl, std::move(reporter));
}

std::unique_ptr<CampaignStorage> InstallationChoice::campaigns() const {
    return OpenCampaignStorage(directory, databaseUrl);
}

Result<InstallationChoice> ChooseInstallation(const ParsedOptions& options) {
    if (options.has("--database") && options.has("--database-file"))
        return Status::Invalid("--database and --database-file cannot be used together");
    std::optional<std::string> url = options.value("--database");
    if (url && pg::HoldsPassword(*url)) {
        return Status::Invalid(PasswordOnCommandLine("--database") +
                               ", or give the whole URL in VELA_DATABASE or in an owner-only "
                               "file with --database-file FILE");
    }
    if (const std::optional<std::string> file = options.value("--database-file")) {
        Result<std::string> fromFile = urlFromFile(*file);
        if (!fromFile) return fromFile.status();
        url = fromFile.value();
    }
    Result<std::optional<std::string>> chosenUrl = ChosenDatabaseUrl(url);
    if (!chosenUrl) return Status::Invalid(chosenUrl.message());
    Result<std::filesystem::path> directory =
        ResolveDataDirectory(options.value("--dir"), options.has("--user-data"));
    if (!directory) {
        // Two directories at once is a usage error; a directory that cannot be made is not.
        const bool both = options.has("--dir") && options.has("--user-data");
        return Status::Fail(directory.message(), both ? StatusCode::Invalid : directory.code());
    }
    return InstallationChoice{directory.value(), chosenUrl.value()};
}

}  // namespace vela
