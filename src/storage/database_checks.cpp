#include "storage/database_checks.h"

#include "common/ascii.h"
#include "common/terminal_text.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vela {

namespace {

struct ExpectedTable {
    const char* name;
    std::vector<const char*> columns;
};

const std::array<ExpectedTable, 2>& expectedTables() {
    static const std::array<ExpectedTable, 2> tables{
        ExpectedTable{"Settings", {"IP", "EPort", "LPort", "Timeout", "MPort"}},
        ExpectedTable{"Trackers",
                      {"Imei", "Phone", "Port", "APN", "Auth", "SMSuser", "SMSpass", "GPRSuser",
                       "GPRSpass", "Mode"}}};
    return tables;
}

Status checkTable(sqlite::Database& db, const ExpectedTable& expected) {
    Result<sqlite::Statement> kind =
        db.prepare("SELECT type FROM sqlite_master WHERE name = ?1 COLLATE NOCASE");
    if (!kind) return kind.status();
    if (Status bound = kind.value().bind(1, std::string_view(expected.name)); !bound) return bound;
    Result<bool> found = kind.value().step();
    if (!found) return found.status();
    if (!found.value()) return Status::Ok();
    const std::string type = kind.value().columnText(0);
    if (type != "table") {
        return Status::Fail(std::string(expected.name) + " is a " + type + ", not a table");
    }

    Result<sqlite::Statement> columns = db.prepare("SELECT name FROM pragma_table_info(?1)");
    if (!columns) return columns.status();
    if (Status bound = columns.value().bind(1, std::string_view(expected.name)); !bound) {
        return bound;
    }
    std::vector<std::string> present;
    for (;;) {
        Result<bool> row = columns.value().step();
        if (!row) return row.status();
        if (!row.value()) break;
        present.push_back(columns.value().columnText(0));
    }
    std::string missing;
    for (const char* column : expected.columns) {
        bool have = false;
        for (const std::string& name : present)
            have = have || EqualsIgnoringAsciiCase(name, column);
        if (!have) missing += std::string(missing.empty() ? "" : ", ") + column;
    }
    if (!missing.empty()) {
        return Status::Fail("the table " + std::string(expected.name) + " lacks the column(s) " +
                            missing);
    }
    return Status::Ok();
}

// How many of the planted objects a refusal names; the rest are counted.
constexpr std::size_t kNamedObjects = 5;

// This program creates tables and indexes only. A trigger runs on every save (it could
// copy the passwords elsewhere), a view or virtual table answers for a table with
// whatever its author chose: none of them is ever run.
Status checkNoPlantedCode(sqlite::Database& db) {
    Result<sqlite::Statement> planted = db.prepare(
        "SELECT CASE WHEN type = 'table' THEN 'virtual table' ELSE type END, name "
        "FROM sqlite_master WHERE type IN ('trigger', 'view') OR "
        "(type = 'table' AND sql LIKE 'CREATE VIRTUAL TABLE%') ORDER BY type, name");
    if (!planted) return planted.status();
    std::string named;
    std::size_t count = 0;
    for (;;) {
        Result<bool> row = planted.value().step();
        if (!row) return row.status();
        if (!row.value()) break;
        if (++count > kNamedObjects) continue;
        named += std::string(named.empty() ? "" : ", ") + planted.value().columnText(0) + " '" +
                 EscapeForTerminal(planted.value().columnText(1)) + "'";
    }
    if (count == 0) return Status::Ok();
    if (count > kNamedObjects) named += " and " + std::to_string(count - kNamedObjects) + " more";
    return Status::Fail("the database holds " + named +
                        ", which this program never creates and will not run (a trigger "
                        "would run on every save); remove them to use the database");
}

}  // namespace

Status CheckSchema(sqlite::Database& db) {
    for (const ExpectedTable& table : expectedTables()) {
        if (Status checked = checkTable(db, table); !checked) return checked;
    }
    return checkNoPlantedCode(db);
}

Status CheckRegularFile(const std::filesystem::path& file) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(file, ec);
    if (status.type() == std::filesystem::file_type::not_found) return Status::Ok();
    if (ec) return Status::Fail("cannot examine the file: " + ec.message());
    if (status.type() == std::filesystem::file_type::regular) return Status::Ok();
    const char* kind = "not a regular file";
    switch (status.type()) {
        case std::filesystem::file_type::directory:
            kind = "a directory";
            break;
        case std::filesystem::file_type::fifo:
            kind = "a FIFO";
            break;
        case std::filesystem::file_type::character:
        case std::filesystem::file_type::block:
            kind = "a device";
            break;
        case std::filesystem::file_type::socket:
            kind = "a socket";
            break;
        default:
            break;
    }
    return Status::Fail(std::string("it is ") + kind + ", not a database file");
}

Status CheckPrivateForWriting(const std::filesystem::path& file) {
#ifdef _WIN32
    (void)file;
    return Status::Ok();
#else
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        if (errno == ENOENT) return Status::Ok();
        return Status::Fail(std::string("cannot examine the file: ") + std::strerror(errno));
    }
    if (info.st_uid != ::geteuid()) {
        return Status::Fail("the file belongs to another user (uid " + std::to_string(info.st_uid) +
                            "); it would receive passwords, so it must be your own");
    }
    if ((info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return Status::Fail(std::string("permissions ") + mode +
                            " are too open: the file holds passwords, so only its owner may "
                            "read or write it (chmod 600 " +
                            file.string() + ")");
    }
    return Status::Ok();
#endif
}

Result<int64_t> CountRows(sqlite::Database& db, std::string_view table) {
    Result<sqlite::Statement> count =
        db.prepare("SELECT count(*) FROM \"" + std::string(table) + "\"");
    if (!count) return count.status();
    Result<bool> row = count.value().step();
    if (!row) return row.status();
    return count.value().columnInt(0);
}

Status CheckRowsKept(sqlite::Database& db, std::string_view table, int64_t expected) {
    Result<int64_t> rows = CountRows(db, table);
    if (!rows) return rows.status();
    if (rows.value() == expected) return Status::Ok();
    return Status::Fail("the table " + std::string(table) + " holds " +
                        std::to_string(rows.value()) + " rows after writing " +
                        std::to_string(expected) +
                        " (a trigger in the database changed them); nothing was saved");
}

}  // namespace vela
