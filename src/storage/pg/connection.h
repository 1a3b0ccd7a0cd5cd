#pragma once

#include "common/result.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

namespace vela::pg {

// How long opening a connection may take before it is given up (seconds); a URL may
// ask for another value with connect_timeout.
inline constexpr int kConnectTimeoutSeconds = 10;

// How long one statement may run on the server.
inline constexpr std::chrono::milliseconds kStatementBudget{15000};

// One value handed to the server beside the statement text, never spliced into it.
// Sent as text; the server converts it to the column's type.
class Parameter {
public:
    Parameter(int32_t value) : text_(std::to_string(value)) {}  // NOLINT: implicit by design
    Parameter(int64_t value) : text_(std::to_string(value)) {}  // NOLINT: implicit by design
    Parameter(std::string_view text) : text_(text) {}           // NOLINT: implicit by design
    Parameter(const char* text) : text_(text) {}                // NOLINT: implicit by design
    Parameter(const std::string& text) : text_(text) {}         // NOLINT: implicit by design
    static Parameter null() { return Parameter(); }

    const std::optional<std::string>& text() const { return text_; }

private:
    Parameter() = default;
    std::optional<std::string> text_;
};

// The rows a statement returned, released when the object goes.
class QueryResult {
public:
    QueryResult(QueryResult&& other) noexcept;
    QueryResult& operator=(QueryResult&& other) noexcept;
    QueryResult(const QueryResult&) = delete;
    QueryResult& operator=(const QueryResult&) = delete;
    ~QueryResult();

    int rows() const;
    int columns() const;
    bool isNull(int row, int column) const;
    // NULL reads as an empty text.
    std::string text(int row, int column) const;
    // The column as a whole number; NULL reads as 0. Fails on a value that is not one.
    Result<int64_t> integer(int row, int column) const;
    // Rows inserted, updated or deleted.
    int64_t affectedRows() const;
    // The command's tag: "INSERT 0 1", "COMMIT", "ROLLBACK", ...
    std::string commandTag() const;

private:
    friend class Connection;
    explicit QueryResult(pg_result* handle) : handle_(handle) {}
    pg_result* handle_ = nullptr;
};

// One connection to a PostgreSQL server, closed when the object goes. Every failure
// carries the server's (or the client library's) own message.
class Connection {
public:
    // Connects to `url` (postgresql://user@host:port/database?...). Texts travel as
    // UTF-8 and every statement runs within kStatementBudget.
    static Result<Connection> open(const std::string& url);

    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // Runs one statement with its parameters ($1, $2, ... in the text).
    Result<QueryResult> execute(std::string_view sql,
                                const std::vector<Parameter>& parameters = {});

    // The SQLSTATE of the last failed statement ("40001" for a serialization failure),
    // empty when there is none.
    const std::string& lastSqlState() const { return lastSqlState_; }
    bool isBroken() const;

private:
    explicit Connection(pg_conn* handle) : handle_(handle) {}
    pg_conn* handle_ = nullptr;
    std::string lastSqlState_;
};

// How strictly a transaction is isolated from the others running at the same time.
enum class Isolation { kReadCommitted, kSerializable };

// BEGIN on creation; ROLLBACK when it goes without a COMMIT.
class Transaction {
public:
    static Result<Transaction> begin(Connection& connection,
                                     Isolation isolation = Isolation::kReadCommitted);

    Transaction(Transaction&& other) noexcept;
    Transaction& operator=(Transaction&&) = delete;
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();

    Status commit();

private:
    explicit Transaction(Connection& connection) : connection_(&connection) {}
    Connection* connection_ = nullptr;  // null once committed or rolled back
};

// The URL as it may be shown to an operator, rebuilt from what libpq's own parser reads
// in it (so every form libpq accepts is covered): the password, in the authority or as
// a parameter in any encoding, is "***". A text libpq cannot read, or one whose password
// it misreads as host, port or database (an unencoded '@' or '/'), shows only its scheme
// and "***".
std::string RedactUrl(std::string_view url);

// True when libpq would read a password in `text` (in the authority or as a parameter,
// in any encoding), or cannot read `text` safely at all. What an operator typed is
// judged, never its redacted form: a database named "***" holds no password.
bool HoldsPassword(std::string_view text);

// True for the URLs this program hands to PostgreSQL (postgresql:// or postgres://).
bool IsPostgresUrl(std::string_view text);

}  // namespace vela::pg
