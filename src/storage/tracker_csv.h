#pragma once

#include "common/result.h"
#include "storage/tracker_list.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

// The columns of a tracker CSV file: the Trackers table's columns without ID, numbers
// in decimal (Port too, as stored).
inline constexpr std::array<const char*, 10> kTrackerCsvColumns = {
    "Imei", "Phone", "Port", "APN", "Auth", "SMSuser", "SMSpass", "GPRSuser", "GPRSpass", "Mode"};

// The largest CSV file imported: about two million rows.
inline constexpr size_t kMaxTrackerCsvBytes = size_t{256} * 1024 * 1024;

// The header row and one row per entry, in list order, CRLF line ends. Cells that a
// spreadsheet would take for a formula get a leading apostrophe (EscapeSpreadsheetCell).
std::string writeTrackerCsv(const TrackerList& list);

// Reads a CSV whose first row names the columns. Names are matched ignoring case and
// surrounding spaces, in any order; Imei is required, a missing column reads as empty
// text or 0, an unknown or repeated one is refused. Blank lines are skipped. Numbers
// are decimal 32-bit integers (empty reads as 0). The apostrophe of the export's
// spreadsheet escape is removed from every cell. Fails, naming the line, on the first
// malformed row.
Result<std::vector<TrackerEntry>> readTrackerCsv(std::string_view text);

}  // namespace vela
