// The modem dialogue's own cost: the six steps against a modem that answers at once
// (the tests' scripted modem on a real pseudo-terminal pair), with a fresh port each
// time so that no closing pause applies; and the CPU the dialogue uses while it waits
// on a modem that never answers.
#include "bench_table.h"
#include "modem/sms_dialogue.h"
#include "scripted_modem.h"

#include <benchmark/benchmark.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The wake-up SMS of a typical tracker (49 octets of TPDU).
constexpr const char* kPdu =
    "0041000B912143658709F100F52306050407D1000000000A3139322e302e322e313013880A696e7465726e65"
    "743a700000";

class QuietUi : public vela::ModemDialogueUi {
public:
    void SetWaitCursor(bool) override {}
    void ShowModemError(const std::string& text, const std::string&) override { error = text; }
    std::string error;
};

std::vector<double> dialogueMs;

void BM_ModemDialogue(benchmark::State& state) {
    dialogueMs.clear();
    for (auto _ : state) {
        vela::test::ScriptedModem modem(vela::test::ScriptedModem::Standard());
        vela::SerialPort port;
        QuietUi ui;
        const auto start = Clock::now();
        const bool sent = vela::SendPushSms(port, modem.path(), kPdu, ui);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!sent) {
            state.SkipWithError(("the dialogue failed: " + ui.error).c_str());
            break;
        }
        state.SetIterationTime(seconds);
        dialogueMs.push_back(seconds * 1e3);
    }
    state.counters["median_ms"] = vela::bench::median(dialogueMs);
    state.counters["max_ms"] = vela::bench::largest(dialogueMs);
}

BENCHMARK(BM_ModemDialogue)->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);

double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A pseudo-terminal whose other side never writes: the first step waits out its limit.
// The limit is shortened to 3 s (the product's is 6 s); the share of CPU does not
// depend on it.
void BM_SilentModemWait(benchmark::State& state) {
    double cpuShare = 0;
    for (auto _ : state) {
        int master = -1;
        int slave = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            state.SkipWithError("openpty failed");
            break;
        }
        vela::SerialPort port;
        QuietUi ui;
        vela::DialogueLimits limits;
        limits.shortStep = std::chrono::milliseconds(3000);
        const double cpuBefore = threadCpuSeconds();
        const auto start = Clock::now();
        const bool sent = vela::SendPushSms(port, name, kPdu, ui, limits);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = threadCpuSeconds() - cpuBefore;
        port.Close();
        ::close(slave);
        ::close(master);
        if (sent || ui.error != vela::kTextNoModem1) {
            state.SkipWithError("a silent modem must fail the first step on time");
            break;
        }
        state.SetIterationTime(wall);
        cpuShare = 100.0 * cpu / wall;
        state.counters["cpu_percent"] = cpuShare;
        state.counters["wait_s"] = wall;
    }
}

BENCHMARK(BM_SilentModemWait)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

std::vector<vela::bench::Row> modemRows(const vela::bench::Results& results) {
    using vela::bench::format;
    std::vector<vela::bench::Row> rows;
    {
        const std::string figure = "Modem dialogue, six steps, prompt modem (no pauses)";
        const std::string name = "BM_ModemDialogue/iterations:100/manual_time";
        const auto found = results.find(name);
        if (found == results.end() || found->second.failed) {
            rows.push_back(vela::bench::missingRow(figure, "< 20 ms", results, name));
        } else {
            const double medianMs = found->second.counter("median_ms");
            rows.push_back({figure, "< 20 ms",
                            format("%.3f ms median, %.3f ms max of %.0f", medianMs,
                                   found->second.counter("max_ms"), found->second.iterations),
                            medianMs < 20.0});
        }
    }
    {
        const std::string figure = "Modem dialogue, CPU while waiting on a silent modem";
        const std::string name = "BM_SilentModemWait/iterations:1/manual_time";
        const auto found = results.find(name);
        if (found == results.end() || found->second.failed) {
            rows.push_back(vela::bench::missingRow(figure, "< 1 % of a core", results, name));
        } else {
            const double share = found->second.counter("cpu_percent");
            rows.push_back({figure, "< 1 % of a core",
                            format("%.3f %% over %.1f s", share, found->second.counter("wait_s")),
                            share < 1.0});
        }
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    return vela::bench::runAndReport(argc, argv, modemRows);
}
