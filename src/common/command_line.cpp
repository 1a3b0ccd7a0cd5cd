#include "common/command_line.h"

#include "vela_version.h"

#include <algorithm>
#include <cctype>

namespace vela {

bool ParsedOptions::has(const std::string& name) const {
    return given_.count(name) > 0;
}

std::optional<std::string> ParsedOptions::value(const std::string& name) const {
    const auto found = given_.find(name);
    if (found == given_.end() || found->second.empty()) return std::nullopt;
    return found->second.back();
}

std::string ParsedOptions::valueOr(const std::string& name, const std::string& fallback) const {
    return value(name).value_or(fallback);
}

std::vector<std::string> ParsedOptions::values(const std::string& name) const {
    const auto found = given_.find(name);
    return found == given_.end() ? std::vector<std::string>{} : found->second;
}

CommandLine::CommandLine(std::string program, std::string synopsis, std::string about)
    : program_(std::move(program)), synopsis_(std::move(synopsis)), about_(std::move(about)) {}

CommandLine& CommandLine::flag(const std::string& name, const std::string& help,
                               const std::string& shortName) {
    options_.push_back({name, shortName, {}, help, false, {}});
    return *this;
}

CommandLine& CommandLine::option(const std::string& name, const std::string& valueName,
                                 const std::string& help, const std::string& shortName) {
    options_.push_back({name, shortName, valueName.empty() ? "VALUE" : valueName, help, false, {}});
    return *this;
}

CommandLine& CommandLine::repeatable(const std::string& name, const std::string& valueName,
                                     const std::string& help) {
    options_.push_back({name, {}, valueName.empty() ? "VALUE" : valueName, help, true, {}});
    return *this;
}

CommandLine& CommandLine::dataChoice(bool directoryOnly) {
    option("--dir", "DIR",
           "keep settings.accdb and test-server.ini in DIR (default: $VELA_DIR, else the "
           "current directory)");
    flag("--user-data",
         "use the user's data directory, $XDG_DATA_HOME/vela (by default "
         "~/.local/share/vela)");
    if (directoryOnly) return *this;
    option("--database", "URL",
           "a shared PostgreSQL database, postgresql://USER@HOST[:PORT]/NAME, instead of "
           "settings.accdb (default: $VELA_DATABASE); a password goes in ~/.pgpass, "
           "$VELA_DATABASE or --database-file, never here");
    return option("--database-file", "FILE",
                  "the database URL from the first line of FILE (owner-only, mode 0600)");
}

CommandLine& CommandLine::choices(const std::string& name, std::vector<std::string> values) {
    for (OptionDefinition& definition : options_) {
        if (definition.name == name) definition.choices = values;
    }
    return *this;
}

std::string CommandLine::describeText() const {
    std::string text;
    for (const OptionDefinition& definition : options_) {
        std::string choices;
        for (const std::string& choice : definition.choices)
            choices += (choices.empty() ? "" : ",") + choice;
        std::string help = definition.help;
        for (char& c : help) c = c == '\n' || c == '\t' ? ' ' : c;
        text += "option\t" + definition.name + "\t" + definition.shortName + "\t" +
                definition.valueName + "\t" + (definition.repeatable ? "1" : "0") + "\t" + choices +
                "\t" + help + "\n";
    }
    return text + "positionals\t" + std::to_string(minPositional_) + "\t" +
           std::to_string(maxPositional_) + "\n";
}

CommandLine& CommandLine::positionals(std::size_t min, std::size_t max) {
    minPositional_ = min;
    maxPositional_ = std::max(min, max);
    return *this;
}

CommandLine& CommandLine::epilog(std::string text) {
    epilog_ = std::move(text);
    return *this;
}

const CommandLine::OptionDefinition* CommandLine::find(const std::string& word) const {
    for (const OptionDefinition& definition : options_) {
        if (word == definition.name ||
            (!definition.shortName.empty() && word == definition.shortName))
            return &definition;
    }
    return nullptr;
}

std::string CommandLine::usageText() const {
    std::string text = WrapLines("Usage: " + synopsis_, kHelpWidth);
    text += "Try '" + program_ + " --help' for more information.\n";
    return text;
}

std::string WrapLines(const std::string& text, std::size_t width) {
    std::string wrapped;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        // A continuation lines up with the line's first word after its label: the
        // options of a usage line, the text of an indented item.
        std::size_t hang = line.find_first_not_of(' ');
        if (hang == std::string::npos) hang = 0;
        if (line.rfind("Usage: ", 0) == 0) {
            std::size_t firstOption = std::string::npos;
            for (const char* start : {" [", " --", " ("})
                firstOption = std::min(firstOption, line.find(start, 7));
            hang = firstOption == std::string::npos || firstOption > 40 ? 7 : firstOption + 1;
        }
        while (line.size() > width) {
            std::size_t cut = line.rfind(' ', width);
            if (cut == std::string::npos || cut <= hang) break;  // one long word stays whole
            // Keep an option's alternatives ("[A | B]") together where a bracket can start.
            const std::size_t bracket = line.rfind(" [", width);
            if (bracket != std::string::npos && bracket > hang && line.find(']', bracket) > width)
                cut = bracket;
            wrapped += line.substr(0, cut) + "\n";
            line = std::string(hang, ' ') + line.substr(line.find_first_not_of(' ', cut));
        }
        wrapped += line + "\n";
    }
    return wrapped;
}

std::string CommandLine::helpText() const {
    std::string text = WrapLines("Usage: " + synopsis_, kHelpWidth);
    if (!about_.empty()) text += "\n" + WrapLines(about_, kHelpWidth);
    text += "\nOptions:\n";
    // Each help text is wrapped at 80 columns beside its option, whatever line breaks
    // and indents it was written with.
    auto line = [&text](const std::string& left, const std::string& help) {
        constexpr std::size_t kIndent = 30;
        constexpr std::size_t kWidth = kHelpWidth;
        std::string current = "  " + left;
        if (current.size() + 2 > kIndent) {
            text += current + "\n";
            current.clear();
        }
        current.resize(kIndent, ' ');
        bool lineHasWord = false;
        std::size_t at = 0;
        while (at < help.size()) {
            const std::size_t start = help.find_first_not_of(" \n", at);
            if (start == std::string::npos) break;
            const std::size_t end = std::min(help.find_first_of(" \n", start), help.size());
            const std::string word = help.substr(start, end - start);
            if (lineHasWord && current.size() + 1 + word.size() > kWidth) {
                text += current + "\n";
                current.assign(kIndent, ' ');
                lineHasWord = false;
            }
            current += (lineHasWord ? " " : "") + word;
            lineHasWord = true;
            at = end;
        }
        text += current + "\n";
    };
    for (const OptionDefinition& definition : options_) {
        std::string left = definition.shortName.empty()
                               ? definition.name
                               : definition.shortName + ", " + definition.name;
        if (!definition.valueName.empty()) left += " " + definition.valueName;
        line(left, definition.help + (definition.repeatable ? " (may be repeated)" : ""));
    }
    line("-h, --help", "show this text and exit");
    line("-V, --version", "show the version and exit");
    if (!epilog_.empty()) text += "\n" + WrapLines(epilog_, kHelpWidth);
    return text;
}

int CommandLine::usageError(const std::string& text) const {
    std::fprintf(stderr, "%s: %s\n%s", program_.c_str(), text.c_str(), usageText().c_str());
    return kExitUsageError;
}

std::optional<ParsedOptions> CommandLine::parse(const std::vector<std::string>& args,
                                                int& exitCode) const {
    ParsedOptions parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string word = args[i];
        const bool looksLikeOption = !optionsEnded && word.size() > 1 && word[0] == '-';
        if (!looksLikeOption) {
            parsed.positional_.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == kDescribeOptions && i == 0) {
            std::fputs(describeText().c_str(), stdout);
            exitCode = 0;
            return std::nullopt;
        }
        if (word == "--help" || word == "-h") {
            std::fputs(helpText().c_str(), stdout);
            exitCode = 0;
            return std::nullopt;
        }
        if (word == "--version" || word == "-V") {
            std::printf("%s (%s) %s\n", program_.c_str(), kProgramName, kVersion);
            exitCode = 0;
            return std::nullopt;
        }
        std::optional<std::string> inlineValue;
        if (const auto equals = word.find('=');
            word.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = word.substr(equals + 1);
            word.resize(equals);
        }
        const OptionDefinition* definition = find(word);
        if (!definition) {
            exitCode = usageError("unknown option '" + word + "'");
            return std::nullopt;
        }
        std::vector<std::string>& slot = parsed.given_[definition->name];
        if (definition->valueName.empty()) {
            if (inlineValue) {
                exitCode = usageError(definition->name + " takes no value");
                return std::nullopt;
            }
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                exitCode =
                    usageError(definition->name + " needs a value (" + definition->valueName + ")");
                return std::nullopt;
            }
            inlineValue = args[++i];
        }
        if (!definition->repeatable) slot.clear();
        slot.push_back(*inlineValue);
    }
    if (parsed.positional_.size() < minPositional_) {
        exitCode = usageError("missing argument");
        return std::nullopt;
    }
    if (parsed.positional_.size() > maxPositional_) {
        exitCode = usageError("unexpected argument '" + parsed.positional_[maxPositional_] + "'");
        return std::nullopt;
    }
    exitCode = 0;
    return parsed;
}

std::optional<int> ParseAuthentication(const std::string& text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "none" || lower == "0") return 0;
    if (lower == "chap" || lower == "1") return 1;
    if (lower == "pap" || lower == "2") return 2;
    return std::nullopt;
}

}  // namespace vela
