#include "descriptor_budget.h"

#include "common/descriptor_limit.h"

#include <algorithm>
#include <string>

namespace velatestserver {

vela::Result<DescriptorBudget> PlanDescriptors(std::size_t wantedClients,
                                               std::size_t wantedCallbacks, bool callbacksGiven) {
    const vela::Result<vela::DescriptorRoom> room =
        vela::reserveDescriptors(wantedClients + wantedCallbacks);
    if (!room) return vela::Result<DescriptorBudget>::Fail(room.message());
    const std::size_t cap = room->limit;
    const std::size_t free = room->free;
    const std::size_t callbackRoom = free / 2;
    if (callbackRoom == 0) {
        return vela::Result<DescriptorBudget>::Fail("the descriptor limit (" + std::to_string(cap) +
                                                    ") leaves no room to serve");
    }
    if (callbacksGiven && wantedCallbacks > callbackRoom) {
        return vela::Result<DescriptorBudget>::Fail(
            "--max-callbacks " + std::to_string(wantedCallbacks) +
            " is more than the descriptor limit allows (at most " + std::to_string(callbackRoom) +
            " with a limit of " + std::to_string(cap) + ")");
    }
    DescriptorBudget budget;
    budget.limit = cap;
    budget.maxCallbacks = std::min(wantedCallbacks, callbackRoom);
    budget.maxClients = std::min(wantedClients, free - budget.maxCallbacks);
    return budget;
}

}  // namespace velatestserver
