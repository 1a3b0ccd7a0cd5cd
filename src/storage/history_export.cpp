#include "storage/history_export.h"

#include "storage/csv.h"

#include <cstdio>

namespace vela {

namespace {

std::string optionalNumber(const std::optional<int64_t>& value) {
    return value ? std::to_string(*value) : std::string();
}

bool isUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

void appendJsonString(std::string& out, std::string_view text) {
    const bool utf8 = isUtf8(text);
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F || (!utf8 && byte >= 0x80)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(byte));
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

}  // namespace

std::vector<std::string> HistoryFields(const HistoryRecord& record) {
    // In the order of kHistoryColumns.
    return {std::to_string(record.id),
            record.startedAt,
            record.endedAt,
            record.kind,
            record.tracker,
            record.phone,
            record.modemPort,
            record.configFile,
            record.configSha256,
            std::to_string(record.imageBytes),
            record.callerAddress,
            record.callerImei,
            optionalNumber(record.answerBytes),
            std::string(VerdictWord(record.verdict)),
            record.detail,
            optionalNumber(record.campaignId),
            record.delivery,
            record.deliveredAt};
}

std::string FormatHistoryCsv(const std::vector<HistoryRecord>& records) {
    std::string out = formatCsvRecord(
        std::vector<std::string>(std::begin(kHistoryColumns), std::end(kHistoryColumns)));
    for (const HistoryRecord& record : records) out += formatCsvRecord(HistoryFields(record));
    return out;
}

std::string FormatHistoryJson(const std::vector<HistoryRecord>& records) {
    // Columns holding numbers; the others are texts.
    constexpr std::size_t kId = 0, kImageBytes = 9, kAnswerBytes = 12, kCampaignId = 15;
    std::string out = "[";
    for (std::size_t r = 0; r < records.size(); ++r) {
        const std::vector<std::string> fields = HistoryFields(records[r]);
        out += r == 0 ? "\n  {" : ",\n  {";
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i > 0) out += ", ";
            appendJsonString(out, kHistoryColumns[i]);
            out += ": ";
            const bool number =
                i == kId || i == kImageBytes || i == kAnswerBytes || i == kCampaignId;
            if (number) {
                out += fields[i].empty() ? "null" : fields[i];
            } else {
                appendJsonString(out, fields[i]);
            }
        }
        out += '}';
    }
    out += records.empty() ? "]\n" : "\n]\n";
    return out;
}

}  // namespace vela
