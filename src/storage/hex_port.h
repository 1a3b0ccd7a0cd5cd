#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vela {

// One byte from a text of exactly two characters (any other length gives 0), by the
// digit rule of the port boxes: code - 48 for codes up to 57 or from 128, code - 55
// for codes 58 to 127; (16 * first + second) mod 256.
uint8_t parseHexPair(std::string_view text);

// A port typed in hexadecimal: "0000" in front, the last four characters, two pairs.
// Always 0 to 65535.
int32_t parseHexPort(std::string_view text);

// "%.4X": at least four upper-case hexadecimal digits.
std::string formatHexPort(int32_t port);

}  // namespace vela
