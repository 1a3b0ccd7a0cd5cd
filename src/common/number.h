#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vela {

// Reads a decimal integer the way C's atoi does (leading C white space, an optional
// sign, digits up to the first other character, 0 without digits), but saturates to
// the signed 32-bit range instead of overflowing.
int32_t parseAtoi(std::string_view text);

// The same reading without saturation, as a 64-bit value clamped to +-2^62 so that sums
// of a few such values cannot overflow either.
int64_t parseAtoi64(std::string_view text);

// A command-line number: decimal digits only (no sign, no blanks), within [low, high].
// Nothing else is accepted, so "12x" or "" is a usage error rather than a silent 12 or 0.
std::optional<long> parseWholeNumber(std::string_view text, long low, long high);

}  // namespace vela
