#include "commands.h"

#include <cstdio>

namespace velactl {

// Placeholder until this subcommand lands.
int RunSms(const Args&) {
    std::fprintf(stderr, "velactl sms: not available yet\n");
    return kExitFailure;
}

}  // namespace velactl
