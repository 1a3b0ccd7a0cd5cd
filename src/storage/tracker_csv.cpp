#include "storage/tracker_csv.h"

#include "common/ascii.h"

#include "common/ascii.h"
#include "storage/csv.h"

#include <cstdint>
#include <limits>
#include <optional>

namespace vela {

namespace {

std::optional<int32_t> parseDecimal(std::string_view text) {
    text = TrimBlanks(text);
    if (text.empty()) return 0;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

bool isBlank(const CsvRecord& record) {
    return record.fields.size() == 1 && TrimBlanks(record.fields[0]).empty();
}

using Entries = std::vector<TrackerEntry>;

}  // namespace

std::string writeTrackerCsv(const TrackerList& list) {
    std::string out = formatCsvRecord({kTrackerCsvColumns.begin(), kTrackerCsvColumns.end()});
    for (const TrackerEntry& e : list.entries()) {
        std::vector<std::string> cells = {e.description,
                                          e.phone,
                                          std::to_string(e.pushPort),
                                          e.apn,
                                          std::to_string(e.auth),
                                          e.smsUser,
                                          e.smsPassword,
                                          e.gprsUser,
                                          e.gprsPassword,
                                          std::to_string(e.deviceType)};
        out += formatCsvRecord(cells);
    }
    return out;
}

namespace {

// columnOf[i]: which known column the file's i-th field holds.
Result<std::vector<size_t>> readHeader(const CsvRecord& header) {
    std::vector<size_t> columnOf;
    std::array<bool, kTrackerCsvColumns.size()> seen{};
    const std::string where = "line " + std::to_string(header.line) + ": ";
    for (const std::string& rawName : header.fields) {
        const std::string_view name = TrimBlanks(rawName);
        size_t known = kTrackerCsvColumns.size();
        for (size_t k = 0; k < kTrackerCsvColumns.size(); ++k) {
            if (EqualsIgnoringAsciiCase(name, kTrackerCsvColumns[k])) known = k;
        }
        if (known == kTrackerCsvColumns.size()) {
            return Status::Fail(where + "unknown column '" + std::string(name) +
                                "' (the columns are Imei, Phone, Port, APN, Auth, SMSuser, "
                                "SMSpass, GPRSuser, GPRSpass, Mode)");
        }
        if (seen[known]) {
            return Status::Fail(where + "column " + kTrackerCsvColumns[known] + " appears twice");
        }
        seen[known] = true;
        columnOf.push_back(known);
    }
    if (!seen[0]) return Status::Fail(where + "the header row has no Imei column");
    return columnOf;
}

Result<TrackerEntry> readRow(CsvRecord& record, const std::vector<size_t>& columnOf) {
    const std::string where = "line " + std::to_string(record.line) + ": ";
    if (record.fields.size() != columnOf.size()) {
        return Status::Fail(where + std::to_string(record.fields.size()) +
                            " fields, but the header row has " + std::to_string(columnOf.size()));
    }
    TrackerEntry entry;
    for (size_t i = 0; i < columnOf.size(); ++i) {
        std::string value = UnescapeSpreadsheetCell(record.fields[i]);
        int32_t* number = nullptr;
        switch (columnOf[i]) {
            case 0:
                entry.description = std::move(value);
                break;
            case 1:
                entry.phone = std::move(value);
                break;
            case 2:
                number = &entry.pushPort;
                break;
            case 3:
                entry.apn = std::move(value);
                break;
            case 4:
                number = &entry.auth;
                break;
            case 5:
                entry.smsUser = std::move(value);
                break;
            case 6:
                entry.smsPassword = std::move(value);
                break;
            case 7:
                entry.gprsUser = std::move(value);
                break;
            case 8:
                entry.gprsPassword = std::move(value);
                break;
            default:
                number = &entry.deviceType;
                break;
        }
        if (number == nullptr) continue;
        std::optional<int32_t> parsedNumber = parseDecimal(value);
        if (!parsedNumber) {
            return Status::Fail(where + kTrackerCsvColumns[columnOf[i]] + " '" + value +
                                "' is not a whole number");
        }
        *number = *parsedNumber;
    }
    return entry;
}

}  // namespace

Result<Entries> readTrackerCsv(std::string_view text) {
    Entries entries;
    std::optional<std::vector<size_t>> columnOf;
    Status read = ForEachCsvRecord(text, [&](CsvRecord& record) -> Status {
        if (isBlank(record)) return Status::Ok();
        if (!columnOf) {
            Result<std::vector<size_t>> header = readHeader(record);
            if (!header) return header.status();
            columnOf = std::move(header).value();
            return Status::Ok();
        }
        Result<TrackerEntry> entry = readRow(record, *columnOf);
        if (!entry) return entry.status();
        entries.push_back(std::move(entry).value());
        return Status::Ok();
    });
    if (!read) return read;
    if (!columnOf) return Result<Entries>::Fail("no header row");
    return entries;
}

}  // namespace vela
