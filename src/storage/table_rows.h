#pragma once

#include "common/result.h"
#include "storage/database.h"
#include "storage/history_store.h"
#include "storage/program_settings.h"
#include "storage/station_options.h"
#include "storage/tracker_list.h"

#include <string>
#include <vector>

namespace vela {

// The rows of settings.accdb on an open connection, inside the caller's transaction.
// Numbers another tool stored out of range become defaults; the reasons go into
// `warnings`.

// The first Settings row into `settings` (`present` false and `settings` unchanged
// when the table is empty).
Status ReadSettingsRow(sqlite::Database& db, ProgramSettings& settings,
                       std::vector<std::string>& warnings, bool& present);
// Makes the Settings table hold exactly one row with these values.
Status ReplaceSettingsRows(sqlite::Database& db, const ProgramSettings& settings);

// The Options rows into `options` (the defaults stay for a database from before the
// table, and for every option without a row).
Status ReadOptionRows(sqlite::Database& db, StationOptions& options);
// Writes the row of every option this version knows; rows of other names stay.
Status WriteOptionRows(sqlite::Database& db, const StationOptions& options);

// Appends one entry per Trackers row to `list`.
Status AppendTrackerRows(sqlite::Database& db, TrackerList& list,
                         std::vector<std::string>& warnings);
// Makes the Trackers table hold exactly the entries of `list`, in list order.
Status ReplaceTrackerRows(sqlite::Database& db, const TrackerList& list);

// The SQLite query of SelectHistoryRows for `filter` (?1 tracker, ?2 verdict, ?3 since,
// ?4 campaign, ?5 limit; only the filter's own conditions appear).
std::string HistoryQueryText(const HistoryFilter& filter, bool deliveryColumns = true);

// Appends the records to the History table in their order (IDs assigned anew).
Status InsertHistoryRows(sqlite::Database& db, const std::vector<HistoryRecord>& records);
// Appends the History rows that `filter` picks, newest first (none in a database from
// before the table).
Status SelectHistoryRows(sqlite::Database& db, const HistoryFilter& filter,
                         std::vector<HistoryRecord>& out);

}  // namespace vela
