#include "sim_commands.h"

#include <cstdio>

namespace velasim {

// Placeholder until this simulator lands.
int RunSimTracker(const Args&) {
    std::fprintf(stderr, "vela-sim tracker: not available yet\n");
    return 1;
}

}  // namespace velasim
