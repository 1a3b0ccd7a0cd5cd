#include "common/address_range.h"

namespace vela {

namespace {

uint32_t prefixMask(int prefix) {
    return prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
}

bool isSeparator(char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::optional<uint32_t> parseDottedQuad(std::string_view text) {
    uint32_t address = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (text.empty() || text.front() != '.') return std::nullopt;
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        uint32_t value = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
            value = value * 10 + static_cast<uint32_t>(text[digits] - '0');
            if (++digits > 3) return std::nullopt;
        }
        if (digits == 0 || value > 255) return std::nullopt;
        text.remove_prefix(digits);
        address = (address << 8) | value;
    }
    if (!text.empty()) return std::nullopt;
    return address;
}

std::string formatDottedQuad(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

bool AddressRange::Contains(uint32_t address) const {
    return (address & prefixMask(prefix)) == network;
}

std::string AddressRange::Text() const {
    return formatDottedQuad(network) + "/" + std::to_string(prefix);
}

Result<AddressRange> parseAddressRange(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::optional<uint32_t> address = parseDottedQuad(text.substr(0, slash));
    const auto refuse = [&](const std::string& why) {
        return Result<AddressRange>::Fail("not an address range: \"" +
                                              std::string(text.substr(0, 64)) +
                                              (text.size() > 64 ? "..." : "") + "\" (" + why + ")",
                                          StatusCode::Invalid);
    };
    if (!address) return refuse("expected A.B.C.D or A.B.C.D/N");
    AddressRange range;
    range.network = *address;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 2) return refuse("the prefix is 0 to 32");
        int prefix = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return refuse("the prefix is 0 to 32");
            prefix = prefix * 10 + (c - '0');
        }
        if (prefix > 32) return refuse("the prefix is 0 to 32");
        range.prefix = prefix;
    }
    const uint32_t masked = *address & prefixMask(range.prefix);
    if (masked != *address) {
        return refuse("bits set past the prefix; the range is " +
                      AddressRange{masked, range.prefix}.Text());
    }
    return range;
}

bool AddressAllowList::Allows(uint32_t address) const {
    if (ranges_.empty()) return true;
    for (const AddressRange& range : ranges_) {
        if (range.Contains(address)) return true;
    }
    return false;
}

std::string AddressAllowList::Text() const {
    std::string text;
    for (const AddressRange& range : ranges_) {
        if (!text.empty()) text += ", ";
        text += range.Text();
    }
    return text;
}

Result<AddressAllowList> parseAddressAllowList(std::string_view text) {
    std::vector<AddressRange> ranges;
    std::size_t at = 0;
    while (at < text.size()) {
        if (isSeparator(text[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !isSeparator(text[end])) ++end;
        Result<AddressRange> range = parseAddressRange(text.substr(at, end - at));
        if (!range) return Result<AddressAllowList>::Fail(range.message(), range.code());
        ranges.push_back(*range);
        at = end;
    }
    return AddressAllowList(std::move(ranges));
}

}  // namespace vela
