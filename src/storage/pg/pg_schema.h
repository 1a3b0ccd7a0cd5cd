#pragma once

#include "common/result.h"
#include "storage/pg/connection.h"

namespace vela::pg {

// The tables on a PostgreSQL server: Settings and Trackers with the columns of
// settings.accdb (32-bit integers as integer, texts as text without a length limit),
// and our own beside them. "VelaSchema" holds the version; every version adds to the
// one before, so an older database is brought forward one step at a time.
int LatestSchemaVersion();

// The database's version; 0 when it has none of our tables yet.
Result<int> SchemaVersion(Connection& connection);

// Brings the database to LatestSchemaVersion() in one transaction, holding a lock that
// keeps two stations from doing it at once. A database of a newer version is left as
// it is: its tables are a superset of ours.
Status MigrateSchema(Connection& connection);

}  // namespace vela::pg
