#include "commands.h"
#include "storage_options.h"

#include "storage/database_file.h"

#include <cstdio>

namespace velactl {

namespace {

constexpr const char* kUsage =
    "Usage: velactl db init [--dir DIR] [--force]\n\n"
    "Creates the database settings.accdb in DIR (default: the current directory) with\n"
    "empty Settings and Trackers tables, readable and writable by its owner only.\n"
    "An existing database is kept unless --force is given, which replaces it.\n";

}  // namespace

int RunDb(const Args& args) {
    StorageArgs parsed = parseStorageArgs(args, {"--dir"}, {"--force"}, 1);
    if (parsed.flags.count("--help") > 0) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!parsed.error.empty()) return usageError("db", parsed.error, kUsage);
    if (parsed.positional.empty()) return usageError("db", "missing subcommand", kUsage);
    if (parsed.positional[0] != "init") {
        return usageError("db", "unknown subcommand '" + parsed.positional[0] + "'", kUsage);
    }
    const std::filesystem::path file = vela::databaseFile(parsed.directory());
    vela::Status created = vela::createDatabase(file, parsed.flags.count("--force") > 0);
    if (!created) {
        std::fprintf(stderr, "velactl db init: %s%s\n", created.message().c_str(),
                     created.message().ends_with("already exists") ? " (--force replaces it)" : "");
        return kExitFailure;
    }
    std::printf("created %s\n", file.string().c_str());
    return kExitOk;
}

}  // namespace velactl
