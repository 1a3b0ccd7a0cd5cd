#include "fleet_csv.h"

#include "common/ascii.h"
#include "storage/csv.h"
#include "storage/tracker_csv.h"

#include <algorithm>

namespace velactl {

namespace {

struct Record {
    std::vector<std::string> fields;
    std::size_t line = 0;
};

std::string trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return std::string(text);
}

// The delimiter that occurs most often outside quotes in the first line.
char detectDelimiter(std::string_view text) {
    std::size_t counts[3] = {0, 0, 0};
    const char candidates[3] = {',', ';', '\t'};
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') quoted = !quoted;
        if (!quoted && (c == '\n' || c == '\r')) break;
        for (int i = 0; i < 3; ++i) counts[i] += !quoted && c == candidates[i] ? 1 : 0;
    }
    const auto most = std::max_element(std::begin(counts), std::end(counts));
    return *most == 0 ? ',' : candidates[most - std::begin(counts)];
}

// RFC 4180 records with `delimiter`, each with the line it starts on; blank lines skipped.
vela::Result<std::vector<Record>> splitRecords(std::string_view text, char delimiter) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    std::vector<Record> records;
    Record record;
    std::string field;
    bool quoted = false, fieldStarted = false;
    std::size_t line = 1;
    record.line = 1;
    const auto endRecord = [&] {
        record.fields.push_back(std::move(field));
        field.clear();
        const bool blank = record.fields.size() == 1 && record.fields[0].empty() && !fieldStarted;
        if (!blank) records.push_back(std::move(record));
        record = Record{};
        fieldStarted = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                if (c == '\n') ++line;
                field += c;
            }
        } else if (c == '"') {
            quoted = fieldStarted = true;
        } else if (c == delimiter) {
            record.fields.push_back(std::move(field));
            field.clear();
            fieldStarted = true;
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            endRecord();
            record.line = ++line;
        } else {
            field += c;
            fieldStarted = true;
        }
    }
    if (quoted) {
        return vela::Status::Invalid("line " + std::to_string(record.line) +
                                     ": a quoted field is not closed");
    }
    if (!field.empty() || !record.fields.empty() || fieldStarted) endRecord();
    return records;
}

}  // namespace

std::string NormalisedPhone(std::string_view phone) {
    std::string digits;
    for (const char c : phone) {
        if (c == '+' || c == ' ' || c == '-' || c == '.' || c == '(' || c == ')') continue;
        digits += c;
    }
    return digits;
}

vela::Result<FleetCsv> TranslateFleetCsv(std::string_view text,
                                         const std::map<std::string, std::string>& mapping,
                                         char delimiter) {
    FleetCsv result;
    result.delimiter = delimiter != 0 ? delimiter : detectDelimiter(text);
    vela::Result<std::vector<Record>> records = splitRecords(text, result.delimiter);
    if (!records) return records.status();
    if (records->empty()) return vela::Status::Invalid("the file has no header row");
    const std::vector<std::string>& header = records->front().fields;

    // Which tracker column each header cell feeds, if any.
    std::vector<std::string> target(header.size());
    for (const auto& entry : mapping) {
        const std::string& column = entry.first;
        const std::string& name = entry.second;
        const auto found = std::find_if(header.begin(), header.end(), [&](const std::string& cell) {
            return vela::EqualsIgnoringAsciiCase(trimmed(cell), name);
        });
        if (found == header.end())
            return vela::Status::Invalid("--column " + column + "=" + name +
                                         ": the header row has no column '" + name + "'");
        target[static_cast<std::size_t>(found - header.begin())] = column;
    }
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (!target[i].empty()) continue;
        const std::string name = trimmed(header[i]);
        const bool mappedElsewhere = std::any_of(
            mapping.begin(), mapping.end(),
            [&](const auto& m) { return vela::EqualsIgnoringAsciiCase(m.first, name); });
        const bool known = std::any_of(
            vela::kTrackerCsvColumns.begin(), vela::kTrackerCsvColumns.end(),
            [&](const char* column) { return vela::EqualsIgnoringAsciiCase(column, name); });
        if (known && !mappedElsewhere)
            target[i] = name;
        else
            result.ignored.push_back(name);
    }

    std::vector<std::string> out;
    for (const std::string& column : target)
        if (!column.empty()) out.push_back(column);
    result.csv = vela::formatCsvRecord(out);
    for (std::size_t r = 1; r < records->size(); ++r) {
        const Record& record = (*records)[r];
        out.clear();
        for (std::size_t i = 0; i < target.size(); ++i) {
            if (target[i].empty()) continue;
            std::string cell = i < record.fields.size() ? record.fields[i] : std::string();
            // A cell reaches the reader as it was (the apostrophe of the export's
            // spreadsheet escape is the reader's to remove), but a phone number is made
            // digits here, after that escape is gone.
            if (vela::EqualsIgnoringAsciiCase(target[i], "Phone"))
                cell = NormalisedPhone(vela::UnescapeSpreadsheetCell(cell));
            out.push_back(std::move(cell));
        }
        result.csv += vela::formatCsvRecord(out);
        result.lines.push_back(record.line);
    }
    return result;
}

}  // namespace velactl
