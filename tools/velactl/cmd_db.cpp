#include "commands.h"
#include "storage_options.h"

#include "common/terminal_text.h"
#include "storage/database_file.h"
#include "storage/database_maintenance.h"

#include <array>
#include <cstdio>

namespace velactl {

namespace {

int runInit(const Args& args) {
    vela::CommandLine line("velactl db init", "velactl db init [--dir DIR | --user-data] [--force]",
                           "Creates the database settings.accdb with empty Settings and Trackers\n"
                           "tables, readable and writable by its owner only.");
    AddDataDirectoryOptions(line).flag("--force", "replace an existing database");
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto directory = DataDirectory(*options);
    if (!directory) return kExitFailure;
    const std::filesystem::path file = vela::databaseFile(*directory);
    vela::Status created = vela::createDatabase(file, options->has("--force"));
    if (!created) {
        std::fprintf(stderr, "velactl db init: %s%s\n",
                     vela::EscapeForTerminal(created.message()).c_str(),
                     created.message().ends_with("already exists") ? " (--force replaces it)" : "");
        return kExitFailure;
    }
    std::printf("created %s\n", file.string().c_str());
    return kExitOk;
}

int runBackup(const Args& args) {
    vela::CommandLine line("velactl db backup", "velactl db backup [--dir DIR | --user-data] FILE",
                           "Copies the database into FILE, consistently even while Vela is using\n"
                           "it (SQLite's online backup). FILE is created readable and writable by\n"
                           "its owner only: it holds the trackers' passwords. To restore, put the\n"
                           "copy in place of settings.accdb while Vela is not running.");
    AddDataDirectoryOptions(line).positionals(1, 1);
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto directory = DataDirectory(*options);
    if (!directory) return kExitFailure;
    const std::string& target = options->positional()[0];
    if (vela::Status copied = vela::BackupDatabase(vela::databaseFile(*directory), target);
        !copied) {
        std::fprintf(stderr, "velactl db backup: %s\n",
                     vela::EscapeForTerminal(copied.message()).c_str());
        return kExitFailure;
    }
    std::printf("backed up to %s\n", vela::EscapeForTerminal(target).c_str());
    return kExitOk;
}

int runCheck(const Args& args) {
    vela::CommandLine line(
        "velactl db check", "velactl db check [--dir DIR | --user-data]",
        "Runs SQLite's integrity check on the database and checks that its\n"
        "Settings and Trackers tables have the columns Vela uses. Prints \"ok\"\n"
        "or each problem; the exit status is 0 only for \"ok\".");
    AddDataDirectoryOptions(line);
    int exitCode = 0;
    const auto options = line.parse(args, exitCode);
    if (!options) return exitCode;
    const auto directory = DataDirectory(*options);
    if (!directory) return kExitFailure;
    auto problems = vela::CheckDatabase(vela::databaseFile(*directory));
    if (!problems) {
        std::fprintf(stderr, "velactl db check: %s\n",
                     vela::EscapeForTerminal(problems.message()).c_str());
        return kExitFailure;
    }
    if (problems.value().empty()) {
        std::printf("ok\n");
        return kExitOk;
    }
    for (const std::string& problem : problems.value()) {
        std::printf("%s\n", vela::EscapeForTerminal(problem).c_str());
    }
    return kExitFailure;
}

constexpr std::array<Subcommand, 3> kSubcommands = {{
    {"init", "create an empty database", runInit},
    {"backup", "copy the database safely into a file", runBackup},
    {"check", "check the database's integrity and tables", runCheck},
}};

}  // namespace

int RunDb(const Args& args) {
    return RunSubcommandGroup("db",
                              "Creates, backs up and checks settings.accdb, the database of the\n"
                              "settings and trackers.",
                              kSubcommands, args);
}

}  // namespace velactl
