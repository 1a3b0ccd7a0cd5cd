#include "storage/csv.h"

namespace vela {

std::string EscapeSpreadsheetCell(std::string_view cell);

Result<std::vector<CsvRecord>> parseCsv(std::string_view text) {
    std::vector<CsvRecord> records;
    Status parsed = ForEachCsvRecord(text, [&records](CsvRecord& record) {
        records.push_back(std::move(record));
        return Status::Ok();
    });
    if (!parsed) return parsed;
    return records;
}

Status ForEachCsvRecord(std::string_view text, const std::function<Status(CsvRecord&)>& take) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    size_t line = 1;
    size_t pos = 0;
    const size_t size = text.size();
    auto endOfLine = [&](size_t at) { return text[at] == '\r' || text[at] == '\n'; };
    auto skipLineBreak = [&] {
        if (text[pos] == '\r' && pos + 1 < size && text[pos + 1] == '\n') ++pos;
        ++pos;
        ++line;
    };
    const auto tooLong = [&] {
        return Status::Fail("line " + std::to_string(line) + ": a field is longer than " +
                            std::to_string(kMaxCsvFieldBytes) + " bytes");
    };
    while (pos < size) {
        CsvRecord record;
        record.line = line;
        for (;;) {
            std::string field;
            if (pos < size && text[pos] == '"') {
                const size_t openedOn = line;
                ++pos;
                for (;;) {
                    if (pos >= size) {
                        return Status::Fail("line " + std::to_string(openedOn) +
                                            ": a quoted field is not closed");
                    }
                    const char c = text[pos];
                    if (c == '"') {
                        if (pos + 1 < size && text[pos + 1] == '"') {
                            field += '"';
                            pos += 2;
                            continue;
                        }
                        ++pos;
                        break;
                    }
                    if (c == '\n' || (c == '\r' && !(pos + 1 < size && text[pos + 1] == '\n'))) {
                        ++line;
                    }
                    if (field.size() == kMaxCsvFieldBytes) return tooLong();
                    field += c;
                    ++pos;
                }
                if (pos < size && text[pos] != ',' && !endOfLine(pos)) {
                    return Status::Fail("line " + std::to_string(line) +
                                        ": text after the closing quote of a field");
                }
            } else {
                while (pos < size && text[pos] != ',' && !endOfLine(pos)) {
                    if (field.size() == kMaxCsvFieldBytes) return tooLong();
                    field += text[pos++];
                }
            }
            record.fields.push_back(std::move(field));
            if (pos < size && text[pos] == ',') {
                ++pos;
                continue;
            }
            break;  // end of line or of text
        }
        if (pos < size) skipLineBreak();
        if (Status taken = take(record); !taken) return taken;
    }
    return Status::Ok();
}

std::string formatCsvRecord(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += ',';
        const std::string field = EscapeSpreadsheetCell(fields[i]);
        const bool quote = field.find_first_of(",\"\r\n") != std::string::npos ||
                           (!field.empty() && (field.front() == ' ' || field.back() == ' '));
        if (!quote) {
            out += field;
            continue;
        }
        out += '"';
        for (char c : field) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    out += "\r\n";
    return out;
}

namespace {

bool startsFormula(char c) {
    return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

// An apostrophe that a reader removes: one in front of a formula character or of
// another apostrophe.
bool startsWithEscape(std::string_view cell) {
    return cell.size() > 1 && cell[0] == '\'' && (startsFormula(cell[1]) || cell[1] == '\'');
}

}  // namespace

std::string EscapeSpreadsheetCell(std::string_view cell) {
    if ((!cell.empty() && startsFormula(cell[0])) || startsWithEscape(cell)) {
        // Appended, not `"'" + std::string(cell)`: GCC 12 at -O3 takes that for an
        // overlapping copy.
        std::string escaped = "'";
        escaped.append(cell);
        return escaped;
    }
    return std::string(cell);
}

std::string UnescapeSpreadsheetCell(std::string_view cell) {
    if (startsWithEscape(cell)) cell.remove_prefix(1);
    return std::string(cell);
}

}  // namespace vela
