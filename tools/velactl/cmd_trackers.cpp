#include "commands.h"

#include <cstdio>

namespace velactl {

// Placeholder until this subcommand lands.
int RunTrackers(const Args&) {
    std::fprintf(stderr, "velactl trackers: not available yet\n");
    return kExitFailure;
}

}  // namespace velactl
