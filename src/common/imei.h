#pragma once

#include <cstddef>
#include <string_view>

namespace vela {

// An IMEI as a tracker sends it: fifteen decimal digits.
inline constexpr std::size_t kImeiDigits = 15;

// True for fifteen ASCII digits and nothing else. A description of fifteen characters
// such as "Truck-0042-Kyiv" is not an IMEI: a run for it must not wait for one caller
// that no tracker can be.
inline bool IsImei(std::string_view text) {
    if (text.size() != kImeiDigits) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace vela
