#pragma once

#include "common/result.h"

#include <cstddef>

namespace vela {

// The descriptors a server may still open for its connections.
struct DescriptorRoom {
    std::size_t limit = 0;  // RLIMIT_NOFILE (soft) once raised
    std::size_t free = 0;   // beside those open now and a spare for the program's own use
};

// Raises the soft descriptor limit as far as `wanted` more descriptors need (never past
// the hard limit) and tells how many are free then. Only counts matter: nothing here
// uses select(), so any descriptor number is fine.
Result<DescriptorRoom> reserveDescriptors(std::size_t wanted);

}  // namespace vela
