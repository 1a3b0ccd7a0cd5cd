#include "storage_options.h"

#include "common/data_directory.h"
#include "common/terminal_text.h"
#include "storage/database_file.h"
#include "vela_version.h"

#include <cstdio>

namespace velactl {

namespace {

void printGroupUsage(std::FILE* out, const std::string& command, const std::string& about,
                     std::span<const Subcommand> subcommands) {
    std::string names;
    for (const Subcommand& sub : subcommands) {
        if (!names.empty()) names += '|';
        names += sub.name;
    }
    std::string usage = "Usage: velactl " + command + " " + names + " [OPTIONS]";
    // A group of many subcommands names them in the list below rather than past the width.
    if (usage.size() > vela::kHelpWidth)
        usage = "Usage: velactl " + command + " SUBCOMMAND [OPTIONS]";
    std::fprintf(out, "%s\n       velactl %s SUBCOMMAND --help\n\n%s", usage.c_str(),
                 command.c_str(), vela::WrapLines(about, vela::kHelpWidth).c_str());
    std::fprintf(out, "Subcommands:\n");
    for (const Subcommand& sub : subcommands)
        std::fprintf(out, "  %-8s %s\n", sub.name, sub.summary);
}

}  // namespace

int RunSubcommandGroup(const std::string& command, const std::string& about,
                       std::span<const Subcommand> subcommands, const Args& args) {
    const std::string first = args.empty() ? std::string() : args.front();
    if (first == "--help" || first == "-h") {
        printGroupUsage(stdout, command, about, subcommands);
        return kExitOk;
    }
    if (first == vela::kDescribeOptions) {
        for (const Subcommand& sub : subcommands)
            std::printf("subcommand\t%s\t%s\n", sub.name, sub.summary);
        return kExitOk;
    }
    if (first == "--version" || first == "-V") {
        std::printf("velactl %s (%s) %s\n", command.c_str(), vela::kProgramName, vela::kVersion);
        return kExitOk;
    }
    for (const Subcommand& sub : subcommands) {
        if (first == sub.name) return sub.run(Args(args.begin() + 1, args.end()));
    }
    std::fprintf(stderr, "velactl %s: %s\n", command.c_str(),
                 first.empty()
                     ? "missing subcommand"
                     : ("unknown subcommand '" + vela::EscapeForTerminal(first) + "'").c_str());
    printGroupUsage(stderr, command, about, subcommands);
    return kExitUsage;
}

vela::CommandLine& AddDataDirectoryOptions(vela::CommandLine& line) {
    return line.dataChoice(true);
}

std::optional<std::filesystem::path> DataDirectory(const vela::ParsedOptions& options,
                                                   int& exitCode) {
    std::optional<vela::InstallationChoice> choice = ChosenInstallation(options, exitCode);
    if (!choice) return std::nullopt;
    return choice->directory;
}

vela::CommandLine& AddStorageOptions(vela::CommandLine& line) {
    return line.dataChoice();
}

std::optional<vela::InstallationChoice> ChosenInstallation(const vela::ParsedOptions& options,
                                                           int& exitCode) {
    vela::Result<vela::InstallationChoice> choice = vela::ChooseInstallation(options);
    if (!choice) {
        std::fprintf(stderr, "error: %s\n", vela::EscapeForTerminal(choice.message()).c_str());
        exitCode = choice.code() == vela::StatusCode::Invalid ? kExitUsage : kExitFailure;
        return std::nullopt;
    }
    return std::move(choice).value();
}

std::optional<ChosenStorage> OpenChosenStorage(const vela::ParsedOptions& options, int& exitCode) {
    std::optional<vela::InstallationChoice> choice = ChosenInstallation(options, exitCode);
    if (!choice) return std::nullopt;
    ChosenStorage chosen;
    chosen.shared = choice->databaseUrl.has_value();
    if (!chosen.shared) {
        std::error_code ec;
        chosen.fileMissing = !std::filesystem::exists(vela::databaseFile(choice->directory), ec);
    }
    chosen.engine = choice->storage(warningReporter());
    chosen.campaigns = choice->campaigns();
    chosen.choice = std::move(*choice);
    return chosen;
}

std::optional<StoredForRun> LoadForRun(const vela::InstallationChoice& choice, const char* command,
                                       std::FILE* warnings, bool onlyWhenRefused) {
    std::vector<std::string> reported;
    const std::unique_ptr<vela::StorageEngine> storage =
        choice.storage([&reported](const std::string& message) { reported.push_back(message); });
    StoredForRun stored;
    // A failed load has been reported; the defaults stand in, as in the window.
    stored.settingsRead = static_cast<bool>(storage->loadSettings(stored.settings));
    const bool settingsReplaced = stored.settingsRead && !reported.empty();
    const std::size_t beforeTrackers = reported.size();
    vela::TrackerListStamp stamp = 0;
    const bool trackersRead = static_cast<bool>(storage->loadTrackers(stored.trackers, stamp));
    const bool refused = settingsReplaced || (trackersRead && reported.size() > beforeTrackers);
    if (refused || !onlyWhenRefused) {
        for (const std::string& message : reported)
            std::fprintf(warnings, "warning: %s\n", vela::EscapeForTerminal(message).c_str());
        std::fflush(warnings);
    }
    if (refused) {
        std::fprintf(stderr,
                     "velactl %s: refused before the modem: a stored value named above is out of "
                     "range; correct it first (velactl settings set, or velactl trackers remove "
                     "and add)\n",
                     command);
        return std::nullopt;
    }
    return stored;
}

vela::StorageErrorReporter warningReporter() {
    return [](const std::string& message) {
        std::fprintf(stderr, "warning: %s\n", vela::EscapeForTerminal(message).c_str());
    };
}

}  // namespace velactl
