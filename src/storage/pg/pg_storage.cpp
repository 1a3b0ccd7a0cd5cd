#include "storage/pg/pg_storage.h"

#include "storage/pg/connection.h"
#include "storage/pg/pg_campaign_storage.h"
#include "storage/pg/pg_schema.h"

#include <algorithm>
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

Status readOptions(Connection& connection, StationOptions& options) {
    Result<QueryResult> query = connection.execute("SELECT \"Name\", \"Value\" FROM \"Options\"");
    if (!query) return query.status();
    const QueryResult& rows = query.value();
    for (int row = 0; row < rows.rows(); ++row) {
        if (Status applied = ApplyOptionRow(rows.text(row, 0), rows.text(row, 1), options);
            !applied) {
            return applied;
        }
    }
    return Status::Ok();
}

Status writeOptions(Connection& connection, const StationOptions& options) {
    for (const auto& [name, value] : OptionRows(options)) {
        if (Result<QueryResult> written = connection.execute(
                "INSERT INTO \"Options\" (\"Name\", \"Value\") VALUES ($1, $2) "
                "ON CONFLICT (\"Name\") DO UPDATE SET \"Value\" = EXCLUDED.\"Value\"",
                {name, value});
            !written) {
            return written.status();
        }
    }
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

// A NULL parameter switches its condition off.
constexpr const char* kSelectHistory =
    "SELECT \"ID\", \"StartedAt\", \"EndedAt\", \"Kind\", \"Tracker\", \"Phone\", "
    "\"ModemPort\", \"ConfigFile\", \"ConfigSha256\", \"ImageBytes\", \"CallerAddress\", "
    "\"CallerImei\", \"AnswerBytes\", \"Verdict\", \"Detail\", \"CampaignId\" FROM \"History\" "
    "WHERE ($1::text IS NULL OR \"Tracker\" = $1) AND ($2::text IS NULL OR \"Verdict\" = $2) "
    "AND ($3::text IS NULL OR \"StartedAt\" >= $3) "
    "AND ($4::bigint IS NULL OR \"CampaignId\" = $4) ORDER BY \"ID\" DESC LIMIT $5::bigint";

template <typename T>
Parameter optionalParameter(const std::optional<T>& value) {
    return value ? Parameter(*value) : Parameter::null();
}

Status selectHistory(Connection& connection, const HistoryFilter& filter,
                     std::vector<HistoryRecord>& out) {
    std::optional<std::string> verdict;
    if (filter.verdict) verdict = std::string(VerdictWord(*filter.verdict));
    Result<QueryResult> query = connection.execute(
        kSelectHistory, {optionalParameter(filter.tracker), optionalParameter(verdict),
                         optionalParameter(filter.since), optionalParameter(filter.campaignId),
                         optionalParameter(filter.limit)});
    if (!query) return query.status();
    const QueryResult& rows = query.value();
    for (int row = 0; row < rows.rows(); ++row) {
        HistoryRecord record;
        int64_t numbers[4] = {};
        const int numberColumns[4] = {0, 9, 12, 15};
        for (int i = 0; i < 4; ++i) {
            Result<int64_t> number = rows.integer(row, numberColumns[i]);
            if (!number) return number.status();
            numbers[i] = number.value();
        }
        record.id = numbers[0];
        record.startedAt = rows.text(row, 1);
        record.endedAt = rows.text(row, 2);
        record.kind = rows.text(row, 3);
        record.tracker = rows.text(row, 4);
        record.phone = rows.text(row, 5);
        record.modemPort = rows.text(row, 6);
        record.configFile = rows.text(row, 7);
        record.configSha256 = rows.text(row, 8);
        record.imageBytes = numbers[1];
        record.callerAddress = rows.text(row, 10);
        record.callerImei = rows.text(row, 11);
        if (!rows.isNull(row, 12)) record.answerBytes = numbers[2];
        const std::string word = rows.text(row, 13);
        const std::optional<Verdict> verdictRead = VerdictFromWord(word);
        if (!verdictRead) {
            return Status::Fail("row " + std::to_string(record.id) + " has the unknown verdict '" +
                                word + "'");
        }
        record.verdict = *verdictRead;
        record.detail = rows.text(row, 14);
        if (!rows.isNull(row, 15)) record.campaignId = numbers[3];
        out.push_back(std::move(record));
    }
    return Status::Ok();
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
    return Status::Fail(std::move(message), failure.code());
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

Status PgStorage::loadOptions(StationOptions& options) const {
    Result<Connection> connection = connect();
    if (!connection) return fail("Cannot load the options from", connection.status());
    StationOptions read;
    if (Status status = readOptions(connection.value(), read); !status) {
        return fail("Cannot load the options from", status);
    }
    options = std::move(read);
    return Status::Ok();
}

Status PgStorage::saveOptions(const StationOptions& options) const {
    Result<Connection> connection = connect();
    if (!connection) return fail("Cannot save the options to", connection.status());
    Status status = [&]() -> Status {
        Result<pg::Transaction> transaction = pg::Transaction::begin(connection.value());
        if (!transaction) return transaction.status();
        if (Status written = writeOptions(connection.value(), options); !written) return written;
        return transaction.value().commit();
    }();
    if (!status) return fail("Cannot save the options to", status);
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

Status PgStorage::appendHistory(const HistoryRecord& record) const {
    Result<Connection> connection = connect();
    Status status = connection ? pg::InsertHistoryRow(connection.value(), record) : connection.status();
    if (!status) return fail("Cannot write the run history to", status);
    return Status::Ok();
}

Result<std::vector<HistoryRecord>> PgStorage::queryHistory(const HistoryFilter& filter) const {
    Result<Connection> connection = connect();
    std::vector<HistoryRecord> records;
    Status status =
        connection ? selectHistory(connection.value(), filter, records) : connection.status();
    if (!status) return fail("Cannot read the run history from", status);
    return records;
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
        if (Status read = readOptions(connection, content.options); !read) return read;
        if (Status read = readTrackers(connection, content.trackers, warnings); !read) return read;
        if (Status read = selectHistory(connection, {}, content.history); !read) return read;
        std::reverse(content.history.begin(), content.history.end());
        if (Status read = pg::ReadCampaignRows(connection, content.campaigns,
                                               content.campaignTrackers, content.campaignStations);
            !read) {
            return read;
        }
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
        constexpr const char* kTables[] = {"Settings",  "Trackers",         "History",
                                           "Campaigns", "CampaignTrackers", "CampaignStations"};
        for (const char* table : kTables) {
            if (Status locked = lockForRewrite(connection, table); !locked) return locked;
        }
        if (!replace) {
            int64_t rows[4] = {};
            for (int i = 0; i < 4; ++i) {
                Result<int64_t> counted = countRows(connection, kTables[i]);
                if (!counted) return counted.status();
                rows[i] = counted.value();
            }
            if (rows[0] + rows[1] + rows[2] + rows[3] > 0) {
                return Status::Fail(NotEmptyMessage(rows[0], rows[1], rows[2], rows[3]),
                                    StatusCode::Conflict);
            }
        }
        for (const char* table : kTables) {
            if (Result<QueryResult> deleted =
                    connection.execute("DELETE FROM \"" + std::string(table) + "\"");
                !deleted) {
                return deleted.status();
            }
        }
        if (Status written = pg::WriteCampaignRows(
                connection, content.campaigns, content.campaignTrackers, content.campaignStations);
            !written) {
            return written;
        }
        for (const HistoryRecord& record : content.history) {
            if (Status inserted = pg::InsertHistoryRow(connection, record); !inserted) return inserted;
        }
        if (content.settings) {
            if (Status inserted = insertSettings(connection, *content.settings); !inserted) {
                return inserted;
            }
        }
        if (Status written = writeOptions(connection, content.options); !written) return written;
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
