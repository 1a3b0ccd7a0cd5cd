// velactl: Vela from the command line. Headless runs (listen, go, check-port) drive the
// same MainDialog as the window; the other subcommands reach the core directly.
#include "commands.h"

#include "common/command_line.h"
#include "storage/pg/installation_choice.h"
#include "storage/pg/storage_choice.h"

#include <poll.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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
    {"check-port", velactl::RunCheckPort,
     "prove through the test server that the port is reachable"},
    {"history", velactl::RunHistory, "list the recorded runs and their verdicts"},
    {"campaign", velactl::RunCampaign, "configure many trackers in one run, resumable"},
    {"station", velactl::RunStation, "run an unattended station over the campaign queue"},
};

vela::CommandLine GlobalCommandLine() {
    std::string about = "Configures GPS trackers over the air, without a window.\n\nCommands:\n";
    for (const Command& command : kCommands) {
        std::string name = command.name;
        name.resize(12, ' ');
        about += "  " + name + command.summary + "\n";
    }
    vela::CommandLine line("velactl",
                           "velactl [--dir DIR | --user-data] [--database URL] COMMAND [OPTIONS]\n"
                           "       velactl COMMAND --help",
                           about);
    line.dataChoice().epilog(
        "The data: a command's own options come first, then these, then the environment:\n"
        "--database-file, --database, $VELA_DATABASE name a shared PostgreSQL database;\n"
        "without one settings.accdb is in --dir, --user-data, $VELA_DIR or the current\n"
        "directory (which also holds test-server.ini).\n\n"
        "Exit status: 0 success, 1 failure, 2 usage error, 3 a --timeout ran out.");
    return line;
}

// The global options are the words before the command: options and the value of --dir.
std::size_t CommandPosition(const std::vector<std::string>& words) {
    std::size_t at = 0;
    while (at < words.size()) {
        const std::string& word = words[at];
        if (word == "--") return at + 1;
        if (word == "--dir" || word == "--database" || word == "--database-file") {
            at += 2;
        } else if (word.size() > 1 && word[0] == '-') {
            ++at;
        } else {
            break;
        }
    }
    return std::min(at, words.size());
}

// Standard output is a pipe whose reader has gone.
bool OutputReaderGone() {
    pollfd output{STDOUT_FILENO, 0, 0};
    return ::poll(&output, 1, 0) == 1 && (output.revents & POLLERR) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (words.size() == 1 && words.front() == vela::kDescribeOptions) {
        // The global options, then the commands, for the completion and manual pages.
        std::fputs(GlobalCommandLine().describeText().c_str(), stdout);
        for (const Command& command : kCommands)
            std::printf("subcommand\t%s\t%s\n", command.name, command.summary);
        return velactl::kExitOk;
    }
    const std::size_t commandAt = CommandPosition(words);
    std::vector<std::string> globalWords(words.begin(), words.begin() + commandAt);
    // "--" ends the global options; the parser must not take the command for a word.
    if (!globalWords.empty() && globalWords.back() == "--") globalWords.pop_back();
    const vela::CommandLine line = GlobalCommandLine();
    int exitCode = 0;
    const auto options = line.parse(globalWords, exitCode);
    if (!options) return exitCode;
    if (commandAt == words.size()) return line.usageError("missing command");

    const std::string& name = words[commandAt];
    if (name == "help") {  // the older spelling of --help
        std::fputs(line.helpText().c_str(), stdout);
        return velactl::kExitOk;
    }
    const Command* command = nullptr;
    for (const Command& candidate : kCommands) {
        if (name == candidate.name) command = &candidate;
    }
    if (command == nullptr) return line.usageError("unknown command '" + name + "'");

    // The global choice reaches every command the way VELA_DIR and VELA_DATABASE do; a
    // command's own options still come first.
    if (options->has("--dir") || options->has("--user-data") || options->has("--database") ||
        options->has("--database-file")) {
        const vela::Result<vela::InstallationChoice> choice = vela::ChooseInstallation(*options);
        if (!choice) {
            if (choice.code() == vela::StatusCode::Invalid)
                return line.usageError(choice.message());
            std::fprintf(stderr, "velactl: %s\n", choice.message().c_str());
            return velactl::kExitFailure;
        }
        if (::setenv("VELA_DIR", choice->directory.c_str(), 1) != 0 ||
            (choice->databaseUrl &&
             ::setenv(vela::kDatabaseEnvironmentVariable, choice->databaseUrl->c_str(), 1) != 0)) {
            std::perror("velactl: setenv");
            return velactl::kExitFailure;
        }
    }
    // A reader that stops early (velactl history | head -1) ends the command quietly:
    // writes fail instead of killing the process, and output that nobody reads any more
    // is not a failure of the command.
    std::signal(SIGPIPE, SIG_IGN);
    const int status = command->run(velactl::Args(words.begin() + commandAt + 1, words.end()));
    const bool outputLost = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    if (status == velactl::kExitFailure && outputLost && OutputReaderGone())
        return velactl::kExitOk;
    return status;
}
