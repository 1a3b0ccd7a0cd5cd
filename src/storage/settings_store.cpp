#include "storage/settings_store.h"

#include "storage/columns.h"
#include "storage/database_checks.h"
#include "storage/database_file.h"
#include "storage/stored_values.h"
#include "storage/table_rows.h"

#include <utility>
#include <vector>

namespace vela {

namespace {

// Columns are chosen by name, so a table made by another tool may order them freely.
constexpr const char* kSelectSettings =
    "SELECT \"IP\", \"EPort\", \"LPort\", \"Timeout\", \"MPort\" FROM \"Settings\"";
constexpr const char* kDeleteSettings = "DELETE FROM \"Settings\"";
constexpr const char* kInsertSettings =
    "INSERT INTO \"Settings\" (\"IP\", \"EPort\", \"LPort\", \"Timeout\", \"MPort\") "
    "VALUES (?1, ?2, ?3, ?4, ?5)";

}  // namespace

Status ReadSettingsRow(sqlite::Database& db, ProgramSettings& settings,
                       std::vector<std::string>& warnings, bool& present) {
    present = false;
    Result<sqlite::Statement> query = db.prepare(kSelectSettings);
    if (!query) return query.status();
    sqlite::Statement& row = query.value();
    Result<bool> stepped = row.step();
    if (!stepped) return stepped.status();
    if (!stepped.value()) return Status::Ok();  // empty table: the defaults stay
    present = true;
    // Only the first row counts; further rows are not read.
    ApplyStoredSettings({row.columnInt(0), row.columnInt(1), row.columnInt(2), row.columnInt(3)},
                        row.columnText(4), settings, warnings);
    return Status::Ok();
}

Status ReplaceSettingsRows(sqlite::Database& db, const ProgramSettings& settings) {
    if (Status deleted = db.execute(kDeleteSettings); !deleted) return deleted;
    Result<sqlite::Statement> insert = db.prepare(kInsertSettings);
    if (!insert) return insert.status();
    sqlite::Statement& row = insert.value();
    // The 32 bits of the address as a signed value: 255.255.255.255 is kept as -1.
    for (Status bound :
         {row.bind(1, int64_t{StoredIp(settings.externalIp)}),
          row.bind(2, int64_t{settings.externalPort}), row.bind(3, int64_t{settings.localPort}),
          row.bind(4, int64_t{settings.timeoutSeconds}),
          row.bind(5, std::string_view(settings.modemPort))}) {
        if (!bound) return bound;
    }
    if (Status inserted = row.step().status(); !inserted) return inserted;
    return CheckRowsKept(db, "Settings", 1);
}

SettingsStore::SettingsStore(std::filesystem::path workingDirectory, StorageErrorReporter reporter)
    : workingDirectory_(std::move(workingDirectory)), reporter_(std::move(reporter)) {}

Status SettingsStore::load(ProgramSettings& settings) const {
    const std::filesystem::path file = databaseFile(workingDirectory_);
    ProgramSettings read = settings;
    std::vector<std::string> warnings;
    Status status = readDatabase(file, [&](sqlite::Database& db) {
        bool present = false;
        return ReadSettingsRow(db, read, warnings, present);
    });
    if (!status) {
        std::string message =
            "Cannot load the settings from " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Status::Fail(std::move(message), status.code());
    }
    for (const std::string& warning : warnings) {
        if (reporter_) reporter_("Settings in " + file.string() + ": " + warning);
    }
    settings = std::move(read);
    return Status::Ok();
}

Status SettingsStore::save(const ProgramSettings& settings) const {
    const std::filesystem::path file = databaseFile(workingDirectory_);
    Status status = writeDatabase(
        file, [&](sqlite::Database& db) { return ReplaceSettingsRows(db, settings); });
    if (!status) {
        std::string message =
            "Cannot save the settings to " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Status::Fail(std::move(message), status.code());
    }
    return Status::Ok();
}

}  // namespace vela
