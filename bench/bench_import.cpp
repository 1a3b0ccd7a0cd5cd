// `velactl trackers import` of one million rows into an empty database, as a whole
// process: reading the CSV, the checks of `trackers add` on every row, and the save.
// The checks must stay linear in the number of rows.
#include "bench_table.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kRows = 1'000'000;
constexpr unsigned kProcessLimitSeconds = 120;

struct Run {
    bool ok = false;
    double seconds = 0;
    double peakMegabytes = 0;
};

// Runs velactl with `args`, its output discarded. Bounded: the alarm, which survives
// exec, ends a child that runs past the limit.
Run runVelactl(const std::vector<std::string>& args) {
    std::vector<char*> argv = {const_cast<char*>(VELACTL_PROGRAM)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    Run run;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) return run;
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout)) ::_exit(126);
        ::alarm(kProcessLimitSeconds);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakMegabytes = static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e6;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

void writeCsv(const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary);
    out << "Imei,Phone,Port,APN,Auth,SMSuser,SMSpass,GPRSuser,GPRSpass,Mode\r\n";
    std::string row;
    for (int i = 0; i < kRows; ++i) {
        const std::string n = std::to_string(i);
        row = std::to_string(356307040000000LL + i) + "," + std::to_string(37060000000LL + i) +
              "," + std::to_string(2001 + i % 1000) + ",internet," + std::to_string(i % 3) +
              ",sms" + n + ",\"p,ss" + n + "\",fleet,secret" + n + ",0\r\n";
        out << row;
    }
}

std::vector<double> importSeconds;
double importPeakMegabytes = 0;

void BM_VelactlImportMillionRows(benchmark::State& state) {
    char pattern[] = "/tmp/vela-bench-import-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        for (auto _ : state) {
        }
        return;
    }
    const std::filesystem::path directory = pattern;
    const std::filesystem::path csv = directory / "trackers.csv";
    writeCsv(csv);
    importSeconds.clear();
    importPeakMegabytes = 0;
    for (auto _ : state) {
        std::filesystem::remove(directory / "settings.accdb");
        const Run run =
            runVelactl({"trackers", "import", "--dir", directory.string(), csv.string()});
        if (!run.ok) {
            state.SkipWithError("velactl trackers import failed");
            break;
        }
        state.SetIterationTime(run.seconds);
        importSeconds.push_back(run.seconds);
        importPeakMegabytes = std::max(importPeakMegabytes, run.peakMegabytes);
    }
    std::filesystem::remove_all(directory);
    state.counters["median_s"] = vela::bench::median(importSeconds);
    state.counters["max_s"] = vela::bench::largest(importSeconds);
    state.counters["peak_MB"] = importPeakMegabytes;
}

BENCHMARK(BM_VelactlImportMillionRows)->UseManualTime()->Iterations(3)->Unit(benchmark::kSecond);

std::vector<vela::bench::Row> importRows(const vela::bench::Results& results) {
    const std::string name = "BM_VelactlImportMillionRows/iterations:3/manual_time";
    const std::string figure = "velactl trackers import, 1,000,000 rows, whole process";
    const auto found = results.find(name);
    if (found == results.end() || found->second.failed) {
        return {vela::bench::missingRow(figure, "< 30 s", results, name)};
    }
    const vela::bench::Result& result = found->second;
    const double median = result.counter("median_s");
    return {
        {figure, "< 30 s",
         vela::bench::format("%.1f s median, %.1f s max of %.0f (peak %.0f MB)", median,
                             result.counter("max_s"), result.iterations, result.counter("peak_MB")),
         median < 30.0}};
}

}  // namespace

int main(int argc, char** argv) {
    return vela::bench::runAndReport(argc, argv, importRows);
}
