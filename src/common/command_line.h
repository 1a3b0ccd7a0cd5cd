#pragma once

// The one option parser of every Vela program: "--name value" and "--name=value",
// flags, repeatable options, positional words, "--" to end the options, and
// "--help" / "--version" that print and exit. An unknown option or a missing value is a
// usage error: the reason and the usage on standard error, exit status 2.
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vela {

inline constexpr int kExitUsageError = 2;
// The hidden word that makes a command print its definitions (CommandLine::describeText).
inline constexpr const char* kDescribeOptions = "--describe-options";
// Help texts are wrapped to fit a terminal of this many columns.
inline constexpr std::size_t kHelpWidth = 80;

// `text` with every line longer than `width` broken at spaces; a continuation is
// indented like the line's first word (for "Usage: PROGRAM COMMAND", like the options).
std::string WrapLines(const std::string& text, std::size_t width);

// What was given on a command line that parsed.
class ParsedOptions {
public:
    bool has(const std::string& name) const;
    // The last value of an option, or nothing.
    std::optional<std::string> value(const std::string& name) const;
    std::string valueOr(const std::string& name, const std::string& fallback) const;
    // Every value of a repeatable option, in the order given.
    std::vector<std::string> values(const std::string& name) const;
    const std::vector<std::string>& positional() const { return positional_; }

private:
    friend class CommandLine;
    std::map<std::string, std::vector<std::string>> given_;  // flags hold no value
    std::vector<std::string> positional_;
};

class CommandLine {
public:
    // `program` names the command in messages and --version ("velactl trackers add");
    // `synopsis` is the usage line(s) after "Usage: "; `about` the text below them.
    CommandLine(std::string program, std::string synopsis, std::string about = {});

    // `name` is the long form ("--dir"); `shortName` an optional alias ("-o").
    CommandLine& flag(const std::string& name, const std::string& help,
                      const std::string& shortName = {});
    CommandLine& option(const std::string& name, const std::string& valueName,
                        const std::string& help, const std::string& shortName = {});
    // An option that may be given several times (values() returns them all).
    CommandLine& repeatable(const std::string& name, const std::string& valueName,
                            const std::string& help);
    // The options that choose an installation's data, the same in every program and
    // command: --dir DIR, --user-data, and unless `directoryOnly` --database URL and
    // --database-file FILE. ChooseInstallation (storage/pg/installation_choice.h)
    // resolves them in their one order of precedence.
    CommandLine& dataChoice(bool directoryOnly = false);
    // The values an option accepts, for completion and the manual pages (the command
    // still checks them).
    CommandLine& choices(const std::string& name, std::vector<std::string> values);
    // How many positional words are accepted (default none).
    CommandLine& positionals(std::size_t min, std::size_t max);
    // Free text printed after the option list in --help.
    CommandLine& epilog(std::string text);

    // The options when they parsed and the command should run; otherwise nothing, and
    // `exitCode` is 0 (help or version printed on standard output) or 2 (usage error
    // printed on standard error).
    std::optional<ParsedOptions> parse(const std::vector<std::string>& args, int& exitCode) const;

    // What --describe-options prints (the hidden word that the build's generators of
    // the completion script and the manual pages ask every command for): one line per
    // option, "option<TAB>NAME<TAB>SHORT<TAB>VALUE-NAME<TAB>REPEATABLE<TAB>CHOICES<TAB>HELP"
    // (choices separated by commas), then "positionals<TAB>MIN<TAB>MAX".
    std::string describeText() const;

    // The whole --help text.
    std::string helpText() const;
    std::string usageText() const;
    // "PROGRAM: TEXT" and the usage on standard error; returns 2.
    int usageError(const std::string& text) const;
    const std::string& program() const { return program_; }

private:
    struct OptionDefinition {
        std::string name;
        std::string shortName;
        std::string valueName;  // empty for a flag
        std::string help;
        bool repeatable = false;
        std::vector<std::string> choices;
    };
    const OptionDefinition* find(const std::string& word) const;

    std::string program_;
    std::string synopsis_;
    std::string about_;
    std::string epilog_;
    std::vector<OptionDefinition> options_;
    std::size_t minPositional_ = 0;
    std::size_t maxPositional_ = 0;
};

// The usual spelling of the GPRS authentication mode: "none", "chap", "pap" (any case)
// or the stored numbers 0, 1, 2. Nothing for anything else.
std::optional<int> ParseAuthentication(const std::string& text);

}  // namespace vela
