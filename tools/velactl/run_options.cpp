#include "run_options.h"

#include "common/number.h"
#include "storage_options.h"

#include <QDir>

namespace velactl {

void declareRunOptions(vela::CommandLine& line, bool withTrackerAndConfig) {
    if (withTrackerAndConfig) {
        line.option("--tracker", "DESC", "the tracker's description in the tracker list")
            .option("--config", "FILE", "the XML configuration file")
            .repeatable("--allow-from", "CIDR",
                        "serve callers from this address range only (A.B.C.D/N; repeatable; "
                        "default: the stored allow-list)");
    }
    line.dataChoice().option("--timeout", "S", "end the wait after S seconds (1 to 86400)");
}

std::optional<RunOptions> parseRunOptions(const vela::CommandLine& line, const Args& args,
                                          bool withTrackerAndConfig, int& exitCode) {
    const std::optional<vela::ParsedOptions> parsed = line.parse(args, exitCode);
    if (!parsed) return std::nullopt;
    RunOptions options;
    if (const std::optional<std::string> timeout = parsed->value("--timeout")) {
        // A bound that a timer can hold exactly: larger values would wrap into a
        // different wait (or none at all).
        const std::optional<long> seconds = vela::parseWholeNumber(*timeout, 1, kMaxTimeoutSeconds);
        if (!seconds) {
            exitCode = line.usageError("--timeout needs a number of seconds from 1 to 86400");
            return std::nullopt;
        }
        options.timeoutSeconds = static_cast<int>(*seconds);
    }
    if (withTrackerAndConfig) {
        options.tracker = parsed->value("--tracker");
        options.config = parsed->value("--config");
        options.trace = parsed->value("--trace");
        if (!options.tracker || !options.config) {
            exitCode = line.usageError("--tracker and --config are required");
            return std::nullopt;
        }
        std::vector<vela::AddressRange> ranges;
        for (const std::string& text : parsed->values("--allow-from")) {
            const vela::Result<vela::AddressRange> range = vela::parseAddressRange(text);
            if (!range) {
                exitCode = line.usageError("--allow-from: " + range.message());
                return std::nullopt;
            }
            ranges.push_back(*range);
        }
        if (!ranges.empty()) options.allowFrom = vela::AddressAllowList(std::move(ranges));
    }
    const std::optional<vela::InstallationChoice> choice = ChosenInstallation(*parsed, exitCode);
    if (!choice) return std::nullopt;
    options.directory = QDir::cleanPath(QString::fromStdString(choice->directory.string()));
    options.databaseUrl = choice->databaseUrl;
    return options;
}

}  // namespace velactl
