#pragma once

#include <cstdint>
#include <string_view>

namespace vela {

// Reads a decimal integer the way C's atoi does (leading C white space, an optional
// sign, digits up to the first other character, 0 without digits), but saturates to
// the signed 32-bit range instead of overflowing.
int32_t parseAtoi(std::string_view text);

// The same reading without saturation, as a 64-bit value clamped to +-2^62 so that sums
// of a few such values cannot overflow either.
int64_t parseAtoi64(std::string_view text);

}  // namespace vela
