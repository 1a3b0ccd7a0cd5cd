#pragma once

// What the db, settings and trackers subcommands share: their groups of
// sub-subcommands, the data choice and the warning printer.
#include "commands.h"

#include "common/command_line.h"
#include "storage/campaign_storage.h"
#include "storage/pg/installation_choice.h"
#include "storage/storage_engine.h"
#include "storage/storage_errors.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velactl {

// One word of a group such as `velactl trackers add`.
struct Subcommand {
    const char* name;
    const char* summary;
    int (*run)(const Args& args);
};

// Runs `velactl COMMAND SUB ...`: the subcommand named by the first word gets the rest.
// "--help" and "--version" of the group print and exit 0; no word, an option or an
// unknown word is a usage error (exit 2).
int RunSubcommandGroup(const std::string& command, const std::string& about,
                       std::span<const Subcommand> subcommands, const Args& args);

// Adds --dir DIR and --user-data (VELA_DIR applies when neither is given).
vela::CommandLine& AddDataDirectoryOptions(vela::CommandLine& line);

// The data directory the options name; nothing when it cannot be used (the reason is
// printed; `exitCode` is 2 for a usage error, else 1).
std::optional<std::filesystem::path> DataDirectory(const vela::ParsedOptions& options,
                                                   int& exitCode);

// Adds the whole data choice: the directory options, --database URL and
// --database-file FILE (VELA_DATABASE applies when neither is given).
vela::CommandLine& AddStorageOptions(vela::CommandLine& line);

// The installation the options choose; nothing when the choice cannot be used (the
// reason is printed; `exitCode` is 2 for a usage error, else 1).
std::optional<vela::InstallationChoice> ChosenInstallation(const vela::ParsedOptions& options,
                                                           int& exitCode);

// Where the options say settings, trackers and campaigns are: the PostgreSQL database
// of --database-file, --database or VELA_DATABASE, else settings.accdb in the data
// directory.
struct ChosenStorage {
    vela::InstallationChoice choice;
    std::unique_ptr<vela::StorageEngine> engine;
    std::unique_ptr<vela::CampaignStorage> campaigns;
    bool fileMissing = false;  // settings.accdb does not exist yet (never for PostgreSQL)
    bool shared = false;       // a PostgreSQL database that several operators use
};
// Nothing when the choice cannot be used (printed, and `exitCode` set as above).
std::optional<ChosenStorage> OpenChosenStorage(const vela::ParsedOptions& options, int& exitCode);

// The settings and trackers as a run uses them, loaded from `choice`; warnings go to
// `warnings` as "warning: TEXT". A load that worked but had to replace a stored value
// it could not use (a port out of range) refuses the run: nothing goes to a modem or a
// tracker with a value other than the one stored. Nothing when refused (the reason is
// printed, prefixed by `command`).
struct StoredForRun {
    vela::ProgramSettings settings;
    vela::TrackerList trackers;
    bool settingsRead = false;  // the settings were read (a missing database has none)
};
// With `onlyWhenRefused` the warnings are printed only with a refusal.
std::optional<StoredForRun> LoadForRun(const vela::InstallationChoice& choice, const char* command,
                                       std::FILE* warnings, bool onlyWhenRefused = false);

// Prints a storage error as "warning: TEXT" on stderr, as the window's exclamation box,
// with bytes from the database escaped for the terminal.
vela::StorageErrorReporter warningReporter();

}  // namespace velactl
