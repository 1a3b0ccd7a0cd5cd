#include "storage/campaign_records.h"

#include <charconv>

#include <sstream>

namespace vela {

std::string ModemPortsText(const std::vector<std::string>& ports) {
    std::string text;
    for (const std::string& port : ports) text += (text.empty() ? "" : "\n") + port;
    return text;
}

std::vector<std::string> ModemPortsFromText(const std::string& text) {
    std::vector<std::string> ports;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) ports.push_back(line);
    }
    return ports;
}

std::string NoSuchCampaign(int64_t id) {
    return "no campaign " + std::to_string(id);
}

}  // namespace vela

namespace vela {

std::optional<int64_t> MessageReferenceFromText(std::string_view text) {
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace vela
