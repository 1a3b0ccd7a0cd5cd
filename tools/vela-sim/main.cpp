// vela-sim: a simulated GSM modem on a pseudo-terminal and a simulated tracker, for
// tests, the demo and operators who want to rehearse without hardware.
#include "sim_commands.h"
#include "vela_version.h"

#include <cstdio>
#include <string>

namespace {

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: vela-sim modem [OPTIONS]     a GSM modem on a pseudo-terminal\n"
                 "       vela-sim tracker [OPTIONS]   a tracker that calls Vela\n"
                 "       vela-sim fleet [OPTIONS]     many trackers behind several modems\n"
                 "       vela-sim COMMAND --help\n"
                 "       vela-sim --version\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(stderr);
        return 2;
    }
    const std::string command = argv[1];
    const velasim::Args args(argv + 2, argv + argc);
    if (command == "modem") return velasim::RunSimModem(args);
    if (command == "tracker") return velasim::RunSimTracker(args);
    if (command == "fleet") return velasim::RunSimFleet(args);
    if (command == "--help" || command == "-h") {
        printUsage(stdout);
        return 0;
    }
    if (command == "--version" || command == "-V") {
        std::printf("vela-sim (%s) %s\n", vela::kProgramName, vela::kVersion);
        return 0;
    }
    std::fprintf(stderr, "vela-sim: unknown command '%s'\n", command.c_str());
    printUsage(stderr);
    return 2;
}
