#include "storage/settings_store.h"

#include "storage/columns.h"
#include "storage/database_checks.h"
#include "storage/database_file.h"
#include "storage/schema.h"
#include "storage/stored_values.h"
#include "storage/table_rows.h"

#include <system_error>
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

constexpr const char* kHasOptionsTable =
    "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'Options'";
constexpr const char* kSelectOptions = "SELECT \"Name\", \"Value\" FROM \"Options\"";
constexpr const char* kWriteOption =
    "INSERT OR REPLACE INTO \"Options\" (\"Name\", \"Value\") VALUES (?1, ?2)";

}  // namespace

Status ReadOptionRows(sqlite::Database& db, StationOptions& options) {
    Result<sqlite::Statement> present = db.prepare(kHasOptionsTable);
    if (!present) return present.status();
    if (Result<bool> row = present.value().step(); !row) return row.status();
    if (present.value().columnInt(0) == 0) return Status::Ok();
    Result<sqlite::Statement> query = db.prepare(kSelectOptions);
    if (!query) return query.status();
    for (;;) {
        Result<bool> row = query.value().step();
        if (!row) return row.status();
        if (!row.value()) return Status::Ok();
        if (Status applied = ApplyOptionRow(query.value().columnText(0),
                                            query.value().columnText(1), options);
            !applied) {
            return applied;
        }
    }
}

Status WriteOptionRows(sqlite::Database& db, const StationOptions& options) {
    if (Status migrated = MigrateSchema(db); !migrated) return migrated;
    Result<sqlite::Statement> insert = db.prepare(kWriteOption);
    if (!insert) return insert.status();
    for (const auto& [name, value] : OptionRows(options)) {
        sqlite::Statement& row = insert.value();
        if (Status reset = row.reset(); !reset) return reset;
        for (Status bound : {row.bind(1, std::string_view(name)), row.bind(2, std::string_view(value))}) {
            if (!bound) return bound;
        }
        if (Status written = row.step().status(); !written) return written;
    }
    // Read back: a trigger planted to change what is written would otherwise go unseen.
    StationOptions stored;
    if (Status read = ReadOptionRows(db, stored); !read) return read;
    if (stored != options) return Status::Fail("the Options table does not keep what was written");
    return Status::Ok();
}

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

Status SettingsStore::loadOptions(StationOptions& options) const {
    const std::filesystem::path file = databaseFile(workingDirectory_);
    StationOptions read;
    std::error_code missing;
    if (!std::filesystem::exists(file, missing) && !missing) {
        options = read;
        return Status::Ok();
    }
    Status status = readDatabase(file, [&](sqlite::Database& db) { return ReadOptionRows(db, read); });
    if (!status) {
        std::string message =
            "Cannot load the options from " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Status::Fail(std::move(message), status.code());
    }
    options = std::move(read);
    return Status::Ok();
}

Status SettingsStore::saveOptions(const StationOptions& options) const {
    const std::filesystem::path file = databaseFile(workingDirectory_);
    Status status =
        writeDatabase(file, [&](sqlite::Database& db) { return WriteOptionRows(db, options); });
    if (!status) {
        std::string message = "Cannot save the options to " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Status::Fail(std::move(message), status.code());
    }
    return Status::Ok();
}

}  // namespace vela
