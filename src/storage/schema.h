#pragma once

#include "common/result.h"
#include "storage/database.h"

namespace vela {

// The tables of our own sit beside Settings and Trackers, whose shape never changes.
// PRAGMA user_version says which of them a database already has; every version adds
// to the one before, so an older database is brought forward one step at a time.
int LatestSchemaVersion();

// The database's PRAGMA user_version.
Result<int> SchemaVersion(sqlite::Database& db);

// Brings the database to LatestSchemaVersion(). Runs inside the caller's transaction
// (each step is all or nothing with the caller's own writes). A database of a newer
// version is left as it is: its tables are a superset of ours.
Status MigrateSchema(sqlite::Database& db);

}  // namespace vela
