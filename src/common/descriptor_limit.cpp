#include "common/descriptor_limit.h"

#include <sys/resource.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace vela {

namespace {

// Kept free for the listener, the wake-up pipe, logs, databases and whatever a library
// opens.
constexpr std::size_t kSpareDescriptors = 16;

std::size_t descriptorsOpenNow() {
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return error || count == 0 ? 3 : count;  // without /proc: the three standard ones
}

}  // namespace

Result<DescriptorRoom> reserveDescriptors(std::size_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return Result<DescriptorRoom>::Fail(std::string("getrlimit: ") + std::strerror(errno));
    }
    const std::size_t overhead = descriptorsOpenNow() + kSpareDescriptors;
    const rlim_t needed = static_cast<rlim_t>(overhead + wanted);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    DescriptorRoom room;
    room.limit = limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(needed)
                                                 : static_cast<std::size_t>(limit.rlim_cur);
    room.free = room.limit > overhead ? room.limit - overhead : 0;
    return room;
}

}  // namespace vela
