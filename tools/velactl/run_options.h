#pragma once

#include "commands.h"
#include "common/command_line.h"

#include <QString>
#include "common/address_range.h"

#include <optional>
#include <string>

namespace velactl {

// The longest --timeout: one day.
inline constexpr long kMaxTimeoutSeconds = 86400;

// The options of the headless runs (listen, go, check-port).
struct RunOptions {
    std::optional<std::string> tracker;
    std::optional<std::string> config;
    QString directory;  // absolute: --dir, VELA_DIR, --user-data or the current one
    std::optional<std::string> databaseUrl;  // a shared database instead of settings.accdb
    std::optional<std::string> trace;        // velactl go: the modem trace file
    int timeoutSeconds = 0;                  // 0: no limit
    // --allow-from: who may call (empty: everyone); unset: the stored list.
    std::optional<vela::AddressAllowList> allowFrom;
};

// Declares the data choice and --timeout on `line`, and --tracker and --config when
// `withTrackerAndConfig` (--trace is declared by the command that offers it).
void declareRunOptions(vela::CommandLine& line, bool withTrackerAndConfig);

// Parses the arguments with `line`. Nothing, with `exitCode` set, when the command is
// not to run (help printed: 0; usage error printed: 2).
std::optional<RunOptions> parseRunOptions(const vela::CommandLine& line, const Args& args,
                                          bool withTrackerAndConfig, int& exitCode);

}  // namespace velactl
