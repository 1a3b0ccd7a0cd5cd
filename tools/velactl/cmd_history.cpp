// velactl history: the record of past runs, newest first.
#include "commands.h"
#include "common/command_line.h"
#include "common/number.h"
#include "common/terminal_text.h"
#include "json_output.h"
#include "storage/history_export.h"
#include "storage/history_store.h"
#include "storage_options.h"

#include <cstdio>
#include <string>

namespace velactl {

namespace {

vela::CommandLine historyCommandLine() {
    vela::CommandLine line(
        "velactl history",
        "velactl history [--dir DIR | --user-data | --database URL] [--tracker DESC]\n"
        "                       [--verdict WORD] [--since DATE] [--limit N] [--csv | --json]",
        "Lists the runs recorded in the database of DIR, newest first: one line per run\n"
        "by default, or CSV (a header line, then one record per run) or a JSON array of\n"
        "objects (docs/json.md).\n");
    line.dataChoice()
        .option("--tracker", "DESC", "only the runs of this tracker")
        .option("--verdict", "WORD", "only the runs with this verdict")
        .option("--since", "DATE", "only runs started at or after DATE (YYYY-MM-DD, UTC)")
        .option("--limit", "N", "at most N runs")
        .flag("--csv", "print CSV")
        .flag("--json", "print JSON");
    std::string words;
    std::vector<std::string> verdicts;
    for (vela::Verdict verdict : vela::kAllVerdicts) {
        words += (words.empty() ? "" : ", ") + std::string(vela::VerdictWord(verdict));
        verdicts.emplace_back(vela::VerdictWord(verdict));
    }
    line.choices("--verdict", verdicts);
    line.epilog("Verdicts: " + words + ".\n");
    return line;
}

void printTable(const std::vector<vela::HistoryRecord>& records) {
    for (const vela::HistoryRecord& record : records) {
        std::printf("%lld  %s  %-10s  %-17s  %-17s  %s\n", static_cast<long long>(record.id),
                    vela::EscapeForTerminal(record.startedAt).c_str(),
                    vela::EscapeForTerminal(record.kind).c_str(),
                    vela::EscapeForTerminal(record.tracker).c_str(),
                    std::string(vela::VerdictWord(record.verdict)).c_str(),
                    vela::EscapeForTerminal(record.detail).c_str());
    }
}

}  // namespace

int RunHistory(const Args& args) {
    const vela::CommandLine line = historyCommandLine();
    int exitCode = kExitUsage;
    const std::optional<vela::ParsedOptions> parsed = line.parse(args, exitCode);
    if (!parsed) return exitCode;

    vela::HistoryFilter filter;
    filter.tracker = parsed->value("--tracker");
    if (const std::optional<std::string> word = parsed->value("--verdict")) {
        filter.verdict = vela::VerdictFromWord(*word);
        if (!filter.verdict) return line.usageError("unknown verdict '" + *word + "'");
    }
    if (const std::optional<std::string> since = parsed->value("--since")) {
        if (!vela::IsHistoryDate(*since)) {
            return line.usageError("--since needs a date as YYYY-MM-DD");
        }
        filter.since = *since;
    }
    if (const std::optional<std::string> limit = parsed->value("--limit")) {
        const std::optional<long> count = vela::parseWholeNumber(*limit, 1, 1000000000L);
        if (!count) return line.usageError("--limit needs a positive number");
        filter.limit = *count;
    }
    if (parsed->has("--csv") && parsed->has("--json")) {
        return line.usageError("--csv and --json cannot be used together");
    }
    const std::optional<vela::InstallationChoice> choice = ChosenInstallation(*parsed, exitCode);
    if (!choice) return exitCode;
    const vela::Result<std::vector<vela::HistoryRecord>> records =
        choice->storage()->queryHistory(filter);
    if (!records) {
        std::fprintf(stderr, "velactl history: %s\n",
                     vela::EscapeForTerminal(records.message()).c_str());
        return kExitFailure;
    }
    if (parsed->has("--json")) {
        QJsonArray array;
        for (const vela::HistoryRecord& record : records.value()) array.append(HistoryJson(record));
        PrintJsonArray(array);
    } else if (parsed->has("--csv")) {
        // Written whole: a NUL byte a caller sent must not end the output early.
        const std::string text = vela::FormatHistoryCsv(records.value());
        std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
        printTable(records.value());
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

}  // namespace velactl
