#include "modem/delivery_reports.h"

#include "common/ascii.h"

#include <algorithm>

namespace vela {

namespace {

struct Line {
    std::string_view text;  // trimmed, without its line end
    std::size_t end;        // offset just past its line end
};

// The complete lines of `text`, empty ones left out.
std::vector<Line> completeLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        const std::string_view line = TrimBlanks(text.substr(start, i - start));
        if (!line.empty()) lines.push_back({line, i + 1});
        start = i + 1;
    }
    return lines;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A number of up to four digits at the front of `text`, which it then leaves.
std::optional<int> takeNumber(std::string_view& text) {
    int value = 0;
    std::size_t digits = 0;
    while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') {
        value = value * 10 + (text[digits] - '0');
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    text.remove_prefix(digits);
    return value;
}

// "0-2", "0,2", "1" or "0-1,3": the numbers of one parenthesised list.
std::optional<std::vector<int>> numbersOf(std::string_view list) {
    std::vector<int> values;
    while (!list.empty()) {
        list = TrimBlanks(list);
        const std::optional<int> low = takeNumber(list);
        if (!low) return std::nullopt;
        int high = *low;
        list = TrimBlanks(list);
        if (!list.empty() && list.front() == '-') {
            list.remove_prefix(1);
            list = TrimBlanks(list);
            const std::optional<int> top = takeNumber(list);
            if (!top || *top < *low || *top - *low > 16) return std::nullopt;
            high = *top;
        }
        for (int v = *low; v <= high; ++v) values.push_back(v);
        list = TrimBlanks(list);
        if (list.empty()) break;
        if (list.front() != ',') return std::nullopt;
        list.remove_prefix(1);
    }
    return values;
}

bool offers(const std::vector<int>& values, int value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

// The first of `preferred` that is offered, else the first offered value.
int pick(const std::vector<int>& values, std::initializer_list<int> preferred) {
    for (int value : preferred) {
        if (offers(values, value)) return value;
    }
    return values.empty() ? 0 : values.front();
}

}  // namespace

std::optional<CnmiOffer> ParseCnmiOffer(std::string_view reply) {
    for (const Line& line : completeLines(reply)) {
        if (!startsWith(line.text, "+CNMI:")) continue;
        std::string_view rest = line.text.substr(6);
        CnmiOffer offer;
        std::size_t field = 0;
        while (field < offer.values.size()) {
            rest = TrimBlanks(rest);
            if (rest.empty()) break;
            if (rest.front() == ',') rest.remove_prefix(1);
            rest = TrimBlanks(rest);
            if (rest.empty() || rest.front() != '(') return std::nullopt;
            const std::size_t close = rest.find(')');
            if (close == std::string_view::npos) return std::nullopt;
            std::optional<std::vector<int>> values = numbersOf(rest.substr(1, close - 1));
            if (!values) return std::nullopt;
            offer.values[field++] = std::move(*values);
            rest.remove_prefix(close + 1);
        }
        // <ds> is the fourth: an offer without it cannot route reports.
        if (field < 4) return std::nullopt;
        return offer;
    }
    return std::nullopt;
}

std::vector<CnmiChoice> ChooseCnmi(const CnmiOffer& offer) {
    const int mode = pick(offer.values[0], {2, 1});
    const int mt = pick(offer.values[1], {1, 0});
    const int bm = pick(offer.values[2], {0});
    std::vector<CnmiChoice> choices;
    for (int ds : {1, 2}) {
        if (!offers(offer.values[3], ds)) continue;
        std::string command = "AT+CNMI=" + std::to_string(mode) + "," + std::to_string(mt) + "," +
                              std::to_string(bm) + "," + std::to_string(ds);
        if (!offer.values[4].empty()) command += "," + std::to_string(pick(offer.values[4], {0}));
        choices.push_back({command + "\r\n", ds});
    }
    return choices;
}

std::vector<ReportNotice> FindReportNotices(std::string_view text) {
    std::vector<ReportNotice> notices;
    const std::vector<Line> lines = completeLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i].text;
        if (startsWith(line, "+CDSI:")) {
            // +CDSI: "SR",3
            std::string_view rest = TrimBlanks(line.substr(6));
            const std::size_t comma = rest.rfind(',');
            if (comma == std::string_view::npos) continue;
            std::string_view memory = TrimBlanks(rest.substr(0, comma));
            if (memory.size() >= 2 && memory.front() == '"' && memory.back() == '"') {
                memory = memory.substr(1, memory.size() - 2);
            }
            std::string_view number = TrimBlanks(rest.substr(comma + 1));
            const std::optional<int> index = takeNumber(number);
            if (!index || !number.empty() || memory.empty() || memory.size() > 4) continue;
            notices.push_back({{}, std::string(memory), *index, lines[i].end});
        } else if (startsWith(line, "+CDS:")) {
            // +CDS: <length>, and the PDU on the next line (a text-mode report has more
            // fields on this line and is no PDU).
            std::string_view rest = TrimBlanks(line.substr(5));
            if (!takeNumber(rest) || !rest.empty() || i + 1 >= lines.size()) continue;
            ++i;
            notices.push_back({std::string(lines[i].text), {}, -1, lines[i].end});
        }
    }
    return notices;
}

std::optional<std::string> FindReadPdu(std::string_view reply) {
    const std::vector<Line> lines = completeLines(reply);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (startsWith(lines[i].text, "+CMGR:")) return std::string(lines[i + 1].text);
    }
    return std::nullopt;
}

std::vector<std::string> ReportMemories(std::string_view announced) {
    std::vector<std::string> memories;
    for (std::string_view memory : {announced, std::string_view("SR"), std::string_view("SM")}) {
        if (!memory.empty() &&
            std::find(memories.begin(), memories.end(), memory) == memories.end()) {
            memories.emplace_back(memory);
        }
    }
    return memories;
}

bool AsksForStatusReport(std::string_view pushMessage) {
    // The service-centre length octet, its octets, then the first octet of the TPDU.
    auto octet = [&](std::size_t at) -> std::optional<int> {
        if (pushMessage.size() < at + 2) return std::nullopt;
        int value = 0;
        for (char c : pushMessage.substr(at, 2)) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0) return std::nullopt;
            value = value * 16 + digit;
        }
        return value;
    };
    const std::optional<int> centre = octet(0);
    if (!centre) return false;
    const std::optional<int> first = octet(2 + 2 * static_cast<std::size_t>(*centre));
    return first && (*first & 0x20) != 0;
}

}  // namespace vela
