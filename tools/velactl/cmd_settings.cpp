#include "commands.h"

#include <cstdio>

namespace velactl {

// Placeholder until this subcommand lands.
int RunSettings(const Args&) {
    std::fprintf(stderr, "velactl settings: not available yet\n");
    return kExitFailure;
}

}  // namespace velactl
