#pragma once

#include "common/result.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

// One record of a CSV text and the line on which it starts (from 1), for messages.
struct CsvRecord {
    size_t line = 0;
    std::vector<std::string> fields;
};

// The longest field read: no value of a tracker or a run comes near it, and a file with
// a field of hundreds of megabytes is refused at that field, without holding it.
inline constexpr size_t kMaxCsvFieldBytes = size_t{1} << 20;

// RFC 4180: fields separated by commas, records by CRLF (LF or CR alone are accepted
// too); a field in double quotes may hold commas, line breaks and doubled quotes. A
// UTF-8 byte order mark in front is skipped, a line break at the end makes no record.
// Fails on a quoted field that is not closed or has text after its closing quote, and
// on a field longer than kMaxCsvFieldBytes.
Result<std::vector<CsvRecord>> parseCsv(std::string_view text);

// The same reading, one record at a time, so a long file is never held twice. Stops at
// the first failure of the text or of `take`, and returns it.
Status ForEachCsvRecord(std::string_view text, const std::function<Status(CsvRecord&)>& take);

// One record with CRLF at its end; a field is quoted when it holds a comma, a quote,
// a line break or spaces at its edges. Every field first goes through
// EscapeSpreadsheetCell: whatever a file, a database or a network caller put into a
// text, no exported cell is read as a formula.
std::string formatCsvRecord(const std::vector<std::string>& fields);

// A spreadsheet reads a cell that starts with = + - @ tab or carriage return as a
// formula. Such a cell is written with an apostrophe in front, and so is a cell that
// starts with an apostrophe followed by one of those characters or by another
// apostrophe; UnescapeSpreadsheetCell removes exactly that apostrophe again, so every
// text comes back unchanged.
std::string EscapeSpreadsheetCell(std::string_view cell);
std::string UnescapeSpreadsheetCell(std::string_view cell);

}  // namespace vela
