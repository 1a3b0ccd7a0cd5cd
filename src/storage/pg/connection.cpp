#include "storage/pg/connection.h"

#include <libpq-fe.h>

#include <charconv>
#include <utility>

namespace vela::pg {

namespace {

// The library's messages end with a newline and continue on tab-indented lines; one
// line reads better in a message box and a log.
std::string oneLine(const char* message) {
    std::string line;
    bool pendingSpace = false;
    for (const char* c = message ? message : ""; *c != '\0'; ++c) {
        if (*c == '\n' || *c == '\t' || *c == '\r') {
            pendingSpace = !line.empty();
            continue;
        }
        if (pendingSpace) line += ' ';
        pendingSpace = false;
        line += *c;
    }
    return line;
}

std::string failureOf(const pg_result* result, pg_conn* connection) {
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (primary == nullptr) {
        std::string message = oneLine(PQerrorMessage(connection));
        return message.empty() ? "the server sent no answer" : message;
    }
    std::string message = oneLine(primary);
    if (const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) {
        message += " (" + oneLine(detail) + ")";
    }
    return message;
}

// The kind of a failure from its SQLSTATE: a lost or refused connection, a server
// shutting down, a serialization failure or a deadlock may pass; a constraint or a
// permission refuses; bad data is invalid.
StatusCode codeOf(std::string_view sqlState, bool broken) {
    if (broken) return StatusCode::Unavailable;
    auto startsWith = [&](std::string_view prefix) {
        return sqlState.substr(0, prefix.size()) == prefix;
    };
    if (startsWith("08") || startsWith("57P") || startsWith("53") || sqlState == "40001" ||
        sqlState == "40P01" || sqlState == "55P03" || sqlState == "57014") {
        return StatusCode::Unavailable;
    }
    if (startsWith("23") || sqlState == "42501" || startsWith("28")) return StatusCode::Refused;
    if (startsWith("22")) return StatusCode::Invalid;
    return StatusCode::Internal;
}

}  // namespace

QueryResult::QueryResult(QueryResult&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

QueryResult& QueryResult::operator=(QueryResult&& other) noexcept {
    if (this != &other) {
        if (handle_) PQclear(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

QueryResult::~QueryResult() {
    if (handle_) PQclear(handle_);
}

int QueryResult::rows() const {
    return PQntuples(handle_);
}

int QueryResult::columns() const {
    return PQnfields(handle_);
}

bool QueryResult::isNull(int row, int column) const {
    return PQgetisnull(handle_, row, column) != 0;
}

std::string QueryResult::text(int row, int column) const {
    if (isNull(row, column)) return {};
    return std::string(PQgetvalue(handle_, row, column),
                       static_cast<size_t>(PQgetlength(handle_, row, column)));
}

Result<int64_t> QueryResult::integer(int row, int column) const {
    if (isNull(row, column)) return int64_t{0};
    const std::string value = text(row, column);
    int64_t number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size()) {
        return Result<int64_t>::Fail("the column " + std::string(PQfname(handle_, column)) +
                                     " holds '" + value + "', which is not a whole number");
    }
    return number;
}

int64_t QueryResult::affectedRows() const {
    const std::string count = PQcmdTuples(handle_);
    int64_t number = 0;
    std::from_chars(count.data(), count.data() + count.size(), number);
    return number;
}

std::string QueryResult::commandTag() const {
    return PQcmdStatus(handle_);
}

Result<Connection> Connection::open(const std::string& url) {
    // The URL comes last so that what it says wins over these defaults.
    const std::string timeout = std::to_string(kConnectTimeoutSeconds);
    const char* const keywords[] = {"connect_timeout", "client_encoding", "application_name",
                                    "dbname", nullptr};
    const char* const values[] = {timeout.c_str(), "UTF8", "vela", url.c_str(), nullptr};
    Connection connection(PQconnectdbParams(keywords, values, 1));
    if (connection.handle_ == nullptr) {
        return Result<Connection>::Fail("out of memory while connecting to " + RedactUrl(url));
    }
    if (PQstatus(connection.handle_) != CONNECTION_OK) {
        return Result<Connection>::Fail(oneLine(PQerrorMessage(connection.handle_)),
                                        StatusCode::Unavailable);
    }
    // Our texts are UTF-8 whatever the URL asked for.
    if (PQsetClientEncoding(connection.handle_, "UTF8") != 0) {
        return Result<Connection>::Fail(oneLine(PQerrorMessage(connection.handle_)));
    }
    const std::string budget = std::to_string(kStatementBudget.count());
    Result<QueryResult> set =
        connection.execute("SELECT set_config('statement_timeout', $1, false)", {budget});
    if (!set) return set.status();
    return connection;
}

Connection::Connection(Connection&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      lastSqlState_(std::move(other.lastSqlState_)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        if (handle_) PQfinish(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
        lastSqlState_ = std::move(other.lastSqlState_);
    }
    return *this;
}

Connection::~Connection() {
    if (handle_) PQfinish(handle_);
}

bool Connection::isBroken() const {
    return handle_ == nullptr || PQstatus(handle_) != CONNECTION_OK;
}

Result<QueryResult> Connection::execute(std::string_view sql,
                                        const std::vector<Parameter>& parameters) {
    lastSqlState_.clear();
    std::vector<const char*> values;
    values.reserve(parameters.size());
    for (const Parameter& parameter : parameters) {
        const std::optional<std::string>& text = parameter.text();
        // The library sends C strings: a NUL byte would silently cut the text short.
        if (text && text->find('\0') != std::string::npos) {
            return Result<QueryResult>::Fail(
                "a text holds a NUL byte, which a PostgreSQL text cannot store");
        }
        values.push_back(text ? text->c_str() : nullptr);
    }
    const std::string statement(sql);
    QueryResult result(PQexecParams(handle_, statement.c_str(), static_cast<int>(values.size()),
                                    nullptr, values.data(), nullptr, nullptr, 0));
    const ExecStatusType status =
        result.handle_ ? PQresultStatus(result.handle_) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
    if (result.handle_) {
        const char* state = PQresultErrorField(result.handle_, PG_DIAG_SQLSTATE);
        lastSqlState_ = state ? state : "";
    }
    return Result<QueryResult>::Fail(failureOf(result.handle_, handle_),
                                     codeOf(lastSqlState_, isBroken()));
}

Result<Transaction> Transaction::begin(Connection& connection, Isolation isolation) {
    const char* sql =
        isolation == Isolation::kSerializable ? "BEGIN ISOLATION LEVEL SERIALIZABLE" : "BEGIN";
    if (Result<QueryResult> begun = connection.execute(sql); !begun) return begun.status();
    return Transaction(connection);
}

Transaction::Transaction(Transaction&& other) noexcept
    : connection_(std::exchange(other.connection_, nullptr)) {}

Transaction::~Transaction() {
    if (connection_ && !connection_->isBroken()) {
        // Nothing to report: a failed rollback ends the transaction all the same.
        (void)connection_->execute("ROLLBACK");
    }
}

Status Transaction::commit() {
    Connection* connection = std::exchange(connection_, nullptr);
    if (connection == nullptr) return Status::Fail("the transaction has already ended");
    Result<QueryResult> committed = connection->execute("COMMIT");
    if (!committed) return committed.status();
    // COMMIT of a transaction that failed earlier answers ROLLBACK without an error.
    if (committed.value().commandTag() != "COMMIT") {
        return Status::Fail("the transaction was rolled back");
    }
    return Status::Ok();
}

std::string RedactUrl(std::string_view url) {
    std::string shown(url);
    const size_t scheme = shown.find("://");
    if (scheme != std::string::npos) {
        const size_t start = scheme + 3;
        const size_t end = shown.find_first_of("/?#", start);
        const size_t at = shown.rfind('@', end == std::string::npos ? std::string::npos : end);
        if (at != std::string::npos && at >= start) {
            const size_t colon = shown.find(':', start);
            if (colon != std::string::npos && colon < at) {
                shown.replace(colon + 1, at - colon - 1, "***");
            }
        }
    }
    // A password may also be given as a query parameter.
    for (size_t key = shown.find("password="); key != std::string::npos;
         key = shown.find("password=", key + 1)) {
        if (key > 0 && shown[key - 1] != '?' && shown[key - 1] != '&') continue;
        const size_t value = key + 9;
        const size_t end = shown.find('&', value);
        shown.replace(value, (end == std::string::npos ? shown.size() : end) - value, "***");
    }
    return shown;
}

bool IsPostgresUrl(std::string_view text) {
    return text.starts_with("postgresql://") || text.starts_with("postgres://");
}

}  // namespace vela::pg
