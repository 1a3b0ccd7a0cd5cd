#include "descriptor_budget.h"

#include <sys/resource.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace velatestserver {
namespace {

// Kept free for the listener, epoll, the stop pipe, the log and whatever a library opens.
constexpr std::size_t kSpareDescriptors = 16;

std::size_t DescriptorsOpenNow() {
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return error || count == 0 ? 3 : count;  // without /proc: the three standard ones
}

}  // namespace

vela::Result<DescriptorBudget> PlanDescriptors(std::size_t wantedClients,
                                               std::size_t wantedCallbacks, bool callbacksGiven) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return vela::Result<DescriptorBudget>::Fail(std::string("getrlimit: ") +
                                                    std::strerror(errno));
    }
    const std::size_t overhead = DescriptorsOpenNow() + kSpareDescriptors;
    const rlim_t wanted = static_cast<rlim_t>(overhead + wantedClients + wantedCallbacks);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    // select() and friends are not used, so any limit is fine; only the count matters.
    const std::size_t cap = limit.rlim_cur == RLIM_INFINITY
                                ? static_cast<std::size_t>(wanted)
                                : static_cast<std::size_t>(limit.rlim_cur);
    const std::size_t free = cap > overhead ? cap - overhead : 0;
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
