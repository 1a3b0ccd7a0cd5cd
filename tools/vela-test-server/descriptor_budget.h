#pragma once

#include "common/result.h"

#include <cstddef>

namespace velatestserver {

// How many clients and call-backs the server may hold at once so that it never runs
// out of descriptors by its own doing.
struct DescriptorBudget {
    std::size_t maxClients = 0;
    std::size_t maxCallbacks = 0;
    std::size_t limit = 0;  // RLIMIT_NOFILE (soft) once raised
};

// Raises the soft descriptor limit as far as the wanted numbers need (never past the
// hard limit) and fits them into it. Clients are reduced to what is left; call-backs
// may take at most half of the free descriptors: asked for explicitly (`callbacksGiven`)
// beyond that, it is refused with the largest number that fits, otherwise reduced.
vela::Result<DescriptorBudget> PlanDescriptors(std::size_t wantedClients,
                                               std::size_t wantedCallbacks, bool callbacksGiven);

}  // namespace velatestserver
