#pragma once

#include "common/result.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace vela::sqlite {

// The password of the original connection text. Kept for reference only: SQLite does
// not encrypt, and a key compiled into the program would protect nothing.
inline constexpr const char* kOriginalDatabasePassword = "3918264";

// How long a connection waits for another one's write lock before giving up.
inline constexpr int kBusyTimeoutMs = 5000;

// How long one statement may run. A database file is input like any other: a view or
// trigger planted in it must not hang the window.
inline constexpr std::chrono::milliseconds kStatementBudget{5000};

class Statement;

// The deadline of the statement that is running on a connection; shared by the
// connection's progress handler and its statements.
struct StatementClock {
    std::chrono::milliseconds budget = kStatementBudget;
    std::chrono::steady_clock::time_point deadline;
    bool expired = false;
};

// One connection, closed when the object goes.
class Database {
public:
    // Opens an existing database file for reading and writing; never creates one. The
    // connection is defensive: double-quoted texts are identifiers only, functions and
    // virtual tables in the schema are not trusted, the schema cannot be written
    // directly, and every statement runs within kStatementBudget.
    static Result<Database> open(const std::filesystem::path& file);

    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database();

    Result<Statement> prepare(std::string_view sql);
    // Runs one statement that returns no rows.
    Status execute(std::string_view sql);
    std::string lastError() const;

    // A longer budget for the statements that read the whole file (integrity check).
    void setStatementBudget(std::chrono::milliseconds budget) { clock_->budget = budget; }

    // SQLite's own handle, for the few calls without a wrapper here (backup).
    sqlite3* handle() const { return handle_; }

private:
    Database(sqlite3* handle, std::unique_ptr<StatementClock> clock)
        : handle_(handle), clock_(std::move(clock)) {}
    sqlite3* handle_ = nullptr;
    std::unique_ptr<StatementClock> clock_;
};

// One prepared statement; parameters are bound, never spliced into the text.
class Statement {
public:
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    // Parameters count from 1.
    Status bind(int index, int64_t value);
    Status bind(int index, std::string_view text);
    // True when a row is ready, false when the statement is done.
    Result<bool> step();
    // Ready to run again with new bindings.
    Status reset();

    // Columns count from 0. NULL reads as 0 and as an empty text.
    int64_t columnInt(int column) const;
    std::string columnText(int column) const;

private:
    friend class Database;
    Statement(sqlite3* db, sqlite3_stmt* handle, StatementClock* clock)
        : db_(db), handle_(handle), clock_(clock) {}
    Status failure() const;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* handle_ = nullptr;
    StatementClock* clock_ = nullptr;
};

// BEGIN IMMEDIATE on creation; ROLLBACK when it goes without a COMMIT.
class Transaction {
public:
    static Result<Transaction> begin(Database& db);

    Transaction(Transaction&& other) noexcept;
    Transaction& operator=(Transaction&&) = delete;
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();

    Status commit();

private:
    explicit Transaction(Database& db) : db_(&db) {}
    Database* db_ = nullptr;  // null once committed or rolled back
};

}  // namespace vela::sqlite
