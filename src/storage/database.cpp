#include "storage/database.h"

#include <sqlite3.h>

#include <climits>
#include <utility>

namespace vela::sqlite {

namespace {

std::string messageOf(sqlite3* db, int code) {
    if (db != nullptr) {
        const char* text = sqlite3_errmsg(db);
        if (text != nullptr && *text != '\0') return text;
    }
    return sqlite3_errstr(code);
}

// The kind of an SQLite failure: a lock held by another connection or a statement over
// its budget may pass; a damaged file or a read-only one will not.
StatusCode codeOf(int code) {
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_INTERRUPT:
        case SQLITE_IOERR:
        case SQLITE_CANTOPEN:
        case SQLITE_FULL:
            return StatusCode::Unavailable;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
        case SQLITE_CONSTRAINT:
            return StatusCode::Refused;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_SCHEMA:
        case SQLITE_MISMATCH:
        case SQLITE_TOOBIG:
        case SQLITE_RANGE:
            return StatusCode::Invalid;
        default:
            return StatusCode::Internal;
    }
}

// Called by SQLite every few thousand virtual machine steps; a non-zero answer stops
// the statement with SQLITE_INTERRUPT.
int stopWhenOverBudget(void* context) {
    auto* clock = static_cast<StatementClock*>(context);
    if (std::chrono::steady_clock::now() < clock->deadline) return 0;
    clock->expired = true;
    return 1;
}

constexpr int kProgressSteps = 4000;

// A database file may come from anyone: no double-quoted string fallback (a misnamed
// column would read as its own name), no untrusted functions in views and triggers, no
// direct writes to the schema, and a time budget per statement.
Status configureDefensively(sqlite3* handle, StatementClock* clock) {
    struct Option {
        int op;
        int value;
        const char* name;
    };
    for (const Option& option : {Option{SQLITE_DBCONFIG_DQS_DML, 0, "DQS_DML"},
                                 Option{SQLITE_DBCONFIG_DQS_DDL, 0, "DQS_DDL"},
                                 Option{SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, "TRUSTED_SCHEMA"},
                                 Option{SQLITE_DBCONFIG_DEFENSIVE, 1, "DEFENSIVE"}}) {
        int now = -1;
        if (sqlite3_db_config(handle, option.op, option.value, &now) != SQLITE_OK ||
            now != option.value) {
            return Status::Fail(std::string("this SQLite library cannot set ") + option.name);
        }
    }
    sqlite3_progress_handler(handle, kProgressSteps, stopWhenOverBudget, clock);
    return Status::Ok();
}

std::string overBudgetText(std::chrono::milliseconds budget) {
    return "a statement ran longer than " + std::to_string(budget.count() / 1000) +
           " s and was stopped (a view or trigger in the database may never end)";
}

}  // namespace

Result<Database> Database::open(const std::filesystem::path& file) {
    sqlite3* handle = nullptr;
    // SQLite takes file names in UTF-8 on every platform.
    const int code = sqlite3_open_v2(reinterpret_cast<const char*>(file.u8string().c_str()),
                                     &handle, SQLITE_OPEN_READWRITE, nullptr);
    if (code != SQLITE_OK) {
        std::string message = messageOf(handle, code);
        sqlite3_close_v2(handle);  // the handle exists even when opening failed
        return Result<Database>::Fail(message, codeOf(code));
    }
    sqlite3_extended_result_codes(handle, 1);
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    auto clock = std::make_unique<StatementClock>();
    if (Status configured = configureDefensively(handle, clock.get()); !configured) {
        sqlite3_close_v2(handle);
        return configured;
    }
    return Database(handle, std::move(clock));
}

Database::Database(Database&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), clock_(std::move(other.clock_)) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        sqlite3_close_v2(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
        clock_ = std::move(other.clock_);
    }
    return *this;
}

Database::~Database() {
    sqlite3_close_v2(handle_);
}

Result<Statement> Database::prepare(std::string_view sql) {
    if (sql.size() > static_cast<size_t>(INT_MAX))
        return Result<Statement>::Fail("statement too long");
    sqlite3_stmt* handle = nullptr;
    const int code =
        sqlite3_prepare_v2(handle_, sql.data(), static_cast<int>(sql.size()), &handle, nullptr);
    if (code != SQLITE_OK) {
        sqlite3_finalize(handle);
        return Result<Statement>::Fail(messageOf(handle_, code), codeOf(code));
    }
    if (handle == nullptr) return Result<Statement>::Fail("empty statement");
    return Statement(handle_, handle, clock_.get());
}

Status Database::execute(std::string_view sql) {
    Result<Statement> statement = prepare(sql);
    if (!statement) return statement.status();
    Result<bool> stepped = statement.value().step();
    return stepped.status();
}

std::string Database::lastError() const {
    return messageOf(handle_, sqlite3_errcode(handle_));
}

Statement::Statement(Statement&& other) noexcept
    : db_(other.db_), handle_(std::exchange(other.handle_, nullptr)), clock_(other.clock_) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(handle_);
        db_ = other.db_;
        handle_ = std::exchange(other.handle_, nullptr);
        clock_ = other.clock_;
    }
    return *this;
}

Statement::~Statement() {
    sqlite3_finalize(handle_);
}

Status Statement::failure() const {
    return Status::Fail(messageOf(db_, sqlite3_errcode(db_)), codeOf(sqlite3_errcode(db_)));
}

Status Statement::bind(int index, int64_t value) {
    if (sqlite3_bind_int64(handle_, index, value) != SQLITE_OK) return failure();
    return Status::Ok();
}

Status Statement::bind(int index, std::string_view text) {
    // SQLITE_TRANSIENT: SQLite takes its own copy, so the caller's text may go.
    if (sqlite3_bind_text64(handle_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8) != SQLITE_OK) {
        return failure();
    }
    return Status::Ok();
}

Result<bool> Statement::step() {
    if (clock_ != nullptr) {
        clock_->deadline = std::chrono::steady_clock::now() + clock_->budget;
        clock_->expired = false;
    }
    const int code = sqlite3_step(handle_);
    if (code == SQLITE_ROW) return true;
    if (code == SQLITE_DONE) return false;
    if (code == SQLITE_INTERRUPT && clock_ != nullptr && clock_->expired) {
        return Status::Unavailable(overBudgetText(clock_->budget));
    }
    return Status::Fail(messageOf(db_, code), codeOf(code));
}

Status Statement::reset() {
    sqlite3_reset(handle_);  // reports the previous step's error, already handled there
    if (sqlite3_clear_bindings(handle_) != SQLITE_OK) return failure();
    return Status::Ok();
}

int64_t Statement::columnInt(int column) const {
    return sqlite3_column_int64(handle_, column);
}

std::string Statement::columnText(int column) const {
    const unsigned char* text = sqlite3_column_text(handle_, column);
    const int size = sqlite3_column_bytes(handle_, column);
    if (text == nullptr || size <= 0) return {};
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
}

Result<Transaction> Transaction::begin(Database& db) {
    Status begun = db.execute("BEGIN IMMEDIATE");
    if (!begun) return begun;
    return Transaction(db);
}

Transaction::Transaction(Transaction&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Transaction::~Transaction() {
    // A failed step may already have ended the transaction; ROLLBACK then fails
    // harmlessly.
    if (db_ != nullptr) (void)db_->execute("ROLLBACK");
}

Status Transaction::commit() {
    Status committed = db_->execute("COMMIT");
    if (committed) db_ = nullptr;
    return committed;
}

}  // namespace vela::sqlite
