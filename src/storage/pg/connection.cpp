#include "storage/pg/connection.h"

#include "common/terminal_text.h"

#include <libpq-fe.h>

#include <charconv>
#include <cstdio>
#include <memory>
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

// The server's notices and warnings are its own texts (a function or trigger on the
// server chooses them): the library would print them raw; they go out as one escaped,
// bounded line.
void showNotice(void*, const char* message) {
    const std::string line = "PostgreSQL: " + EscapeForTerminal(oneLine(message));
    std::fprintf(stderr, "%s\n", line.c_str());
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

namespace {
std::string withoutMisreadParts(std::string message, std::string_view url);
}  // namespace

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
    PQsetNoticeProcessor(connection.handle_, showNotice, nullptr);
    if (PQstatus(connection.handle_) != CONNECTION_OK) {
        return Result<Connection>::Fail(
            withoutMisreadParts(oneLine(PQerrorMessage(connection.handle_)), url),
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

namespace {

struct OptionsCloser {
    void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};
using ParsedOptions = std::unique_ptr<PQconninfoOption, OptionsCloser>;

// The text's options as libpq itself reads them (nullptr when it cannot).
ParsedOptions parseConnectionText(std::string_view text) {
    // libpq reads a C string: a NUL byte ends the text for it as well.
    const std::string terminated(text.substr(0, text.find('\0')));
    char* error = nullptr;
    ParsedOptions options(PQconninfoParse(terminated.c_str(), &error));
    if (error != nullptr) PQfreemem(error);
    return options;
}

const char* valueOf(const PQconninfoOption* options, std::string_view keyword) {
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (keyword == option->keyword) return option->val;
    }
    return nullptr;
}

// "postgresql://" or "postgres://" as the text has it; empty for other texts.
std::string_view schemeOf(std::string_view text) {
    for (std::string_view scheme : {"postgresql://", "postgres://"}) {
        if (text.starts_with(scheme)) return scheme;
    }
    return {};
}

std::string percentEncoded(std::string_view text, std::string_view alsoKept = {}) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                          alsoKept.find(c) != std::string_view::npos;
        if (kept) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

// A value of the key=value form: as it is when plain, else quoted the way libpq reads it.
std::string keywordValue(std::string_view value) {
    if (!value.empty() && value.find_first_of(" \t\n\r\v\f'\\=") == std::string_view::npos) {
        return std::string(value);
    }
    std::string quoted = "'";
    for (const char c : value) {
        if (c == '\'' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "'";
}

std::vector<std::string_view> splitAtCommas(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t comma = text.find(',');
        parts.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) return parts;
        text.remove_prefix(comma + 1);
    }
}

// A password that holds an unencoded '@' or '/' is not read as a password at all: its
// pieces land in the host, port or database name. Such a text is never shown.
bool authorityMisread(const PQconninfoOption* options) {
    for (std::string_view keyword : {"user", "host", "port", "dbname"}) {
        const char* value = valueOf(options, keyword);
        if (value != nullptr && std::string_view(value).find('@') != std::string_view::npos) {
            return true;
        }
    }
    const char* port = valueOf(options, "port");
    return port != nullptr &&
           std::string_view(port).find_first_not_of("0123456789,") != std::string_view::npos;
}

// The URL rebuilt from what libpq read: user, hosts and ports, database, then every other
// option as a parameter; the password, wherever it was given, is "***".
std::string rebuiltUrl(std::string_view scheme, const PQconninfoOption* options) {
    const char* user = valueOf(options, "user");
    const char* password = valueOf(options, "password");
    const char* host = valueOf(options, "host");
    const char* port = valueOf(options, "port");
    const char* dbname = valueOf(options, "dbname");
    std::string shown(scheme);
    if (user != nullptr || password != nullptr) {
        if (user != nullptr) shown += percentEncoded(user);
        if (password != nullptr) shown += ":***";
        shown += '@';
    }
    // Hosts and ports stand in the authority when it can say exactly what libpq read:
    // one name or address; several hosts, a socket directory, or an empty or odd host go
    // with the parameters instead.
    const std::vector<std::string_view> hosts =
        host != nullptr ? splitAtCommas(host) : std::vector<std::string_view>{};
    const std::vector<std::string_view> ports =
        port != nullptr ? splitAtCommas(port) : std::vector<std::string_view>{};
    bool hostInAuthority = hosts.size() == 1 && ports.size() <= 1;
    for (std::string_view name : hosts) {
        const bool ipv6 = name.find(':') != std::string_view::npos;
        hostInAuthority =
            hostInAuthority && !name.empty() &&
            name.find_first_not_of(ipv6 ? "0123456789abcdefABCDEF:."
                                        : "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789-._") == std::string_view::npos;
    }
    if (hostInAuthority) {
        for (size_t i = 0; i < hosts.size(); ++i) {
            if (i > 0) shown += ',';
            const bool ipv6 = hosts[i].find(':') != std::string_view::npos;
            shown += ipv6 ? "[" + std::string(hosts[i]) + "]" : std::string(hosts[i]);
            if (!ports.empty() && !ports[i].empty()) shown += ":" + std::string(ports[i]);
        }
    }
    if (dbname != nullptr) shown += "/" + percentEncoded(dbname);
    char separator = '?';
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        const std::string_view keyword = option->keyword;
        if (option->val == nullptr || keyword == "user" || keyword == "password" ||
            keyword == "dbname" || (hostInAuthority && (keyword == "host" || keyword == "port"))) {
            continue;
        }
        shown += separator + std::string(keyword) + "=" + percentEncoded(option->val);
        separator = '&';
    }
    return shown;
}

// libpq's own failure quotes the host, port, user or database it read; when those hold
// pieces of a misread password, they are hidden as the URL is.
std::string withoutMisreadParts(std::string message, std::string_view url) {
    const ParsedOptions options = parseConnectionText(url);
    if (!options || schemeOf(url).empty() || !authorityMisread(options.get())) return message;
    for (std::string_view keyword : {"user", "host", "port", "dbname"}) {
        const char* value = valueOf(options.get(), keyword);
        if (value == nullptr || *value == '\0') continue;
        const std::string quoted = "\"" + std::string(value) + "\"";
        for (size_t at = message.find(quoted); at != std::string::npos;
             at = message.find(quoted, at + 5)) {
            message.replace(at, quoted.size(), "\"***\"");
        }
    }
    return message;
}

}  // namespace

std::string RedactUrl(std::string_view url) {
    const std::string_view scheme = schemeOf(url);
    const ParsedOptions options = parseConnectionText(url);
    if (!options && url.find('=') == std::string_view::npos &&
        url.find("://") == std::string_view::npos) {
        return std::string(url);  // a file name or a word: no password can be in it
    }
    if (!options || (!scheme.empty() && authorityMisread(options.get()))) {
        // Not readable as libpq reads it: nothing of it is shown but the scheme.
        const size_t end = url.find("://");
        const bool plainScheme =
            end != std::string_view::npos && end > 0 &&
            url.substr(0, end).find_first_not_of(
                "abcdefghijklmnopqrstuvwxyz"
                "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") == std::string_view::npos;
        return (plainScheme ? std::string(url.substr(0, end + 3)) : std::string()) + "***";
    }
    if (scheme.empty()) {
        // key=value text: the same options, the password hidden.
        std::string shown;
        for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; ++option) {
            if (option->val == nullptr) continue;
            const std::string_view keyword = option->keyword;
            shown += (shown.empty() ? "" : " ") + std::string(keyword) + "=" +
                     (keyword == "password" ? std::string("***") : keywordValue(option->val));
        }
        return shown;
    }
    return rebuiltUrl(scheme, options.get());
}

bool HoldsPassword(std::string_view text) {
    const ParsedOptions options = parseConnectionText(text);
    if (!options) {
        return text.find('=') != std::string_view::npos ||
               text.find("://") != std::string_view::npos;
    }
    if (!schemeOf(text).empty() && authorityMisread(options.get())) return true;
    for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; ++option) {
        if (std::string_view(option->keyword) == "password" && option->val != nullptr &&
            option->val[0] != '\0') {
            return true;
        }
    }
    return false;
}

bool IsPostgresUrl(std::string_view text) {
    return text.starts_with("postgresql://") || text.starts_with("postgres://");
}

}  // namespace vela::pg
