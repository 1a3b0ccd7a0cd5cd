// vela-sim: a simulated GSM modem on a pseudo-terminal and a simulated tracker, for
// tests, the demo and operators who want to rehearse without hardware.
#include "common/command_line.h"
#include "sim_commands.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    const vela::CommandLine line("vela-sim",
                                 "vela-sim COMMAND [OPTIONS]\n"
                                 "       vela-sim COMMAND --help",
                                 "Rehearses Vela without hardware.\n\n"
                                 "Commands:\n"
                                 "  modem       a GSM modem on a pseudo-terminal\n"
                                 "  tracker     a tracker that calls Vela\n"
                                 "  fleet       many trackers behind several modems");
    const std::vector<std::string> words(argv + 1, argv + argc);
    // Options before the command are vela-sim's own (--help, --version).
    std::size_t commandAt = 0;
    while (commandAt < words.size() && words[commandAt].size() > 1 && words[commandAt][0] == '-')
        ++commandAt;
    int exitCode = 0;
    if (!line.parse({words.begin(), words.begin() + static_cast<long>(commandAt)}, exitCode))
        return exitCode;
    if (commandAt == words.size()) return line.usageError("missing command");
    const std::string& command = words[commandAt];
    const velasim::Args args(words.begin() + static_cast<long>(commandAt) + 1, words.end());
    if (command == "modem") return velasim::RunSimModem(args);
    if (command == "tracker") return velasim::RunSimTracker(args);
    if (command == "fleet") return velasim::RunSimFleet(args);
    return line.usageError("unknown command '" + command + "'");
}
