#include "storage/tracker_store.h"

#include "storage/columns.h"
#include "storage/database_checks.h"
#include "storage/database_file.h"
#include "storage/stored_values.h"
#include "storage/table_rows.h"

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

}  // namespace

Status AppendTrackerRows(sqlite::Database& db, TrackerList& list,
                         std::vector<std::string>& warnings) {
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
        entry.pushPort = StoredPushPort(row.columnInt(2), entry.description, warnings);
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

namespace {

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

}  // namespace

Status ReplaceTrackerRows(sqlite::Database& db, const TrackerList& list) {
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

TrackerStore::TrackerStore(std::filesystem::path workingDirectory, StorageErrorReporter reporter)
    : workingDirectory_(std::move(workingDirectory)), reporter_(std::move(reporter)) {}

Status TrackerStore::load(TrackerList& list) const {
    TrackerListStamp unused = 0;
    return load(list, unused);
}

Status TrackerStore::load(TrackerList& list, TrackerListStamp& stamp) const {
    const std::filesystem::path file = databaseFile(workingDirectory_);
    std::vector<std::string> warnings;
    TrackerList read;
    Status status = readDatabase(
        file, [&](sqlite::Database& db) { return AppendTrackerRows(db, read, warnings); });
    if (status) stamp = StampOf(read);
    for (const TrackerEntry& entry : read.entries()) list.add(entry);
    // Reported whether or not the rest could be read: the entries stay in the list.
    for (const std::string& warning : warnings) {
        if (reporter_) reporter_("Trackers in " + file.string() + ": " + warning);
    }
    if (!status) {
        std::string message =
            "Cannot load the tracker list from " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Status::Fail(std::move(message), status.code());
    }
    return Status::Ok();
}

Status TrackerStore::save(const TrackerList& list) const {
    bool changedMeanwhile = false;
    return saveChecked(list, std::nullopt, changedMeanwhile);
}

Status TrackerStore::saveIfUnchanged(const TrackerList& list, TrackerListStamp loaded,
                                     bool& changedMeanwhile) const {
    return saveChecked(list, loaded, changedMeanwhile);
}

Status TrackerStore::saveChecked(const TrackerList& list, std::optional<TrackerListStamp> loaded,
                                 bool& changedMeanwhile) const {
    const std::filesystem::path file = databaseFile(workingDirectory_);
    changedMeanwhile = false;
    Status status = writeDatabase(file, [&](sqlite::Database& db) {
        if (loaded) {
            // Read within the write's own transaction: nobody can change it in between.
            TrackerList stored;
            std::vector<std::string> ignored;
            if (Status read = AppendTrackerRows(db, stored, ignored); !read) return read;
            if (StampOf(stored) != *loaded) {
                changedMeanwhile = true;
                return Status::Fail(kTrackersChangedMeanwhile);
            }
        }
        return ReplaceTrackerRows(db, list);
    });
    if (!status) {
        std::string message =
            "Cannot save the tracker list to " + file.string() + ": " + status.message();
        if (reporter_) reporter_(message);
        return Status::Fail(std::move(message), status.code());
    }
    return Status::Ok();
}

}  // namespace vela
