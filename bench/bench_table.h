#pragma once

// The one table of `make bench`: every bench program runs its Google Benchmark cases
// with the usual console output, then turns their results into rows (figure, target,
// measured, met). scripts/run-bench collects the rows of all programs and prints them.

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vela::bench {

// One benchmark's result as reported (per-iteration times; counters already final).
struct Result {
    double realNs = 0;  // real (or manual) time per iteration
    double cpuNs = 0;
    double iterations = 0;
    std::map<std::string, double> counters;
    bool failed = false;
    std::string error;

    // A counter, or 0 when the benchmark did not set it.
    double counter(const std::string& name) const;
};

// Keyed by the benchmark's full name, e.g. "BM_EncodeConfiguration/1048576".
using Results = std::map<std::string, Result>;

struct Row {
    std::string figure;
    std::string target;
    std::string measured;
    bool met = true;
};

using RowMaker = std::function<std::vector<Row>(const Results&)>;

// printf into a std::string.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// The median and the largest of samples (0 for none).
double median(std::vector<double> samples);
double largest(const std::vector<double>& samples);

// Runs the registered benchmarks (the usual --benchmark_* options apply), then writes
// the rows: appended to the file named by VELA_BENCH_TABLE as tab-separated lines, or
// printed when it is not set. Rows whose benchmark did not run say so. Returns the exit
// status: 1 when a benchmark reported an error.
int runAndReport(int argc, char** argv, const RowMaker& rows);

// A row for a missing or failed result, or nothing to report against.
Row missingRow(const std::string& figure, const std::string& target, const Results& results,
               const std::string& name);

}  // namespace vela::bench
