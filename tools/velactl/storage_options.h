#pragma once

// Option reading shared by the db, settings and trackers subcommands.
#include "commands.h"

#include "storage/storage_errors.h"

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velactl {

struct StorageArgs {
    std::map<std::string, std::string> values;  // "--name" -> value
    std::set<std::string> flags;                // "--name" given
    std::vector<std::string> positional;
    std::string error;  // set when the arguments do not fit: a usage error

    bool has(const std::string& name) const { return values.count(name) > 0; }
    std::optional<std::string> value(const std::string& name) const;
    // --dir, or the current directory.
    std::filesystem::path directory() const;
};

// Accepts "--name VALUE", "--name=VALUE", the given flags, "--help"/"-h" (as the flag
// "--help") and, up to `maxPositional`, other words; "--" ends the options.
StorageArgs parseStorageArgs(const Args& args, const std::set<std::string>& valueOptions,
                             const std::set<std::string>& flagOptions, size_t maxPositional);

// Prints a storage error as "warning: TEXT" on stderr, as the window's exclamation box.
vela::StorageErrorReporter warningReporter();

// "velactl CMD: TEXT" on stderr and the usage text after it; returns kExitUsage.
int usageError(const char* command, const std::string& text, const char* usage);

}  // namespace velactl
