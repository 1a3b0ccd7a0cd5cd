#pragma once

#include "storage/history_store.h"
#include "storage/storage_errors.h"
#include "storage/tracker_list.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vela::test {

// Collects what a store reports.
struct ReportedErrors {
    std::vector<std::string> messages;
    StorageErrorReporter reporter() {
        return [this](const std::string& message) { messages.push_back(message); };
    }
};

// Runs the stock sqlite3 command-line tool on `file` with `script` on its standard
// input; its standard output. Fails the test when the tool fails. The file is left
// owner-only, as the stores require before they write.
std::string runSqliteCli(const std::filesystem::path& file, const std::string& script);

// Rebuilds `table` with the constraint "refused": a row for which `condition` holds
// fails its INSERT ("CHECK constraint failed: refused"), a write that fails halfway.
// (A trigger would do it too, but the stores refuse a database that holds one.)
void refuseRowsWhere(const std::filesystem::path& file, const std::string& table,
                     const std::string& condition);

// Owner read and write only (the stores refuse to write into a more open file).
void makePrivate(const std::filesystem::path& file);

// A tracker whose every field is derived from `n` and `tag`.
TrackerEntry sampleTracker(int n, const std::string& tag = "T");
TrackerList sampleList(int count, const std::string& tag = "T");

// A history row of tracker `tracker` started on day `day` of December 2026; odd days
// got no answer and belong to no campaign.
HistoryRecord sampleRun(int day, const std::string& tracker, Verdict verdict);

}  // namespace vela::test
