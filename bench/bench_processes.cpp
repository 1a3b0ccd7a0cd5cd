// Whole-process figures, each a fresh process as an operator starts it:
//  - `vela` under QT_QPA_PLATFORM=offscreen with 1,000 trackers in its database, from
//    the moment it is started to the moment it reports its window painted
//    (VELA_EXIT_WHEN_SHOWN=1 makes it print that and quit), and its peak memory;
//  - `velactl encode` on the sample configuration, from start to exit.
// Each program is run once before measuring so that its files are in the page cache.
#include "bench_table.h"
#include "storage/program_settings.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/schema.h"
#include "storage/settings_store.h"
#include "storage/tracker_list.h"
#include "storage/tracker_store.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kProcessLimit{20};
constexpr const char* kShownLine = "vela: shown after ";

struct ProcessRun {
    bool ok = false;
    double exitMs = 0;             // start to exit
    std::optional<double> markMs;  // start to the first output holding `mark`
    std::string output;            // stdout and stderr together
    double peakMegabytes = 0;      // the child's largest resident set
};

// Runs `argv` in `directory` with `environment` added, reading its output until it
// ends. Bounded: a child still running after kProcessLimit is killed.
ProcessRun runProcess(const std::vector<std::string>& argv, const std::filesystem::path& directory,
                      const std::vector<std::pair<std::string, std::string>>& environment,
                      const std::string& mark) {
    ProcessRun run;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return run;
    }
    if (pid == 0) {
        // The child: only async-signal-safe calls and exec.
        if (::chdir(directory.c_str()) != 0) ::_exit(126);
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(pipeFds[1], STDERR_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    const auto deadline = start + kProcessLimit;
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd entry{pipeFds[0], POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t count = ::read(pipeFds[0], buffer, sizeof buffer);
        if (count <= 0) break;  // every writer has closed: the child has ended
        run.output.append(buffer, static_cast<std::size_t>(count));
        if (!run.markMs && !mark.empty() && run.output.find(mark) != std::string::npos) {
            run.markMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        }
    }
    ::close(pipeFds[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.exitMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    run.peakMegabytes = static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e6;
    run.ok = !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// `historyRows` runs in the History table, written in one statement.
vela::Status addHistory(const std::filesystem::path& directory, int historyRows) {
    vela::Result<vela::sqlite::Database> db =
        vela::sqlite::Database::open(vela::databaseFile(directory));
    if (!db) return db.status();
    if (vela::Status migrated = vela::MigrateSchema(db.value()); !migrated) return migrated;
    return db.value().execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(historyRows) +
        ") INSERT INTO History (StartedAt, EndedAt, Kind, Tracker, Phone, ModemPort, ConfigFile, "
        "ConfigSha256, ImageBytes, CallerAddress, CallerImei, AnswerBytes, Verdict, Detail) "
        "SELECT '2026-12-07T10:00:00Z', '2026-12-07T10:00:09Z', 'go', 356307042440000 + i % 1000, "
        "37060000000 + i % 1000, '/dev/ttyUSB0', '/home/fleet/configs/default.xml', "
        "hex(randomblob(32)), 559, '192.0.2.1:40000', 356307042440000 + i % 1000, 559, "
        "'configured', '559 of 559 bytes' FROM n");
}

// A working directory whose settings.accdb holds the settings, 1,000 trackers and
// `historyRows` recorded runs.
std::optional<std::filesystem::path> makeTrackerDirectory(std::string& error, int historyRows) {
    char pattern[] = "/tmp/vela-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error = "mkdtemp failed";
        return std::nullopt;
    }
    const std::filesystem::path directory = pattern;
    vela::TrackerList trackers;
    for (int i = 0; i < 1000; ++i) {
        vela::TrackerEntry entry;
        entry.description = std::to_string(356307042440000LL + i);
        entry.phone = std::to_string(37060000000LL + i);
        entry.pushPort = 2001;
        entry.apn = "internet";
        entry.auth = vela::kAuthPap;
        entry.smsUser = "sms";
        entry.smsPassword = "1234";
        entry.gprsUser = "fleet";
        entry.gprsPassword = "secret";
        trackers.add(entry);
    }
    if (vela::Status saved = vela::SettingsStore(directory).save(vela::ProgramSettings{}); !saved) {
        error = saved.message();
        return std::nullopt;
    }
    if (vela::Status saved = vela::TrackerStore(directory).save(trackers); !saved) {
        error = saved.message();
        return std::nullopt;
    }
    if (historyRows > 0) {
        if (vela::Status added = addHistory(directory, historyRows); !added) {
            error = added.message();
            return std::nullopt;
        }
    }
    return directory;
}

std::vector<double> shownMs;
std::vector<double> inProcessMs;
std::vector<double> peakMegabytes;

void BM_WindowStartup(benchmark::State& state) {
    std::string error;
    const auto directory = makeTrackerDirectory(error, static_cast<int>(state.range(0)));
    if (!directory) {
        state.SkipWithError(("cannot make the database: " + error).c_str());
        for (auto _ : state) {
        }
        return;
    }
    const std::vector<std::string> argv = {VELA_PROGRAM};
    const std::vector<std::pair<std::string, std::string>> environment = {
        {"QT_QPA_PLATFORM", "offscreen"}, {"VELA_EXIT_WHEN_SHOWN", "1"}};
    runProcess(argv, *directory, environment, kShownLine);  // warm the page cache
    shownMs.clear();
    inProcessMs.clear();
    peakMegabytes.clear();
    for (auto _ : state) {
        const ProcessRun run = runProcess(argv, *directory, environment, kShownLine);
        const std::size_t at = run.output.find(kShownLine);
        if (!run.ok || !run.markMs || at == std::string::npos) {
            state.SkipWithError(("vela did not report its window: " + run.output).c_str());
            break;
        }
        state.SetIterationTime(*run.markMs / 1e3);
        shownMs.push_back(*run.markMs);
        inProcessMs.push_back(std::atof(run.output.c_str() + at + std::strlen(kShownLine)));
        peakMegabytes.push_back(run.peakMegabytes);
    }
    std::filesystem::remove_all(*directory);
    state.counters["median_ms"] = vela::bench::median(shownMs);
    state.counters["max_ms"] = vela::bench::largest(shownMs);
    state.counters["main_to_shown_ms"] = vela::bench::median(inProcessMs);
    state.counters["peak_MB"] = vela::bench::largest(peakMegabytes);
}

// Without history, and with a history of 100,000 runs that start-up must not read.
BENCHMARK(BM_WindowStartup)
    ->Arg(0)
    ->Arg(100000)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

std::vector<double> encodeMs;
double encodePeakMegabytes = 0;

void BM_VelactlEncode(benchmark::State& state) {
    const std::vector<std::string> argv = {VELACTL_PROGRAM, "encode", VELA_SAMPLE_CONFIG};
    const std::filesystem::path directory = std::filesystem::temp_directory_path();
    runProcess(argv, directory, {}, {});  // warm the page cache
    encodeMs.clear();
    encodePeakMegabytes = 0;
    for (auto _ : state) {
        const ProcessRun run = runProcess(argv, directory, {}, {});
        if (!run.ok || run.output.size() < 34) {
            state.SkipWithError(("velactl encode failed: " + run.output).c_str());
            break;
        }
        state.SetIterationTime(run.exitMs / 1e3);
        encodeMs.push_back(run.exitMs);
        encodePeakMegabytes = std::max(encodePeakMegabytes, run.peakMegabytes);
    }
    state.counters["median_ms"] = vela::bench::median(encodeMs);
    state.counters["max_ms"] = vela::bench::largest(encodeMs);
    state.counters["peak_MB"] = encodePeakMegabytes;
}

BENCHMARK(BM_VelactlEncode)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);

std::vector<vela::bench::Row> processRows(const vela::bench::Results& results) {
    using vela::bench::format;
    std::vector<vela::bench::Row> rows;
    for (const auto& [argument, what] :
         {std::pair{"0", std::string("1,000 trackers")},
          std::pair{"100000", std::string("1,000 trackers, 100,000 history rows")}}) {
        const std::string name =
            std::string("BM_WindowStartup/") + argument + "/iterations:20/manual_time";
        const std::string figure = "Start-up to window shown, " + what;
        const std::string memory = "Start-up peak memory (resident), " + what;
        const auto found = results.find(name);
        if (found == results.end() || found->second.failed) {
            rows.push_back(vela::bench::missingRow(figure, "< 300 ms", results, name));
            rows.push_back(vela::bench::missingRow(memory, "< 80 MB", results, name));
        } else {
            const vela::bench::Result& result = found->second;
            const double medianMs = result.counter("median_ms");
            rows.push_back({figure, "< 300 ms",
                            format("%.1f ms median, %.1f ms max of %.0f (main to shown %.1f ms)",
                                   medianMs, result.counter("max_ms"), result.iterations,
                                   result.counter("main_to_shown_ms")),
                            medianMs < 300.0});
            const double peak = result.counter("peak_MB");
            rows.push_back({memory, "< 80 MB",
                            format("%.1f MB (largest of %.0f)", peak, result.iterations),
                            peak < 80.0});
        }
    }
    {
        const std::string name = "BM_VelactlEncode/iterations:50/manual_time";
        const std::string figure = "velactl encode sample-config.xml, whole process";
        const auto found = results.find(name);
        if (found == results.end() || found->second.failed) {
            rows.push_back(vela::bench::missingRow(figure, "< 20 ms", results, name));
        } else {
            const double medianMs = found->second.counter("median_ms");
            rows.push_back({figure, "< 20 ms",
                            format("%.2f ms median, %.2f ms max of %.0f", medianMs,
                                   found->second.counter("max_ms"), found->second.iterations),
                            medianMs < 20.0});
        }
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    return vela::bench::runAndReport(argc, argv, processRows);
}
