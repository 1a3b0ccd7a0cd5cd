#include "storage/tracker_store.h"

#include "storage/columns.h"
#include "storage/database_checks.h"
#include "storage/database_file.h"

#include <utility>
#include <vector>

namespace vela {

namespace {

// Columns are chosen by name; no order is requested, so rows come in the table's
// natural order, which is the order of the last save.
constexpr const char* kSelectTrackers =
    "SELECT \"Imei\", \"Phone\", \"Port\", \"APN\", \"Auth\", \"SMSuser\", \"SMSpass\", "
    "\"GPRSuser\", \"GPRSpass\", \"Mode\" FROM \"Trackers\"";
constexpr const char* kDeleteTrackers = "DELETE FROM \"Trackers\"";
constexpr const char* kInsertTracker =
    "INSERT INTO \"Trackers\" (\"Imei\", \"Phone\", \"Port\", \"APN\", \"Auth\", \"SMSuser\", "
    "\"SMSpass\", \"GPRSuser\", \"GPRSpass\", \"Mode\") "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)";

// The push port of a new entry (07D1); it replaces a stored port that is none.
constexpr int32_t kDefaultPushPort = 2001;

Status appendRows(sqlite::Database& db, TrackerList& list, std::vector<std::string>& warnings) {
    Result<sqlite::Statement> query = db.prepare(kSelectTrackers);
    if (!query) return query.status();
    sqlite::Statement& row = query.value();
    for (;;) {
        Result<bool> stepped = row.step();
        if (!stepped) return stepped.status();  // what was read so far stays in the list
        if (!stepped.value()) return Status::Ok();
        TrackerEntry entry;
        entry.description = row.columnText(0);
        entry.phone = row.columnText(1);
        const int64_t port = row.columnInt(2);
        if (port >= 0 && port <= 65535) {
            entry.pushPort = static_cast<int32_t>(port);
        } else {
            entry.pushPort = kDefaultPushPort;
            warnings.push_back("the stored Port " + std::to_string(port) + " of tracker '" +
                               entry.description + "' is out of range (0 to 65535); the default " +
                               std::to_string(kDefaultPushPort) + " is used");
        }
        entry.apn = row.columnText(3);
        entry.auth = columnInt32(row.columnInt(4));
        entry.smsUser = row.columnText(5);
        entry.smsPassword = row.columnText(6);
        entry.gprsUser = row.columnText(7);
        entry.gprsPassword = row.columnText(8);
        entry.deviceType = columnInt32(row.columnInt(9));
        list.add(entry);
    }
}

Status bindEntry(sqlite::Statement& row, const TrackerEntry& entry) {
    for (Status bound :
         {row.bind(1, std::string_view(entry.description)),
          row.bind(2, std::string_view(entry.phone)), row.bind(3, int64_t{entry.pushPort}),
          row.bind(4, std::string_view(entry.apn)), row.bind(5, int64_t{entry.auth}),
          row.bind(6, std::string_view(entry.smsUser)),
          row.bind(7, std::string_view(entry.smsPassword)),
          row.bind(8, std::string_view(entry.gprsUser)),
          row.bind(9, std::string_view(entry.gprsPassword)),
          row.bind(10, int64_t{entry.deviceType})}) {
        if (!bound) return bound;
    }
    return Status::Ok();
}

Status replaceRows(sqlite::Database& db, const TrackerList& list) {
    if (Status deleted = db.execute(kDeleteTrackers); !deleted) return deleted;
    Result<sqlite::Statement> insert = db.prepare(kInsertTracker);
    if (!insert) return insert.status();
    sqlite::Statement& row = insert.value();
    for (const TrackerEntry& entry : list.entries()) {
        if (Status bound = bindEntry(row, entry); !bound) return bound;
        if (Status inserted = row.step().status(); !inserted) return inserted;
        if (Status reset = row.reset(); !reset) return reset;
    }
    return CheckRowsKept(db, "Trackers", list.count());
}

}  // namespace

TrackerStore::TrackerStore(std::filesystem::path workingDirectory, StorageErrorReporter reporter)
    : workingDirectory_(std::move(workingDirectory)), reporter_(std::move(reporter)) {}

Status TrackerStore::load(TrackerList& list) const {
    const std::filesystem::path file = databaseFile(workingDirectory_);
    std::vector<std::string> warnings;
    Status status =
        readDatabase(file, [&](sqlite::Database& db) { return appendRows(db, list, warnings); });
    // Reported whether or not the rest could be read: the entries stay in the list.
    for (const std::string& warning : warnings) {
        if (reporter_) reporter_("Trackers in " + file.string() + ": " + warning);
    }
    if (!status) {
        std::string message =
            "Cannot load the tracker list from " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Status::Fail(std::move(message));
    }
    return Status::Ok();
}

Status TrackerStore::save(const TrackerList& list) const {
    const std::filesystem::path file = databaseFile(workingDirectory_);
    Status status =
        writeDatabase(file, [&](sqlite::Database& db) { return replaceRows(db, list); });
    if (!status) {
        std::string message =
            "Cannot save the tracker list to " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Status::Fail(std::move(message));
    }
    return Status::Ok();
}

}  // namespace vela
