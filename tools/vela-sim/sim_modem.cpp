#include "sim_commands.h"

#include <cstdio>

namespace velasim {

// Placeholder until this simulator lands.
int RunSimModem(const Args&) {
    std::fprintf(stderr, "vela-sim modem: not available yet\n");
    return 1;
}

}  // namespace velasim
