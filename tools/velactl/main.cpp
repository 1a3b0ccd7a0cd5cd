// velactl: Vela from the command line. Headless runs (listen, go, check-port) drive the
// same MainDialog as the window; the other subcommands reach the core directly.
#include "commands.h"

#include "vela_version.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Command {
    const char* name;
    int (*run)(const velactl::Args&);
    const char* summary;
};

constexpr Command kCommands[] = {
    {"encode", velactl::RunEncode, "encode an XML configuration file into an image"},
    {"decode", velactl::RunDecode, "list the header and records of an image"},
    {"db", velactl::RunDb, "create the settings database"},
    {"settings", velactl::RunSettings, "show or change the stored settings"},
    {"trackers", velactl::RunTrackers, "list, add, remove, import or export trackers"},
    {"pdu", velactl::RunPdu, "print the wake-up SMS of a tracker as a PDU"},
    {"sms", velactl::RunSms, "send a tracker's wake-up SMS through the modem"},
    {"modem", velactl::RunModem, "check the modem: model, SIM, signal, registration"},
    {"listen", velactl::RunListen, "configure a tracker that calls by itself"},
    {"go", velactl::RunGo, "wake a tracker by SMS and configure it"},
    {"check-port", velactl::RunCheckPort, "prove through the test server that the port is reachable"},
    {"history", velactl::RunHistory, "list the recorded runs and their verdicts"},
    {"campaign", velactl::RunCampaign, "configure many trackers in one run, resumable"},
};

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: velactl COMMAND [OPTIONS]\n"
                 "       velactl COMMAND --help\n"
                 "       velactl --version\n\n"
                 "Configures GPS trackers over the air, without a window.\n\nCommands:\n");
    for (const Command& command : kCommands) {
        std::fprintf(out, "  %-11s %s\n", command.name, command.summary);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(stderr);
        return velactl::kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        printUsage(stdout);
        return velactl::kExitOk;
    }
    if (first == "--version" || first == "-V") {
        std::printf("velactl (%s) %s\n", vela::kProgramName, vela::kVersion);
        return velactl::kExitOk;
    }
    for (const Command& command : kCommands) {
        if (first == command.name) {
            return command.run(velactl::Args(argv + 2, argv + argc));
        }
    }
    std::fprintf(stderr, "velactl: unknown command '%s'\n\n", first.c_str());
    printUsage(stderr);
    return velactl::kExitUsage;
}
