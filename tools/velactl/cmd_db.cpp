#include "commands.h"

#include <cstdio>

namespace velactl {

// Placeholder until this subcommand lands.
int RunDb(const Args&) {
    std::fprintf(stderr, "velactl db: not available yet\n");
    return kExitFailure;
}

}  // namespace velactl
