#pragma once

#include "commands.h"

#include <QString>
#include <optional>
#include <string>

namespace velactl {

// The options of the headless runs (listen, go, check-port).
struct RunOptions {
    std::optional<std::string> tracker;
    std::optional<std::string> config;
    std::optional<std::string> dir;
    std::optional<std::string> trace;  // velactl go: the modem trace file
    int timeoutSeconds = 0;  // 0: no limit
};

// Parses "--name value" and "--name=value": --dir and --timeout always, --tracker and
// --config when `withTrackerAndConfig`. Sets `help` for --help. nullopt (after a message
// on stderr) on a usage error.
std::optional<RunOptions> parseRunOptions(const char* command, const Args& args,
                                          bool withTrackerAndConfig, bool& help);

// The working directory of a run: --dir (default: the current directory), a relative
// name taken from the directory velactl was started in.
QString runDirectory(const RunOptions& options);

}  // namespace velactl
