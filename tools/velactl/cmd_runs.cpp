#include "commands.h"

#include <cstdio>

namespace velactl {

// Placeholders until the headless runs land.
int RunListen(const Args&) {
    std::fprintf(stderr, "velactl listen: not available yet\n");
    return kExitFailure;
}
int RunGo(const Args&) {
    std::fprintf(stderr, "velactl go: not available yet\n");
    return kExitFailure;
}
int RunCheckPort(const Args&) {
    std::fprintf(stderr, "velactl check-port: not available yet\n");
    return kExitFailure;
}

}  // namespace velactl
