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
    std::fprintf(out, "Usage: velactl %s %s [OPTIONS]\n       velactl %s SUBCOMMAND --help\n\n%s",
                 command.c_str(), names.c_str(), command.c_str(),
                 vela::WrapLines(about, vela::kHelpWidth).c_str());
    std::fprintf(out, "Subcommands:\n");
    for (const Subcommand& sub : subcommands)
        std::fprintf(out, "  %-8s %s\n", sub.name, sub.summary);
}

// Length of the valid UTF-8 sequence at the front of `text`, or 0.
size_t utf8SequenceLength(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    unsigned minimum = 0;
    unsigned value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, value = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i) & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

int RunSubcommandGroup(const std::string& command, const std::string& about,
                       std::span<const Subcommand> subcommands, const Args& args) {
    const std::string first = args.empty() ? std::string() : args.front();
    if (first == "--help" || first == "-h") {
        printGroupUsage(stdout, command, about, subcommands);
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

vela::StorageErrorReporter warningReporter() {
    return [](const std::string& message) {
        std::fprintf(stderr, "warning: %s\n", vela::EscapeForTerminal(message).c_str());
    };
}

std::string JsonQuoted(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text.front());
        if (c >= 0x80) {
            const size_t length = utf8SequenceLength(text);
            if (length == 0) {
                out += "\\ufffd";
                text.remove_prefix(1);
            } else {
                out.append(text.substr(0, length));
                text.remove_prefix(length);
            }
            continue;
        }
        text.remove_prefix(1);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace velactl
