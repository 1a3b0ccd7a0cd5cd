#include "commands.h"

#include <cstdio>

namespace velactl {

// Placeholder until this subcommand lands.
int RunEncode(const Args&) {
    std::fprintf(stderr, "velactl encode: not available yet\n");
    return kExitFailure;
}

}  // namespace velactl
