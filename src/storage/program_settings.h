#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vela {

// The five settings of the program; one row of the Settings table.
struct ProgramSettings {
    uint32_t externalIp = 0;       // first octet in the most significant byte
    int32_t externalPort = 16384;  // told to trackers in the push message
    int32_t localPort = 16384;     // where the listening socket accepts trackers
    int32_t timeoutSeconds = 20;   // shown by the settings dialog, kept as it is
    std::string modemPort = "COM3";

    bool operator==(const ProgramSettings&) const = default;
};

// "%d.%d.%d.%d", most significant byte first.
std::string formatIpv4(uint32_t address);
// The address of "A.B.C.D" (each part 0 to 255, at most three digits); nothing otherwise.
std::optional<uint32_t> parseIpv4(std::string_view text);

}  // namespace vela
