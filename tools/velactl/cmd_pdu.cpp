#include "commands.h"

#include <cstdio>

namespace velactl {

// Placeholder until this subcommand lands.
int RunPdu(const Args&) {
    std::fprintf(stderr, "velactl pdu: not available yet\n");
    return kExitFailure;
}

}  // namespace velactl
