#include "storage/hex_port.h"

#include <cstdio>

namespace vela {

namespace {

// Digits and codes from 128 count from '0'; everything from ':' to DEL counts from
// 'A' - 10. Other characters are not refused; they give what this arithmetic gives.
int digitValue(char c) {
    const int code = static_cast<unsigned char>(c);
    return (code <= 57 || code >= 128) ? code - 48 : code - 55;
}

}  // namespace

uint8_t parseHexPair(std::string_view text) {
    if (text.size() != 2) return 0;
    // Conversion to an unsigned 8-bit value is reduction modulo 256.
    return static_cast<uint8_t>(16 * digitValue(text[0]) + digitValue(text[1]));
}

int32_t parseHexPort(std::string_view text) {
    std::string padded = "0000";
    padded.append(text);
    const std::string_view last4 = std::string_view(padded).substr(padded.size() - 4);
    return parseHexPair(last4.substr(0, 2)) * 256 + parseHexPair(last4.substr(2, 2));
}

std::string formatHexPort(int32_t port) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%.4X", static_cast<unsigned>(port));
    return buffer;
}

}  // namespace vela
