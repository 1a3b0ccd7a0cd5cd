#pragma once

#include "common/result.h"
#include "storage/database.h"

#include <filesystem>
#include <functional>

namespace vela {

// The tables as this system creates them: the exact column names, ID assigned by
// SQLite, numbers as integers and texts that accept NULL. Texts are not limited to
// 255 characters (SQLite keeps them whole; the dialogs limit typing).
inline constexpr const char* kCreateSettingsTable =
    "CREATE TABLE \"Settings\" (\"ID\" INTEGER PRIMARY KEY, \"IP\" INTEGER, \"EPort\" INTEGER, "
    "\"LPort\" INTEGER, \"Timeout\" INTEGER, \"MPort\" VARCHAR(255))";
inline constexpr const char* kCreateTrackersTable =
    "CREATE TABLE \"Trackers\" (\"ID\" INTEGER PRIMARY KEY, \"Imei\" VARCHAR(255), "
    "\"Phone\" VARCHAR(255), \"Port\" INTEGER, \"APN\" VARCHAR(255), \"Auth\" INTEGER, "
    "\"SMSuser\" VARCHAR(255), \"SMSpass\" VARCHAR(255), \"GPRSuser\" VARCHAR(255), "
    "\"GPRSpass\" VARCHAR(255), \"Mode\" INTEGER)";

// settings.accdb in the working directory.
std::filesystem::path databaseFile(const std::filesystem::path& workingDirectory);

// Runs `read` on a connection to the existing database. A missing file fails with a
// text that says the database will be created on the first save.
Status readDatabase(const std::filesystem::path& file,
                    const std::function<Status(sqlite::Database&)>& read);

// Runs `write` inside one BEGIN IMMEDIATE ... COMMIT: all or nothing. A missing file is
// created (owner-only permissions) and a database without any table gets both tables
// first; a file created by a failed write is removed again.
Status writeDatabase(const std::filesystem::path& file,
                     const std::function<Status(sqlite::Database&)>& write);

// A new database with both tables, empty. Refuses to replace an existing file unless
// `replace`; replacing also removes the old file's journal, which must never be played
// back into the new one.
Status createDatabase(const std::filesystem::path& file, bool replace);

}  // namespace vela
