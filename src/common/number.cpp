#include "common/number.h"

#include <limits>

namespace vela {
namespace {

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr int64_t kClamp64 = int64_t{1} << 62;

}  // namespace

int64_t parseAtoi64(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isCSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        // Clamp before multiplying: value * 10 itself may not fit 64 bits.
        const int digit = text[i] - '0';
        value = value > (kClamp64 - digit) / 10 ? kClamp64 : value * 10 + digit;
    }
    return negative ? -value : value;
}

int32_t parseAtoi(std::string_view text) {
    const int64_t value = parseAtoi64(text);
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

std::optional<long> parseWholeNumber(std::string_view text, long low, long high) {
    // Nine digits fit any long, so the sum below cannot overflow.
    if (text.empty() || text.size() > 9) return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return std::nullopt;
    return value;
}

}  // namespace vela
