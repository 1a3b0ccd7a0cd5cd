// Fleet campaigns as an operator runs them: `vela-sim fleet` with 4 simulated modems and
// N trackers calling 0-2 s after their SMS, and `velactl campaign run --all` from start
// to exit. Figures: wall time, velactl's peak memory, and velactl's CPU while every
// tracker has had its SMS and nobody calls (the listener asleep in poll()). Then one
// campaign in a shared PostgreSQL database (a server of the benchmark's own): two
// stations with two modems each against one station with all four.
#include "bench_table.h"
#include "postgres_server.h"
#include "storage/pg/connection.h"
#include "storage/program_settings.h"
#include "storage/settings_store.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kModems = 4;
constexpr std::chrono::seconds kRunLimit{1500};

// A child with its standard output on a pipe (or in `outputFile`); killed and reaped
// when it goes.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv, const std::string& outputFile = {}) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        if (!outputFile.empty()) {
            ::close(fds[1]);
            fds[1] = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (out_ >= 0) ::close(out_);
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool ended() const { return ended_; }

    // The next whole line, waiting until `deadline`; nothing at the end of the output.
    std::optional<std::string> line(Clock::time_point deadline) {
        for (;;) {
            const std::size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string text = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return text;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (out_ < 0 || left.count() <= 0) return std::nullopt;
            pollfd entry{out_, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            const ssize_t count = ::read(out_, buffer, sizeof buffer);
            if (count <= 0) {
                ended_ = true;
                return std::nullopt;
            }
            pending_.append(buffer, static_cast<std::size_t>(count));
        }
    }

    // Reaps the child: its exit status (-1 when killed) and resource use.
    int reap(rusage& usage) {
        int status = 0;
        ::wait4(pid_, &status, 0, &usage);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
    bool reaped_ = false;
    bool ended_ = false;
};

double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14 || index == 15) ticks += std::atof(field.c_str());
        if (index == 15) break;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Waits until `file` holds `text`; false at `deadline`.
bool waitForText(const fs::path& file, const std::string& text, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        std::ifstream in(file);
        const std::string content((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        if (content.find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// `vela-sim fleet` of `trackers` behind kModems modems in `dir` (dir/modem1...), its
// trackers in dir/fleet.csv; nothing when it did not start within a minute. It reports
// every SMS and call into a file, which nobody has to drain.
std::unique_ptr<Child> startFleet(const fs::path& dir, int trackers, bool neverCall,
                                  int modems = kModems, int smsDelayMs = 0) {
    std::vector<std::string> argv = {VELA_SIM_PROGRAM, "fleet",
                                     "--trackers",     std::to_string(trackers),
                                     "--modems",       std::to_string(modems),
                                     "--delay",        "0-2000",
                                     "--seed",         "1",
                                     "--workers",      "256",
                                     "--link",         (dir / "modem").string(),
                                     "--csv",          (dir / "fleet.csv").string(),
                                     "--lifetime",     "600"};
    if (neverCall) argv.insert(argv.end(), {"--never-call", "100"});
    if (smsDelayMs > 0)
        argv.insert(argv.end(),
                    {"--modem-arg", "--sms-delay", "--modem-arg", std::to_string(smsDelayMs)});
    auto fleet = std::make_unique<Child>(argv, (dir / "fleet.log").string());
    if (!waitForText(dir / "fleet.log", "\nmodems:", Clock::now() + std::chrono::seconds(60)))
        return nullptr;
    return fleet;
}

// Correctness at scale, from velactl's lines and the fleet's own log: every tracker one
// verdict, and no tracker took its image and answered twice.
struct Verdicts {
    std::unordered_map<std::string, int> byTracker;
    int configured = 0;

    void Line(const std::string& line) {
        static const std::vector<std::string> kFinal = {
            "configured", "rejected", "hung-up", "no-call", "answer-unknown", "sms-failed"};
        if (line.rfind("tracker: ", 0) != 0) return;
        const std::size_t space = line.find(' ', 9);
        if (space == std::string::npos) return;
        const std::string word = line.substr(space + 1, line.find(' ', space + 1) - space - 1);
        if (std::find(kFinal.begin(), kFinal.end(), word) == kFinal.end()) return;
        ++byTracker[line.substr(9, space - 9)];
        if (word == "configured") ++configured;
    }

    // Empty when every tracker has exactly one verdict and (unless none calls) every
    // tracker is configured and answered its image exactly once.
    std::string Check(int trackers, bool neverCall, const fs::path& fleetLog) const {
        if (static_cast<int>(byTracker.size()) != trackers)
            return std::to_string(byTracker.size()) + " of " + std::to_string(trackers) +
                   " trackers have a verdict";
        for (const auto& [tracker, count] : byTracker) {
            if (count != 1) return tracker + " has " + std::to_string(count) + " verdicts";
        }
        if (neverCall) return {};
        if (configured != trackers)
            return "only " + std::to_string(configured) + " of " + std::to_string(trackers) +
                   " trackers configured";
        std::unordered_map<std::string, int> answered;
        std::ifstream log(fleetLog);
        for (std::string line; std::getline(log, line);) {
            if (line.rfind("call: ", 0) == 0 && line.find(" answered ") != std::string::npos)
                ++answered[line.substr(6, line.find(' ', 6) - 6)];
        }
        for (const auto& [tracker, count] : answered) {
            if (count > 1) return tracker + " was configured " + std::to_string(count) + " times";
        }
        if (static_cast<int>(answered.size()) != trackers)
            return "the fleet saw " + std::to_string(answered.size()) + " of " +
                   std::to_string(trackers) + " trackers answer";
        return {};
    }
};

struct CampaignRun {
    std::string error;
    double wallSeconds = 0;
    double peakMegabytes = 0;
    int configured = 0;
    // CPU over a window in which every SMS is out and no wait has ended yet.
    double waitingCpuSeconds = 0;
    double waitingSeconds = 0;
    double afterLastSmsSeconds = 0;    // from the last SMS accepted to the run's end
    double transactionsPerSecond = 0;  // committed in the shared database
};

// One campaign against a fresh fleet.
struct FleetSetUp {
    int trackers = 1000;
    int modems = kModems;
    bool neverCall = false;  // every tracker stays silent; the campaign waits and ends
    int waitSeconds = 60;
    int smsDelayMs = 0;  // each modem's reply to a message comes this late
};

CampaignRun runCampaign(const FleetSetUp& setUp) {
    const int trackers = setUp.trackers;
    const int modems = setUp.modems;
    const bool neverCall = setUp.neverCall;
    const int waitSeconds = setUp.waitSeconds;
    CampaignRun result;
    char pattern[] = "/tmp/vela-bench-campaign-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        result.error = "mkdtemp failed";
        return result;
    }
    const fs::path dir = pattern;
    const std::unique_ptr<Child> fleet =
        startFleet(dir, trackers, neverCall, modems, setUp.smsDelayMs);
    if (!fleet) {
        result.error = "the fleet did not start";
        fs::remove_all(dir);
        return result;
    }
    std::random_device seed;
    const int port = 20000 + static_cast<int>(seed() % 12000);
    vela::ProgramSettings settings;
    settings.externalIp = 0x7F000001;
    settings.externalPort = port;
    settings.localPort = port;
    (void)vela::SettingsStore(dir).save(settings);
    {
        Child import({VELACTL_PROGRAM, "trackers", "import", "--dir", dir.string(),
                      (dir / "fleet.csv").string()});
        rusage usage{};
        if (import.reap(usage) != 0) {
            result.error = "the fleet's trackers could not be imported";
            fs::remove_all(dir);
            return result;
        }
    }

    std::vector<std::string> run = {
        VELACTL_PROGRAM,    "campaign", "run",        "--all",  "--config",
        VELA_SAMPLE_CONFIG, "--dir",    dir.string(), "--wait", std::to_string(waitSeconds),
        "--attempts",       "1"};
    for (int k = 1; k <= modems; ++k) {
        run.push_back("--modem");
        run.push_back((dir / "modem").string() + std::to_string(k));
    }
    const auto start = Clock::now();
    Child campaign(run);
    const auto limit = start + kRunLimit;
    int smsSent = 0;
    std::optional<Clock::time_point> allSent;
    Verdicts verdicts;
    std::optional<double> cpuAtQuietStart;
    std::optional<double> cpuAtQuietEnd;
    constexpr std::chrono::seconds kQuietStart{1};
    constexpr std::chrono::seconds kQuietEnd{6};
    while (!campaign.ended() && Clock::now() < limit) {
        // Wake up for the quiet window's edges even when no line comes.
        auto until = limit;
        if (allSent && !cpuAtQuietStart)
            until = *allSent + kQuietStart;
        else if (allSent && !cpuAtQuietEnd)
            until = *allSent + kQuietEnd;
        const std::optional<std::string> line = campaign.line(until);
        const auto now = Clock::now();
        if (allSent && !cpuAtQuietStart && now >= *allSent + kQuietStart) {
            cpuAtQuietStart = cpuSeconds(campaign.pid());
        } else if (cpuAtQuietStart && !cpuAtQuietEnd && now >= *allSent + kQuietEnd) {
            cpuAtQuietEnd = cpuSeconds(campaign.pid());
        }
        if (!line) continue;
        if (line->find(" sms-sent") != std::string::npos && ++smsSent == trackers) {
            allSent = Clock::now();
        }
        verdicts.Line(*line);
    }
    const auto end = Clock::now();
    rusage usage{};
    const int status = campaign.reap(usage);
    result.wallSeconds = std::chrono::duration<double>(end - start).count();
    result.peakMegabytes = static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e6;
    if (allSent) result.afterLastSmsSeconds = std::chrono::duration<double>(end - *allSent).count();
    if (cpuAtQuietStart && cpuAtQuietEnd) {
        result.waitingSeconds = std::chrono::duration<double>(kQuietEnd - kQuietStart).count();
        result.waitingCpuSeconds = *cpuAtQuietEnd - *cpuAtQuietStart;
    }
    if (status < 0) result.error = "velactl campaign did not end by itself";
    result.configured = verdicts.configured;
    if (result.error.empty()) result.error = verdicts.Check(trackers, neverCall, dir / "fleet.log");
    fs::remove_all(dir);
    return result;
}

// Runs `campaign` once per iteration, timed by its own wall time; the last result.
CampaignRun timeCampaign(benchmark::State& state, const std::function<CampaignRun()>& campaign) {
    CampaignRun result;
    for (auto _ : state) {
        result = campaign();
        if (!result.error.empty()) {
            state.SkipWithError(result.error.c_str());
            break;
        }
        state.SetIterationTime(result.wallSeconds);
    }
    return result;
}

void BM_Campaign(benchmark::State& state) {
    const int trackers = static_cast<int>(state.range(0));
    const int modems = static_cast<int>(state.range(1));
    const CampaignRun result = timeCampaign(state, [&] { return runCampaign({trackers, modems}); });
    state.counters["wall_s"] = result.wallSeconds;
    state.counters["ms_per_tracker"] = result.wallSeconds * 1e3 / trackers;
    state.counters["peak_MB"] = result.peakMegabytes;
    state.counters["configured"] = result.configured;
}

// The 100,000-tracker run takes several minutes; CI runs no benchmark.
BENCHMARK(BM_Campaign)
    ->Args({1000, kModems})
    ->Args({10000, kModems})
    ->Args({100000, 16})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

void BM_CampaignWaiting(benchmark::State& state) {
    const CampaignRun result = timeCampaign(state, [&] {
        return runCampaign({static_cast<int>(state.range(0)), kModems, true, 15});
    });
    state.counters["waiting_s"] = result.waitingSeconds;
    state.counters["waiting_cpu_ms"] = result.waitingCpuSeconds * 1e3;
}

BENCHMARK(BM_CampaignWaiting)->Arg(1000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Modems that take 300 ms per SMS: the run against the modems' own bound, every modem
// busy from the first SMS to the last (trackers / modems x 300 ms) and then the last
// tracker's call (measured from the last SMS to the run's end).
constexpr int kSlowSmsMs = 300;

void BM_ModemBound(benchmark::State& state) {
    const int trackers = static_cast<int>(state.range(0));
    const int modems = static_cast<int>(state.range(1));
    const CampaignRun result = timeCampaign(state, [&] {
        return runCampaign({trackers, modems, false, 60, kSlowSmsMs});
    });
    const double bound = trackers * kSlowSmsMs / 1e3 / modems + result.afterLastSmsSeconds;
    state.counters["wall_s"] = result.wallSeconds;
    state.counters["bound_s"] = bound;
    state.counters["ratio"] = bound > 0 ? result.wallSeconds / bound : 0;
}

BENCHMARK(BM_ModemBound)->Args({2000, 8})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// One campaign of `trackers` in a fresh shared database, run by `stations` stations
// that split the 4 modems between them. Wall time from the first station's start until
// the last one has exited.
// The database's committed transactions so far (nothing when it cannot be asked).
std::optional<double> committedTransactions(const std::string& url) {
    vela::Result<vela::pg::Connection> connection = vela::pg::Connection::open(url);
    if (!connection) return std::nullopt;
    vela::Result<vela::pg::QueryResult> row = connection.value().execute(
        "SELECT xact_commit FROM pg_stat_database WHERE datname = current_database()");
    if (!row || row.value().rows() != 1) return std::nullopt;
    vela::Result<int64_t> count = row.value().integer(0, 0);
    if (!count) return std::nullopt;
    return static_cast<double>(count.value());
}

CampaignRun runSharedCampaign(int trackers, int stations, int modems) {
    CampaignRun result;
    static vela::test::PostgresServer server;
    if (!server.running()) {
        result.error = "no PostgreSQL server: " + server.failure();
        return result;
    }
    const std::string url = server.createDatabase();
    char pattern[] = "/tmp/vela-bench-shared-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        result.error = "mkdtemp failed";
        return result;
    }
    const fs::path dir = pattern;
    auto fail = [&](const std::string& why) {
        result.error = why;
        fs::remove_all(dir);
        return result;
    };
    const std::unique_ptr<Child> fleet = startFleet(dir, trackers, false, modems);
    if (!fleet) return fail("the fleet did not start");
    std::random_device seed;
    std::vector<int> ports;
    for (int k = 0; k < stations; ++k) ports.push_back(20000 + static_cast<int>(seed() % 12000));
    for (const std::vector<std::string>& setUp :
         {std::vector<std::string>{VELACTL_PROGRAM, "trackers", "import", "--database", url,
                                   (dir / "fleet.csv").string()},
          std::vector<std::string>{VELACTL_PROGRAM, "settings", "set", "--database", url,
                                   "--external-ip", "127.0.0.1"}}) {
        Child step(setUp);
        rusage usage{};
        if (step.reap(usage) != 0) return fail("the shared database could not be filled");
    }
    const std::optional<double> transactionsBefore = committedTransactions(url);
    const auto start = Clock::now();
    std::vector<std::unique_ptr<Child>> running;
    for (int k = 0; k < stations; ++k) {
        std::vector<std::string> argv = {VELACTL_PROGRAM, "campaign"};
        if (k == 0) {
            argv.insert(argv.end(), {"run", "--all", "--config", VELA_SAMPLE_CONFIG, "--wait", "60",
                                     "--attempts", "1"});
        } else {
            argv.insert(argv.end(), {"join", "1"});
        }
        const std::string port = std::to_string(ports[static_cast<std::size_t>(k)]);
        argv.insert(argv.end(), {"--database", url, "--local-port", port, "--external-port", port});
        for (int m = 1; m <= modems; ++m) {
            if ((m - 1) * stations / modems != k) continue;
            argv.push_back("--modem");
            argv.push_back((dir / "modem").string() + std::to_string(m));
        }
        const fs::path log = dir / ("station" + std::to_string(k) + ".log");
        running.push_back(std::make_unique<Child>(argv, log.string()));
        if (k == 0 && !waitForText(log, "campaign: 1", start + std::chrono::seconds(30)))
            return fail("the first station did not start the campaign");
    }
    double peak = 0;
    for (std::size_t k = 0; k < running.size(); ++k) {
        rusage usage{};
        if (running[k]->reap(usage) != 0) {
            // The stations' last lines other than progress say why.
            std::deque<std::string> last;
            for (std::size_t other = 0; other < running.size(); ++other) {
                std::ifstream log(dir / ("station" + std::to_string(other) + ".log"));
                for (std::string line; std::getline(log, line);) {
                    if (line.find(" configured") != std::string::npos ||
                        line.find(" sms-sent") != std::string::npos ||
                        line.find(" called") != std::string::npos)
                        continue;
                    last.push_back(std::to_string(other) + ": " + line);
                    if (last.size() > 6) last.pop_front();
                }
            }
            std::string why = "station " + std::to_string(k) + " did not configure every tracker:";
            for (const std::string& line : last) why += " | " + line;
            return fail(why);
        }
        peak = std::max(peak, static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e6);
    }
    result.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.peakMegabytes = peak;
    if (const std::optional<double> after = committedTransactions(url);
        after && transactionsBefore && result.wallSeconds > 0) {
        result.transactionsPerSecond = (*after - *transactionsBefore) / result.wallSeconds;
    }
    // Exactly once across the stations: each tracker one verdict in all their lines
    // together, and answered its image once.
    Verdicts verdicts;
    for (int k = 0; k < stations; ++k) {
        std::ifstream log(dir / ("station" + std::to_string(k) + ".log"));
        for (std::string line; std::getline(log, line);) verdicts.Line(line);
    }
    result.configured = verdicts.configured;
    result.error = verdicts.Check(trackers, false, dir / "fleet.log");
    fs::remove_all(dir);
    return result;
}

void BM_SharedCampaign(benchmark::State& state) {
    const CampaignRun result = timeCampaign(state, [&] {
        return runSharedCampaign(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                                 static_cast<int>(state.range(2)));
    });
    state.counters["wall_s"] = result.wallSeconds;
    state.counters["peak_MB"] = result.peakMegabytes;
    state.counters["xact_per_s"] = result.transactionsPerSecond;
}

BENCHMARK(BM_SharedCampaign)
    ->Args({2000, 1, kModems})
    ->Args({2000, 2, kModems})
    ->Args({100000, 1, 16})
    ->Args({100000, 4, 16})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

std::vector<vela::bench::Row> campaignRows(const vela::bench::Results& results) {
    using vela::bench::format;
    std::vector<vela::bench::Row> rows;
    double perTrackerAt1000 = 0;
    for (const auto& [trackers, modems] :
         {std::pair{1000, kModems}, std::pair{10000, kModems}, std::pair{100000, 16}}) {
        const std::string name =
            format("BM_Campaign/%d/%d/iterations:1/manual_time", trackers, modems);
        const std::string figure =
            format("Campaign of %d trackers, %d modems, wall time", trackers, modems);
        const std::string memory = format("Campaign of %d trackers, velactl peak memory", trackers);
        const std::string target = trackers == 1000     ? "< 15 s"
                                   : trackers == 100000 ? "per tracker <= 1.5 x 1,000's"
                                                        : "reported";
        const auto found = results.find(name);
        if (found == results.end() || found->second.failed) {
            rows.push_back(vela::bench::missingRow(figure, target, results, name));
            rows.push_back(vela::bench::missingRow(memory, "< 150 MB", results, name));
            continue;
        }
        const double wall = found->second.counter("wall_s");
        const double perTracker = found->second.counter("ms_per_tracker");
        const double peak = found->second.counter("peak_MB");
        if (trackers == 1000) perTrackerAt1000 = perTracker;
        const bool met = trackers == 1000 ? wall < 15.0
                         : trackers == 100000
                             ? perTrackerAt1000 > 0 && perTracker <= 1.5 * perTrackerAt1000
                             : true;
        rows.push_back({figure, target,
                        format("%.1f s (%.2f ms per tracker), %.0f configured", wall, perTracker,
                               found->second.counter("configured")),
                        met});
        rows.push_back({memory, "< 150 MB", format("%.1f MB", peak), peak < 150.0});
    }
    const std::string name = "BM_CampaignWaiting/1000/iterations:1/manual_time";
    const std::string figure = "Campaign CPU while 1,000 trackers are awaited";
    const auto found = results.find(name);
    if (found == results.end() || found->second.failed) {
        rows.push_back(vela::bench::missingRow(figure, "near zero (< 1 %)", results, name));
    } else {
        const double seconds = found->second.counter("waiting_s");
        const double cpuMs = found->second.counter("waiting_cpu_ms");
        const double share = seconds > 0 ? cpuMs / (seconds * 10.0) : 100.0;
        rows.push_back({figure, "near zero (< 1 %)",
                        format("%.0f ms of CPU in %.1f s (%.2f %%)", cpuMs, seconds, share),
                        share < 1.0});
    }
    {
        const std::string name = "BM_ModemBound/2000/8/iterations:1/manual_time";
        const std::string figure = "Campaign of 2,000 trackers, 8 modems of 300 ms per SMS";
        const std::string target = "<= 1.1 x the modems' bound";
        const auto found = results.find(name);
        if (found == results.end() || found->second.failed) {
            rows.push_back(vela::bench::missingRow(figure, target, results, name));
        } else {
            const double ratio = found->second.counter("ratio");
            rows.push_back(
                {figure, target,
                 format("%.1f s against %.1f s (%.3f x)", found->second.counter("wall_s"),
                        found->second.counter("bound_s"), ratio),
                 ratio > 0 && ratio <= 1.1});
        }
    }
    for (const int trackers : {2000, 100000}) {
        const int modems = trackers == 2000 ? kModems : 16;
        std::optional<double> alone;
        for (const int stations : {1, trackers == 2000 ? 2 : 4}) {
            const std::string name = format("BM_SharedCampaign/%d/%d/%d/iterations:1/manual_time",
                                            trackers, stations, modems);
            const std::string figure =
                format("Shared campaign of %d trackers, %d station%s x %d modems", trackers,
                       stations, stations == 1 ? "" : "s", modems / stations);
            const double slack = trackers == 2000 ? 1.25 : 1.3;
            const std::string target =
                stations == 1 ? "reported" : format("within %.2f x of 1 station", slack);
            const auto found = results.find(name);
            if (found == results.end() || found->second.failed) {
                rows.push_back(vela::bench::missingRow(figure, target, results, name));
                continue;
            }
            const double wall = found->second.counter("wall_s");
            const double peak = found->second.counter("peak_MB");
            if (stations == 1) alone = wall;
            rows.push_back({figure, target,
                            format("%.1f s, peak %.0f MB per station, %.0f transactions/s", wall,
                                   peak, found->second.counter("xact_per_s")),
                            (stations == 1 || (alone && wall <= *alone * slack)) && peak < 150});
        }
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    return vela::bench::runAndReport(argc, argv, campaignRows);
}
