#include "storage/database_file.h"

#include "storage/database_checks.h"
#include "storage/storage_errors.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <fstream>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vela {

namespace fs = std::filesystem;

namespace {

enum class Created { no, yes };

// An empty file is a valid empty SQLite database. Creating it ourselves, exclusively
// and owner-only, means it never exists with wider permissions, not even for a moment;
// SQLite gives its journal the same permissions.
Result<Created> createEmptyFile(const fs::path& file) {
#ifdef _WIN32
    std::ofstream out(file, std::ios::binary);
    if (!out) return Result<Created>::Fail("cannot create the file");
    return Created::yes;
#else
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return Created::no;  // made by someone else meanwhile
        return Result<Created>::Fail(std::strerror(errno));
    }
    (void)::fchmod(fd, 0600);  // whatever the umask left
    ::close(fd);
    return Created::yes;
#endif
}

Result<bool> hasAnyTable(sqlite::Database& db) {
    Result<sqlite::Statement> query =
        db.prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table'");
    if (!query) return query.status();
    Result<bool> row = query.value().step();
    if (!row) return row.status();
    return row.value() && query.value().columnInt(0) > 0;
}

Status createTables(sqlite::Database& db) {
    if (Status made = db.execute(kCreateSettingsTable); !made) return made;
    return db.execute(kCreateTrackersTable);
}

Status writeInTransaction(const fs::path& file, bool createSchemaIfEmpty,
                          const std::function<Status(sqlite::Database&)>& write) {
    Result<sqlite::Database> db = sqlite::Database::open(file);
    if (!db) return db.status();
    Result<sqlite::Transaction> transaction = sqlite::Transaction::begin(db.value());
    if (!transaction) return transaction.status();
    if (createSchemaIfEmpty) {
        Result<bool> hasTables = hasAnyTable(db.value());
        if (!hasTables) return hasTables.status();
        if (!hasTables.value()) {
            if (Status made = createTables(db.value()); !made) return made;
        }
    }
    if (Status shaped = CheckSchema(db.value()); !shaped) return shaped;
    if (write) {
        if (Status written = write(db.value()); !written) return written;
    }
    return transaction.value().commit();
}

// Before passwords go in: checked after the creation, so that a file someone else made
// in the meantime (in a shared folder) is examined too.
Status checkWritable(const fs::path& file) {
    if (Status regular = CheckRegularFile(file); !regular) return regular;
    return CheckPrivateForWriting(file);
}

}  // namespace

fs::path databaseFile(const fs::path& workingDirectory) {
    return workingDirectory / kDatabaseFileName;
}

Status readDatabase(const fs::path& file, const std::function<Status(sqlite::Database&)>& read) {
    std::error_code ec;
    if (!fs::exists(file, ec) && !ec) {  // a folder we may not look into: SQLite says why
        return Status::Fail("the database does not exist; it will be created on the first save");
    }
    if (Status regular = CheckRegularFile(file); !regular) return regular;
    Result<sqlite::Database> db = sqlite::Database::open(file);
    if (!db) return db.status();
    if (Status shaped = CheckSchema(db.value()); !shaped) return shaped;
    return read(db.value());
}

Status writeDatabase(const fs::path& file, const std::function<Status(sqlite::Database&)>& write) {
    Created created = Created::no;
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        // A journal without its database is an orphan: played back into the new file it
        // would bring back pages of a database that is gone.
        fs::remove(fs::path(file.string() + "-journal"), ec);
        Result<Created> made = createEmptyFile(file);
        if (!made) return made.status();
        created = made.value();
    }
    if (Status writable = checkWritable(file); !writable) return writable;
    Status written = writeInTransaction(file, true, write);
    if (!written && created == Created::yes) {
        // Nothing was committed into the file we made: leave no empty database behind.
        fs::remove(file, ec);
    }
    return written;
}

Status createDatabase(const fs::path& file, bool replace) {
    std::error_code ec;
    if (fs::exists(file, ec) || fs::is_symlink(file, ec)) {
        if (!replace) return Status::Fail(file.string() + " already exists");
        for (const char* suffix : {"-journal", "-wal", "-shm"}) {
            fs::remove(fs::path(file.string() + suffix), ec);
        }
        if (!fs::remove(file, ec) && ec) {
            return Status::Fail("cannot remove " + file.string() + ": " + ec.message());
        }
    }
    Result<Created> made = createEmptyFile(file);
    if (!made) return Status::Fail("cannot create " + file.string() + ": " + made.message());
    if (made.value() == Created::no) return Status::Fail(file.string() + " already exists");
    Status written =
        writeInTransaction(file, false, [](sqlite::Database& db) { return createTables(db); });
    if (!written) {
        fs::remove(file, ec);
        return Status::Fail("cannot create " + file.string() + ": " + written.message());
    }
    return Status::Ok();
}

}  // namespace vela
