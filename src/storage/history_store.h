#pragma once

#include "common/result.h"
#include "storage/storage_errors.h"
#include "storage/verdict.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vela {

// The kinds of run that leave a row.
inline constexpr const char* kRunKindGo = "go";
inline constexpr const char* kRunKindListen = "listen";
inline constexpr const char* kRunKindCheckPort = "check-port";
inline constexpr const char* kRunKindCampaign = "campaign";

// One row of the History table: what a run was given and how it ended.
struct HistoryRecord {
    int64_t id = 0;         // assigned by SQLite on append
    std::string startedAt;  // UTC, ISO 8601 ("2026-12-07T16:30:11Z")
    std::string endedAt;
    std::string kind;  // kRunKind...
    std::string tracker;
    std::string phone;
    std::string modemPort;
    std::string configFile;  // full path
    std::string configSha256;
    int64_t imageBytes = 0;
    std::string callerAddress;
    std::string callerImei;
    std::optional<int64_t> answerBytes;  // none: no answer came
    Verdict verdict = Verdict::NoCall;
    std::string detail;
    std::optional<int64_t> campaignId;  // none: a single run

    bool operator==(const HistoryRecord&) const = default;
};

// Which rows a query returns; every field left empty matches all.
struct HistoryFilter {
    std::optional<std::string> tracker;
    std::optional<Verdict> verdict;
    std::optional<std::string> since;  // StartedAt at or after this (a date or a timestamp)
    std::optional<int64_t> campaignId;
    std::optional<int64_t> limit;
};

// The column names in table order, for exports.
inline constexpr const char* kHistoryColumns[] = {
    "ID",          "StartedAt",  "EndedAt",      "Kind",       "Tracker",       "Phone",
    "ModemPort",   "ConfigFile", "ConfigSha256", "ImageBytes", "CallerAddress", "CallerImei",
    "AnswerBytes", "Verdict",    "Detail",       "CampaignId",
};

// The INSERT of one run's record: every column of kHistoryColumns but the ID, in that
// order, as parameters 1 to 15 written "?N" (SQLite) or "$N" (PostgreSQL). Both engines
// build their statement here, so a new column is added in one place.
const std::string& HistoryInsertStatement(char placeholder);

// The current time as History writes it.
std::string HistoryTimestamp();
// `when` as History writes it.
std::string HistoryTimestamp(std::chrono::system_clock::time_point when);

// True for "YYYY-MM-DD" and for a timestamp as HistoryTimestamp writes it.
bool IsHistoryDate(const std::string& text);

// The History table of settings.accdb in the working directory. Every operation opens
// and closes its own connection; the table is made (and the schema brought forward) by
// the first append. A database that does not exist is not created for a record (the
// append does nothing), and reads as an empty history.
class HistoryStore {
public:
    HistoryStore(std::filesystem::path workingDirectory, StorageErrorReporter reporter = {});

    // Adds one row; its ID is assigned by SQLite.
    Status append(const HistoryRecord& record) const;
    // Newest first. A database without the table has no history yet: an empty list.
    Result<std::vector<HistoryRecord>> query(const HistoryFilter& filter) const;

private:
    std::filesystem::path workingDirectory_;
    StorageErrorReporter reporter_;
};

}  // namespace vela
