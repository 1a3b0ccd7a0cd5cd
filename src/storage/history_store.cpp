#include "storage/history_store.h"

#include "storage/database_checks.h"
#include "storage/database_file.h"
#include "storage/schema.h"
#include "storage/table_rows.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <utility>

namespace vela {

namespace {

std::string buildHistoryInsert(char placeholder) {
    std::string columns;
    std::string values;
    int parameter = 0;
    for (const char* column : kHistoryColumns) {
        if (std::string_view(column) == "ID") continue;  // assigned by the database
        const char* separator = parameter == 0 ? "" : ", ";
        columns += separator + std::string("\"") + column + "\"";
        values += separator + std::string(1, placeholder) + std::to_string(++parameter);
    }
    return "INSERT INTO \"History\" (" + columns + ") VALUES (" + values + ")";
}

// Only the filter's own conditions are in the text, each with its fixed parameter
// number (the others stay unbound): a condition switched off by a NULL parameter would
// keep SQLite from choosing an index, and `--tracker` would read the whole table.
// NULLs are read through their own columns (the statement reads NULL as 0).
constexpr const char* kSelectHistory =
    "SELECT \"ID\", \"StartedAt\", \"EndedAt\", \"Kind\", \"Tracker\", \"Phone\", "
    "\"ModemPort\", \"ConfigFile\", \"ConfigSha256\", \"ImageBytes\", \"CallerAddress\", "
    "\"CallerImei\", \"AnswerBytes\", \"AnswerBytes\" IS NULL, \"Verdict\", \"Detail\", "
    "\"CampaignId\", \"CampaignId\" IS NULL, %s FROM \"History\" WHERE 1";

constexpr const char* kHasHistoryTable =
    "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'History'";

Status bindRecord(sqlite::Statement& row, const HistoryRecord& record) {
    const std::string_view verdict = VerdictWord(record.verdict);
    for (Status bound :
         {row.bind(1, std::string_view(record.startedAt)),
          row.bind(2, std::string_view(record.endedAt)), row.bind(3, std::string_view(record.kind)),
          row.bind(4, std::string_view(record.tracker)),
          row.bind(5, std::string_view(record.phone)),
          row.bind(6, std::string_view(record.modemPort)),
          row.bind(7, std::string_view(record.configFile)),
          row.bind(8, std::string_view(record.configSha256)), row.bind(9, record.imageBytes),
          row.bind(10, std::string_view(record.callerAddress)),
          row.bind(11, std::string_view(record.callerImei)), row.bind(13, verdict),
          row.bind(14, std::string_view(record.detail)),
          row.bind(16, std::string_view(record.delivery)),
          row.bind(17, std::string_view(record.deliveredAt))}) {
        if (!bound) return bound;
    }
    if (record.answerBytes) {
        if (Status bound = row.bind(12, *record.answerBytes); !bound) return bound;
    }
    if (record.campaignId) {
        if (Status bound = row.bind(15, *record.campaignId); !bound) return bound;
    }
    return Status::Ok();
}

Result<HistoryRecord> readRow(const sqlite::Statement& row) {
    HistoryRecord record;
    record.id = row.columnInt(0);
    record.startedAt = row.columnText(1);
    record.endedAt = row.columnText(2);
    record.kind = row.columnText(3);
    record.tracker = row.columnText(4);
    record.phone = row.columnText(5);
    record.modemPort = row.columnText(6);
    record.configFile = row.columnText(7);
    record.configSha256 = row.columnText(8);
    record.imageBytes = row.columnInt(9);
    record.callerAddress = row.columnText(10);
    record.callerImei = row.columnText(11);
    if (row.columnInt(13) == 0) record.answerBytes = row.columnInt(12);
    const std::string word = row.columnText(14);
    const std::optional<Verdict> verdict = VerdictFromWord(word);
    if (!verdict) {
        return Result<HistoryRecord>::Fail("row " + std::to_string(record.id) +
                                           " has the unknown verdict '" + word + "'");
    }
    record.verdict = *verdict;
    record.detail = row.columnText(15);
    if (row.columnInt(17) == 0) record.campaignId = row.columnInt(16);
    record.delivery = row.columnText(18);
    record.deliveredAt = row.columnText(19);
    return record;
}

}  // namespace

std::string HistoryQueryText(const HistoryFilter& filter, bool deliveryColumns) {
    std::string sql = kSelectHistory;
    // A database from before the delivery columns reads them as empty.
    sql.replace(sql.find("%s"), 2, deliveryColumns ? "\"Delivery\", \"DeliveredAt\"" : "'', ''");
    if (filter.tracker) sql += " AND \"Tracker\" = ?1";
    if (filter.verdict) sql += " AND \"Verdict\" = ?2";
    if (filter.since) sql += " AND \"StartedAt\" >= ?3";
    if (filter.campaignId) sql += " AND \"CampaignId\" = ?4";
    return sql + " ORDER BY \"ID\" DESC LIMIT ?5";
}

Status SelectHistoryRows(sqlite::Database& db, const HistoryFilter& filter,
                         std::vector<HistoryRecord>& out) {
    Result<sqlite::Statement> probe = db.prepare(kHasHistoryTable);
    if (!probe) return probe.status();
    Result<bool> probed = probe.value().step();
    if (!probed) return probed.status();
    if (!probed.value() || probe.value().columnInt(0) == 0) return Status::Ok();

    Result<int> version = SchemaVersion(db);
    if (!version) return version.status();
    Result<sqlite::Statement> query = db.prepare(
        HistoryQueryText(filter, version.value() >= kHistoryDeliverySchemaVersion));
    if (!query) return query.status();
    sqlite::Statement& row = query.value();
    if (filter.tracker) {
        if (Status bound = row.bind(1, std::string_view(*filter.tracker)); !bound) return bound;
    }
    if (filter.verdict) {
        if (Status bound = row.bind(2, VerdictWord(*filter.verdict)); !bound) return bound;
    }
    if (filter.since) {
        if (Status bound = row.bind(3, std::string_view(*filter.since)); !bound) return bound;
    }
    if (filter.campaignId) {
        if (Status bound = row.bind(4, *filter.campaignId); !bound) return bound;
    }
    // A negative limit is no limit to SQLite.
    if (Status bound = row.bind(5, filter.limit.value_or(-1)); !bound) return bound;
    for (;;) {
        Result<bool> stepped = row.step();
        if (!stepped) return stepped.status();
        if (!stepped.value()) return Status::Ok();
        Result<HistoryRecord> record = readRow(row);
        if (!record) return record.status();
        out.push_back(std::move(record).value());
    }
}

const std::string& HistoryInsertStatement(char placeholder) {
    static const std::string sqlite = buildHistoryInsert('?');
    static const std::string postgres = buildHistoryInsert('$');
    return placeholder == '$' ? postgres : sqlite;
}

std::string HistoryTimestamp() {
    return HistoryTimestamp(std::chrono::system_clock::now());
}

std::string HistoryTimestamp(std::chrono::system_clock::time_point when) {
    const std::time_t now = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool IsHistoryDate(const std::string& text) {
    // "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SSZ": digits where the pattern has 9.
    static constexpr std::string_view kDate = "9999-99-99";
    static constexpr std::string_view kTimestamp = "9999-99-99T99:99:99Z";
    const std::string_view pattern = text.size() == kDate.size() ? kDate : kTimestamp;
    if (text.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (pattern[i] == '9' ? !digit : text[i] != pattern[i]) return false;
    }
    return true;
}

HistoryStore::HistoryStore(std::filesystem::path workingDirectory, StorageErrorReporter reporter)
    : workingDirectory_(std::move(workingDirectory)), reporter_(std::move(reporter)) {}

Status HistoryStore::append(const HistoryRecord& record) const {
    const std::filesystem::path file = databaseFile(workingDirectory_);
    // A record never creates the database (that is the stores' decision on a save);
    // without one there is nowhere to keep it.
    std::error_code missing;
    if (!std::filesystem::exists(file, missing) && !missing) return Status::Ok();
    // The records hold phone numbers and the trackers' words: written under the stores'
    // rules, into a file that only its owner can read.
    Status status = CheckPrivateForWriting(file);
    if (status)
        status = readDatabase(file, [&](sqlite::Database& db) {
            Result<sqlite::Transaction> transaction = sqlite::Transaction::begin(db);
            if (!transaction) return transaction.status();
            if (Status migrated = MigrateSchema(db); !migrated) return migrated;
            Result<sqlite::Statement> insert = db.prepare(HistoryInsertStatement('?'));
            if (!insert) return insert.status();
            if (Status bound = bindRecord(insert.value(), record); !bound) return bound;
            if (Status inserted = insert.value().step().status(); !inserted) return inserted;
            return transaction.value().commit();
        });
    if (!status) {
        std::string message =
            "Cannot write the run history to " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Status::Fail(std::move(message), status.code());
    }
    return Status::Ok();
}

Result<std::vector<HistoryRecord>> HistoryStore::query(const HistoryFilter& filter) const {
    const std::filesystem::path file = databaseFile(workingDirectory_);
    std::vector<HistoryRecord> records;
    std::error_code missing;
    if (!std::filesystem::exists(file, missing) && !missing) return records;  // no runs yet
    Status status = readDatabase(
        file, [&](sqlite::Database& db) { return SelectHistoryRows(db, filter, records); });
    if (!status) {
        std::string message =
            "Cannot read the run history from " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Result<std::vector<HistoryRecord>>::Fail(std::move(message), status.code());
    }
    return records;
}

Status InsertHistoryRows(sqlite::Database& db, const std::vector<HistoryRecord>& records) {
    Result<sqlite::Statement> insert = db.prepare(HistoryInsertStatement('?'));
    if (!insert) return insert.status();
    for (const HistoryRecord& record : records) {
        if (Status bound = bindRecord(insert.value(), record); !bound) return bound;
        if (Status inserted = insert.value().step().status(); !inserted) return inserted;
        if (Status reset = insert.value().reset(); !reset) return reset;
    }
    return Status::Ok();
}

}  // namespace vela
