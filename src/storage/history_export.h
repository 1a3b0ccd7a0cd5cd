#pragma once

#include "storage/history_store.h"

#include <string>
#include <vector>

namespace vela {

// The record's fields in column order (kHistoryColumns) as text; NULL as empty.
std::vector<std::string> HistoryFields(const HistoryRecord& record);

// A header line with the column names, then one CSV record per row (CRLF ends).
std::string FormatHistoryCsv(const std::vector<HistoryRecord>& records);

// An array of objects with the column names as keys: numbers as numbers, NULL as
// null, every text as a JSON string (bytes that are not UTF-8 read as Latin-1).
std::string FormatHistoryJson(const std::vector<HistoryRecord>& records);

}  // namespace vela
