#pragma once

// Checks that keep a database file from someone else from steering the stores: its
// tables must have the shape the stores expect, it must be private before passwords go
// into it, and a save must have kept every row it wrote.
#include "common/result.h"
#include "storage/database.h"

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace vela {

// The database holds no trigger, view or virtual table (this program creates none, and
// one planted in the file would run with our data), and each of Settings and Trackers
// that exists is a table with every column the stores read and write, found by name
// whatever its case (as SQLite finds it). A table that is absent is left to the
// statement that needs it, which names it.
Status CheckSchema(sqlite::Database& db);

// The database must be a regular file (a symbolic link to one is fine): SQLite would
// wait forever on a FIFO and read nonsense from a device. A missing file passes.
Status CheckRegularFile(const std::filesystem::path& file);

// Writing is refused unless the file belongs to the user and neither group nor others
// may read or write it, as ssh treats its own files: the stores put passwords into it.
// A file that does not exist passes (the stores create it owner-only).
Status CheckPrivateForWriting(const std::filesystem::path& file);

// The number of rows of `table` (a name of our own, never the user's).
Result<int64_t> CountRows(sqlite::Database& db, std::string_view table);

// After a rewrite: fails unless `table` holds `expected` rows, so a trigger that
// silently drops or adds rows is reported instead of a save that looks complete.
Status CheckRowsKept(sqlite::Database& db, std::string_view table, int64_t expected);

}  // namespace vela
