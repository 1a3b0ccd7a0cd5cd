#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vela {

// The binary configuration image handed to a tracker: a header (rest length, marker
// 0x44, record count) followed by parameter records. Lives in a fixed array; a
// successful read rebuilds it from offset 0, a refused one leaves it as it was.
struct ConfigImage {
    static constexpr std::size_t kCapacity = 65536;
    std::array<uint8_t, kCapacity> bytes{};
    uint16_t length = 0;

    std::span<const uint8_t> view() const { return {bytes.data(), length}; }
};

}  // namespace vela
