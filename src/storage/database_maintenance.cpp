#include "storage/database_maintenance.h"

#include "common/file_access.h"
#include "storage/database.h"
#include "storage/database_checks.h"

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <system_error>

namespace vela {

namespace fs = std::filesystem;

namespace {

// The integrity check reads every page; a large file may take a while.
constexpr std::chrono::milliseconds kCheckBudget{120'000};

struct BackupCloser {
    void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};

Status copyPages(sqlite::Database& from, sqlite::Database& to) {
    std::unique_ptr<sqlite3_backup, BackupCloser> backup(
        sqlite3_backup_init(to.handle(), "main", from.handle(), "main"));
    if (!backup) return Status::Fail(to.lastError());
    // All pages in one step: the source is read-locked for the copy, so it is consistent.
    const int stepped = sqlite3_backup_step(backup.get(), -1);
    const int finished = sqlite3_backup_finish(backup.release());
    if (stepped != SQLITE_DONE) return Status::Fail(sqlite3_errstr(stepped));
    if (finished != SQLITE_OK) return Status::Fail(to.lastError());
    return Status::Ok();
}

}  // namespace

Status BackupDatabase(const fs::path& source, const fs::path& target) {
    std::error_code ec;
    if (!fs::exists(source, ec)) return Status::Fail(source.string() + " does not exist");
    if (fs::equivalent(source, target, ec)) {
        return Status::Fail("the backup cannot replace the database itself");
    }
    Result<sqlite::Database> from = sqlite::Database::open(source);
    if (!from) return Status::Fail("cannot open " + source.string() + ": " + from.message());
    {
        // An empty file is an empty database: SQLite keeps the permissions we gave it.
        Result<FileHandle> created = CreatePrivateFile(target);
        if (!created) return created.status();
        if (Status closed = created.value().close(); !closed) {
            return Status::Fail("cannot write " + target.string() + ": " + closed.message());
        }
    }
    fs::remove(fs::path(target.string() + "-journal"), ec);  // never played into the copy
    Result<sqlite::Database> to = sqlite::Database::open(target);
    Status copied = to ? copyPages(from.value(), to.value()) : to.status();
    if (!copied) {
        fs::remove(target, ec);
        return Status::Fail("cannot back up to " + target.string() + ": " + copied.message());
    }
    return Status::Ok();
}

Result<std::vector<std::string>> CheckDatabase(const fs::path& file) {
    std::error_code ec;
    if (!fs::exists(file, ec))
        return Result<std::vector<std::string>>::Fail(file.string() + " does not exist");
    Result<sqlite::Database> db = sqlite::Database::open(file);
    if (!db) return db.status();
    db.value().setStatementBudget(kCheckBudget);
    Result<sqlite::Statement> check = db.value().prepare("PRAGMA integrity_check");
    if (!check) return check.status();
    std::vector<std::string> problems;
    for (;;) {
        Result<bool> row = check.value().step();
        if (!row) return row.status();
        if (!row.value()) break;
        std::string line = check.value().columnText(0);
        if (line != "ok") problems.push_back(std::move(line));
    }
    if (Status shaped = CheckSchema(db.value()); !shaped) problems.push_back(shaped.message());
    return problems;
}

}  // namespace vela
