#include "run_options.h"

#include <QDir>
#include <cstdio>

namespace velactl {

std::optional<RunOptions> parseRunOptions(const char* command, const Args& args,
                                          bool withTrackerAndConfig, bool& help) {
    RunOptions options;
    help = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (name == "--help" || name == "-h") {
            help = true;
            return options;
        }
        if (const auto equals = name.find('=');
            name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const bool known = name == "--dir" || name == "--timeout" ||
                           (withTrackerAndConfig &&
                            (name == "--tracker" || name == "--config" || name == "--trace"));
        if (!known) {
            std::fprintf(stderr, "velactl %s: unknown option '%s'\n", command, name.c_str());
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "velactl %s: %s needs a value\n", command, name.c_str());
                return std::nullopt;
            }
            value = args[++i];
        }
        if (name == "--tracker") options.tracker = *value;
        if (name == "--config") options.config = *value;
        if (name == "--dir") options.dir = *value;
        if (name == "--trace") options.trace = *value;
        if (name == "--timeout") {
            bool ok = false;
            const int seconds = QString::fromStdString(*value).toInt(&ok);
            if (!ok || seconds <= 0) {
                std::fprintf(stderr, "velactl %s: --timeout needs a positive number of seconds\n",
                             command);
                return std::nullopt;
            }
            options.timeoutSeconds = seconds;
        }
    }
    return options;
}

QString runDirectory(const RunOptions& options) {
    return QDir::cleanPath(
        QDir::current().absoluteFilePath(QString::fromStdString(options.dir.value_or("."))));
}

}  // namespace velactl
