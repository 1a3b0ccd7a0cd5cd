#include "bench_table.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace vela::bench {

namespace {

// The console output as usual, and a copy of every plain (non-aggregate) run.
class CapturingReporter : public benchmark::ConsoleReporter {
public:
    Results results;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            Result result;
            result.realNs = run.GetAdjustedRealTime() / unitPerNs(run.time_unit);
            result.cpuNs = run.GetAdjustedCPUTime() / unitPerNs(run.time_unit);
            result.iterations = static_cast<double>(run.iterations);
            for (const auto& [name, counter] : run.counters) result.counters[name] = counter.value;
            result.failed = run.error_occurred;
            result.error = run.error_message;
            results[run.benchmark_name()] = result;
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    static double unitPerNs(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kNanosecond:
                return 1.0;
            case benchmark::kMicrosecond:
                return 1e-3;
            case benchmark::kMillisecond:
                return 1e-6;
            case benchmark::kSecond:
                return 1e-9;
        }
        return 1.0;
    }
};

std::string clean(std::string text) {
    std::replace(text.begin(), text.end(), '\t', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

}  // namespace

double Result::counter(const std::string& name) const {
    const auto found = counters.find(name);
    return found == counters.end() ? 0.0 : found->second;
}

std::string format(const char* pattern, ...) {
    char buffer[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

double median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    return samples.size() % 2 != 0 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

double largest(const std::vector<double>& samples) {
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}

Row missingRow(const std::string& figure, const std::string& target, const Results& results,
               const std::string& name) {
    const auto found = results.find(name);
    if (found == results.end()) return {figure, target, "not run", false};
    return {figure, target, "failed: " + found->second.error, false};
}

int runAndReport(int argc, char** argv, const RowMaker& rows) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    CapturingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const std::vector<Row> table = rows(reporter.results);
    const char* tablePath = std::getenv("VELA_BENCH_TABLE");
    if (tablePath != nullptr && *tablePath != '\0') {
        std::ofstream out(tablePath, std::ios::app);
        for (const Row& row : table) {
            out << clean(row.figure) << '\t' << clean(row.target) << '\t' << clean(row.measured)
                << '\t' << (row.met ? "yes" : "NO") << '\n';
        }
    } else {
        std::printf("\n");
        for (const Row& row : table) {
            std::printf("%-58s %-16s %-40s %s\n", row.figure.c_str(), row.target.c_str(),
                        row.measured.c_str(), row.met ? "yes" : "NO");
        }
    }
    bool failed = false;
    for (const auto& [name, result] : reporter.results) failed = failed || result.failed;
    return failed ? 1 : 0;
}

}  // namespace vela::bench
