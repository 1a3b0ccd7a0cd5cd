#include "commands.h"

#include <cstdio>

namespace velactl {

// Placeholder until this subcommand lands.
int RunDecode(const Args&) {
    std::fprintf(stderr, "velactl decode: not available yet\n");
    return kExitFailure;
}

}  // namespace velactl
