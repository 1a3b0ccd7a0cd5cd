#pragma once

#include <cstdint>

namespace vela {

// A number column read as a 32-bit field: the low 32 bits of whatever integer another
// tool stored (255.255.255.255 kept as -1 comes back as 0xFFFFFFFF).
inline uint32_t low32Bits(int64_t value) {
    return static_cast<uint32_t>(value);
}
inline int32_t columnInt32(int64_t value) {
    return static_cast<int32_t>(low32Bits(value));
}

}  // namespace vela
