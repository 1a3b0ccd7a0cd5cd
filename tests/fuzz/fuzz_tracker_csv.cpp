// A tracker CSV file as any bytes: reading never fails without a reason, every text
// survives the spreadsheet escape, and what was read is written without a cell that a
// spreadsheet would take for a formula and reads back as the same entries.
#include "storage/csv.h"
#include "storage/tracker_csv.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool startsFormula(const std::string& cell) {
    return !cell.empty() &&
           std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check(vela::UnescapeSpreadsheetCell(vela::EscapeSpreadsheetCell(text)) == text);
    check(!startsFormula(vela::EscapeSpreadsheetCell(text)));

    const auto entries = vela::readTrackerCsv(text);
    if (!entries) {
        check(!entries.message().empty());
        return 0;
    }
    vela::TrackerList list;
    for (const vela::TrackerEntry& entry : entries.value()) list.add(entry);
    const std::string written = vela::writeTrackerCsv(list);
    const auto records = vela::parseCsv(written);
    check(records.ok());
    for (const vela::CsvRecord& record : records.value()) {
        for (const std::string& cell : record.fields) check(!startsFormula(cell));
    }
    const auto again = vela::readTrackerCsv(written);
    check(again.ok() && again.value() == entries.value());
    return 0;
}
