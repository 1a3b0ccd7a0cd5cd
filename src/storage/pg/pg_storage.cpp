#include "storage/pg/pg_storage.h"

#include "storage/pg/connection.h"
#include "storage/pg/pg_schema.h"

#include <utility>
#include <vector>

namespace vela {

namespace {

using pg::Connection;
using pg::Parameter;
using pg::QueryResult;

constexpr const char* kSelectSettings =
    "SELECT \"IP\", \"EPort\", \"LPort\", \"Timeout\", \"MPort\" FROM \"Settings\" "
    "ORDER BY \"ID\" LIMIT 1";
constexpr const char* kSelectTrackers =
    "SELECT \"Imei\", \"Phone\", \"Port\", \"APN\", \"Auth\", \"SMSuser\", \"SMSpass\", "
    "\"GPRSuser\", \"GPRSpass\", \"Mode\" FROM \"Trackers\" ORDER BY \"ID\"";
constexpr const char* kInsertTrackersHead =
    "INSERT INTO \"Trackers\" (\"Imei\", \"Phone\", \"Port\", \"APN\", \"Auth\", \"SMSuser\", "
    "\"SMSpass\", \"GPRSuser\", \"GPRSpass\", \"Mode\") VALUES ";
constexpr int kTrackerColumns = 10;
// Rows per INSERT: fewer round trips, far below the limit of 65535 parameters.
constexpr int kTrackersPerInsert = 200;

// A rewrite takes the table for itself: readers go on, a second writer waits until the
// first has committed, so two saves cannot interleave their DELETE and INSERT.
Status lockForRewrite(Connection& connection, const char* table) {
    Result<QueryResult> locked =
        connection.execute("LOCK TABLE \"" + std::string(table) + "\" IN EXCLUSIVE MODE");
    return locked.status();
}

Result<int64_t> countRows(Connection& connection, const char* table);

Status checkRowsKept(Connection& connection, const char* table, int64_t expected) {
    Result<int64_t> rows = countRows(connection, table);
    if (!rows) return rows.status();
    if (rows.value() != expected) {
        return Status::Fail("the table " + std::string(table) + " holds " +
                            std::to_string(rows.value()) + " rows after the save instead of " +
                            std::to_string(expected));
    }
    return Status::Ok();
}

Status readSettings(Connection& connection, ProgramSettings& settings,
                    std::vector<std::string>& warnings, bool* present = nullptr) {
    Result<QueryResult> query = connection.execute(kSelectSettings);
    if (!query) return query.status();
    const QueryResult& rows = query.value();
    if (present) *present = rows.rows() > 0;
    if (rows.rows() == 0) return Status::Ok();  // empty table: the defaults stay
    int64_t numbers[4] = {};
    for (int column = 0; column < 4; ++column) {
        Result<int64_t> number = rows.integer(0, column);
        if (!number) return number.status();
        numbers[column] = number.value();
    }
    ApplyStoredSettings({numbers[0], numbers[1], numbers[2], numbers[3]}, rows.text(0, 4), settings,
                        warnings);
    return Status::Ok();
}

Status readTrackers(Connection& connection, TrackerList& list, std::vector<std::string>& warnings) {
    Result<QueryResult> query = connection.execute(kSelectTrackers);
    if (!query) return query.status();
    const QueryResult& rows = query.value();
    for (int row = 0; row < rows.rows(); ++row) {
        int64_t numbers[3] = {};
        const int numberColumns[3] = {2, 4, 9};
        for (int i = 0; i < 3; ++i) {
            Result<int64_t> number = rows.integer(row, numberColumns[i]);
            if (!number) return number.status();
            numbers[i] = number.value();
        }
        TrackerEntry entry;
        entry.description = rows.text(row, 0);
        entry.phone = rows.text(row, 1);
        entry.pushPort = StoredPushPort(numbers[0], entry.description, warnings);
        entry.apn = rows.text(row, 3);
        entry.auth = static_cast<int32_t>(numbers[1]);
        entry.smsUser = rows.text(row, 5);
        entry.smsPassword = rows.text(row, 6);
        entry.gprsUser = rows.text(row, 7);
        entry.gprsPassword = rows.text(row, 8);
        entry.deviceType = static_cast<int32_t>(numbers[2]);
        list.add(std::move(entry));
    }
    return Status::Ok();
}

Result<int64_t> countRows(Connection& connection, const char* table) {
    Result<QueryResult> counted =
        connection.execute("SELECT count(*) FROM \"" + std::string(table) + "\"");
    if (!counted) return counted.status();
    return counted.value().integer(0, 0);
}

Status insertSettings(Connection& connection, const ProgramSettings& settings) {
    Result<QueryResult> inserted = connection.execute(
        "INSERT INTO \"Settings\" (\"IP\", \"EPort\", \"LPort\", \"Timeout\", \"MPort\") "
        "VALUES ($1, $2, $3, $4, $5)",
        {StoredIp(settings.externalIp), settings.externalPort, settings.localPort,
         settings.timeoutSeconds, settings.modemPort});
    return inserted.status();
}

Status insertTrackers(Connection& connection, const std::vector<TrackerEntry>& entries) {
    for (size_t first = 0; first < entries.size(); first += kTrackersPerInsert) {
        const size_t end = std::min(entries.size(), first + kTrackersPerInsert);
        std::string sql = kInsertTrackersHead;
        std::vector<Parameter> parameters;
        parameters.reserve((end - first) * kTrackerColumns);
        for (size_t i = first; i < end; ++i) {
            const TrackerEntry& entry = entries[i];
            sql += i == first ? "(" : ", (";
            for (int column = 1; column <= kTrackerColumns; ++column) {
                sql += (column == 1 ? "$" : ", $") +
                       std::to_string(static_cast<int>(parameters.size()) + column);
            }
            sql += ")";
            for (Parameter parameter :
                 {Parameter(entry.description), Parameter(entry.phone), Parameter(entry.pushPort),
                  Parameter(entry.apn), Parameter(entry.auth), Parameter(entry.smsUser),
                  Parameter(entry.smsPassword), Parameter(entry.gprsUser),
                  Parameter(entry.gprsPassword), Parameter(entry.deviceType)}) {
                parameters.push_back(std::move(parameter));
            }
        }
        if (Result<QueryResult> inserted = connection.execute(sql, parameters); !inserted) {
            return inserted.status();
        }
    }
    return Status::Ok();
}

}  // namespace

PgStorage::PgStorage(std::string url, StorageErrorReporter reporter)
    : url_(std::move(url)), reporter_(std::move(reporter)) {}

std::string PgStorage::location() const {
    return pg::RedactUrl(url_);
}

Result<Connection> PgStorage::connect() const {
    Result<Connection> connection = Connection::open(url_);
    if (!connection) return connection;
    if (Status migrated = pg::MigrateSchema(connection.value()); !migrated) return migrated;
    return connection;
}

Status PgStorage::fail(const std::string& what, const Status& failure) const {
    std::string message = what + " " + location() + ": " + failure.message();
    if (reporter_) reporter_(message);
    return Status::Fail(std::move(message));
}

Status PgStorage::loadSettings(ProgramSettings& settings) const {
    Result<Connection> connection = connect();
    if (!connection) return fail("Cannot load the settings from", connection.status());
    ProgramSettings read = settings;
    std::vector<std::string> warnings;
    if (Status status = readSettings(connection.value(), read, warnings); !status) {
        return fail("Cannot load the settings from", status);
    }
    for (const std::string& warning : warnings) {
        if (reporter_) reporter_("Settings in " + location() + ": " + warning);
    }
    settings = std::move(read);
    return Status::Ok();
}

Status PgStorage::saveSettings(const ProgramSettings& settings) const {
    Result<Connection> opened = connect();
    if (!opened) return fail("Cannot save the settings to", opened.status());
    Connection& connection = opened.value();
    Status status = [&]() -> Status {
        Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
        if (!transaction) return transaction.status();
        if (Status locked = lockForRewrite(connection, "Settings"); !locked) return locked;
        if (Result<QueryResult> deleted = connection.execute("DELETE FROM \"Settings\"");
            !deleted) {
            return deleted.status();
        }
        if (Status inserted = insertSettings(connection, settings); !inserted) return inserted;
        if (Status kept = checkRowsKept(connection, "Settings", 1); !kept) return kept;
        return transaction.value().commit();
    }();
    if (!status) return fail("Cannot save the settings to", status);
    return Status::Ok();
}

Status PgStorage::loadTrackers(TrackerList& list, TrackerListStamp& stamp) const {
    Result<Connection> connection = connect();
    if (!connection) return fail("Cannot load the tracker list from", connection.status());
    TrackerList read;
    std::vector<std::string> warnings;
    Status status = readTrackers(connection.value(), read, warnings);
    for (const std::string& warning : warnings) {
        if (reporter_) reporter_("Trackers in " + location() + ": " + warning);
    }
    if (!status) return fail("Cannot load the tracker list from", status);
    stamp = StampOf(read);
    for (const TrackerEntry& entry : read.entries()) list.add(entry);
    return Status::Ok();
}

Status PgStorage::saveTrackers(const TrackerList& list) const {
    bool changedMeanwhile = false;
    return saveTrackersChecked(list, nullptr, changedMeanwhile);
}

Status PgStorage::saveTrackersIfUnchanged(const TrackerList& list, TrackerListStamp loaded,
                                          bool& changedMeanwhile) const {
    return saveTrackersChecked(list, &loaded, changedMeanwhile);
}

Status PgStorage::saveTrackersChecked(const TrackerList& list, const TrackerListStamp* loaded,
                                      bool& changedMeanwhile) const {
    changedMeanwhile = false;
    Result<Connection> opened = connect();
    if (!opened) return fail("Cannot save the tracker list to", opened.status());
    Connection& connection = opened.value();
    Status status = [&]() -> Status {
        Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
        if (!transaction) return transaction.status();
        if (Status locked = lockForRewrite(connection, "Trackers"); !locked) return locked;
        if (loaded) {
            // Read under the lock: no other save can come in between.
            TrackerList stored;
            std::vector<std::string> ignored;
            if (Status read = readTrackers(connection, stored, ignored); !read) return read;
            if (StampOf(stored) != *loaded) {
                changedMeanwhile = true;
                return Status::Fail(kTrackersChangedMeanwhile);
            }
        }
        if (Result<QueryResult> deleted = connection.execute("DELETE FROM \"Trackers\"");
            !deleted) {
            return deleted.status();
        }
        if (Status inserted = insertTrackers(connection, list.entries()); !inserted) {
            return inserted;
        }
        if (Status kept = checkRowsKept(connection, "Trackers", list.count()); !kept) return kept;
        return transaction.value().commit();
    }();
    if (!status) return fail("Cannot save the tracker list to", status);
    return Status::Ok();
}

Result<StoredContent> PgStorage::loadContent() const {
    Result<Connection> opened = connect();
    if (!opened) return fail("Cannot read", opened.status());
    Connection& connection = opened.value();
    StoredContent content;
    std::vector<std::string> warnings;
    Status status = [&]() -> Status {
        // One snapshot for both tables.
        Result<pg::Transaction> transaction =
            pg::Transaction::begin(connection, pg::Isolation::kSerializable);
        if (!transaction) return transaction.status();
        ProgramSettings settings;
        bool present = false;
        if (Status read = readSettings(connection, settings, warnings, &present); !read)
            return read;
        if (present) content.settings = settings;
        if (Status read = readTrackers(connection, content.trackers, warnings); !read) return read;
        return transaction.value().commit();
    }();
    for (const std::string& warning : warnings) {
        if (reporter_) reporter_(location() + ": " + warning);
    }
    if (!status) return fail("Cannot read", status);
    return content;
}

Status PgStorage::replaceContent(const StoredContent& content, bool replace) const {
    Result<Connection> opened = connect();
    if (!opened) return fail("Cannot write", opened.status());
    Connection& connection = opened.value();
    Status status = [&]() -> Status {
        Result<pg::Transaction> transaction = pg::Transaction::begin(connection);
        if (!transaction) return transaction.status();
        for (const char* table : {"Settings", "Trackers"}) {
            if (Status locked = lockForRewrite(connection, table); !locked) return locked;
        }
        if (!replace) {
            Result<int64_t> settingsRows = countRows(connection, "Settings");
            if (!settingsRows) return settingsRows.status();
            Result<int64_t> trackerRows = countRows(connection, "Trackers");
            if (!trackerRows) return trackerRows.status();
            if (settingsRows.value() + trackerRows.value() > 0) {
                return Status::Fail(NotEmptyMessage(settingsRows.value(), trackerRows.value()));
            }
        }
        for (const char* sql : {"DELETE FROM \"Settings\"", "DELETE FROM \"Trackers\""}) {
            if (Result<QueryResult> deleted = connection.execute(sql); !deleted) {
                return deleted.status();
            }
        }
        if (content.settings) {
            if (Status inserted = insertSettings(connection, *content.settings); !inserted) {
                return inserted;
            }
        }
        if (Status inserted = insertTrackers(connection, content.trackers.entries()); !inserted) {
            return inserted;
        }
        if (Status kept = checkRowsKept(connection, "Trackers", content.trackers.count()); !kept) {
            return kept;
        }
        return transaction.value().commit();
    }();
    if (!status) return fail("Cannot write", status);
    return Status::Ok();
}

}  // namespace vela
