#include "storage_options.h"

#include "common/data_directory.h"

#include <cstdio>
#include <system_error>

namespace velactl {

std::optional<std::string> StorageArgs::value(const std::string& name) const {
    auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
}

std::filesystem::path StorageArgs::directory() const {
    // --dir, VELA_DIR (also set by velactl's global --dir and --user-data), or the
    // current directory; without --user-data this cannot fail.
    auto resolved = vela::ResolveDataDirectory(value("--dir"), false);
    return resolved ? resolved.value() : std::filesystem::path(".");
}

StorageArgs parseStorageArgs(const Args& args, const std::set<std::string>& valueOptions,
                             const std::set<std::string>& flagOptions, size_t maxPositional) {
    StorageArgs parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-' || arg == "-") {
            if (parsed.positional.size() >= maxPositional) {
                parsed.error = "unexpected argument '" + arg + "'";
                return parsed;
            }
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.flags.insert("--help");
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (valueOptions.count(name) > 0) {
            std::string value;
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                parsed.error = name + " needs a value";
                return parsed;
            }
            if (parsed.values.count(name) > 0) {
                parsed.error = name + " is given twice";
                return parsed;
            }
            parsed.values[name] = value;
        } else if (flagOptions.count(name) > 0 && equals == std::string::npos) {
            parsed.flags.insert(name);
        } else {
            parsed.error = "unknown option '" + arg + "'";
            return parsed;
        }
    }
    return parsed;
}

vela::StorageErrorReporter warningReporter() {
    return
        [](const std::string& message) { std::fprintf(stderr, "warning: %s\n", message.c_str()); };
}

int usageError(const char* command, const std::string& text, const char* usage) {
    std::fprintf(stderr, "velactl %s: %s\n\n%s", command, text.c_str(), usage);
    return kExitUsage;
}

}  // namespace velactl
