// vela-sim fleet: N simulated trackers behind M simulated modems. Each modem is a
// `vela-sim modem` of its own (same dialogue, same behaviours); the fleet reads what the
// modems report, wakes the tracker whose phone number an accepted SMS carries, and has
// it call the address in the SMS after a random delay, played by its role.
#include "sim_fleet.h"

#include "common/file_access.h"
#include "common/number.h"
#include "config/config_image.h"
#include "config/config_reader.h"
#include "sim_commands.h"
#include "sim_fleet_call.h"
#include "storage/tracker_csv.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <thread>
#include <unordered_map>

namespace velasim {

int ParseFleetOptions(const Args& args, FleetOptions& options);  // sim_fleet_options.cpp

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kModemStartLimit{10000};
constexpr milliseconds kModemStopLimit{2000};
constexpr milliseconds kSecondCallPause{200};

volatile std::sig_atomic_t gStop = 0;

void OnStopSignal(int) {
    gStop = 1;
}

// Whole lines from several threads, each flushed at once.
class Printer {
public:
    void operator()(const std::string& text) {
        const std::lock_guard lock(mutex_);
        std::fprintf(stdout, "%s\n", text.c_str());
        std::fflush(stdout);
    }

private:
    std::mutex mutex_;
};

Printer gPrint;

bool IsLoopback(const std::string& host) {
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
    return (ntohl(address.s_addr) >> 24) == 127;
}

// One `vela-sim modem` child and what its report says about the SMS in hand.
struct ModemChild {
    std::size_t number = 0;  // from 1
    pid_t pid = -1;
    int output = -1;  // its standard output
    std::string path;
    std::string pending;  // an incomplete line
    std::size_t accepted = 0;
    bool failed = false;
    bool ended = false;
    // Fields of the SMS being reported, reset by each "pdu:" line.
    std::string address, ip;
    int port = 0;
    bool readable = false;

    ~ModemChild() {
        if (output >= 0) ::close(output);
    }
};

struct Counters {
    std::atomic<std::size_t> sms{0}, unknown{0}, calls{0}, answered{0}, answeredWrong{0}, hungUp{0},
        turnedAway{0}, gotImage{0}, badImage{0}, failed{0};

    void count(const std::string& word) {
        ++calls;
        if (word == "answered")
            ++answered;
        else if (word == "answered-wrong")
            ++answeredWrong;
        else if (word == "hung-up")
            ++hungUp;
        else if (word == "turned-away")
            ++turnedAway;
        else if (word == "got-image")
            ++gotImage;
        else if (word == "bad-image")
            ++badImage;
        else
            ++failed;
    }

    std::string summary(std::size_t trackers) const {
        return "summary: " + std::to_string(trackers) + " trackers, " + std::to_string(sms) +
               " sms (" + std::to_string(unknown) + " to unknown numbers), " +
               std::to_string(calls) + " calls: " + std::to_string(answered) + " answered, " +
               std::to_string(answeredWrong) + " answered wrong, " + std::to_string(hungUp) +
               " hung up, " + std::to_string(turnedAway) + " turned away, " +
               std::to_string(gotImage) + " got an unexpected image, " + std::to_string(badImage) +
               " bad images, " + std::to_string(failed) + " failed";
    }
};

struct CallJob {
    std::size_t tracker = 0;
    std::string host;
    uint16_t port = 0;
};

// The calls in progress: a few worker threads, each call bounded by its own timeout.
class CallPool {
public:
    CallPool(const FleetOptions& options, const std::vector<FleetTracker>& fleet,
             const vela::ConfigImage* expected, Counters& counters)
        : options_(options), fleet_(fleet), expected_(expected), counters_(counters) {
        const std::size_t workers = std::clamp<std::size_t>(options.workers, 1, 1024);
        for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
    }

    ~CallPool() { Stop(); }

    // Drops the calls not yet placed and waits for those in progress (each bounded).
    void Stop() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
            jobs_.clear();
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }

    void Add(CallJob job) {
        {
            const std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
    }

private:
    void Work() {
        while (true) {
            CallJob job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (stopping_) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            Call(job, false);
        }
    }

    void Call(const CallJob& job, bool secondCall) {
        const FleetTracker& tracker = fleet_[job.tracker];
        CallPlan plan;
        plan.host = job.host;
        plan.port = job.port;
        plan.role = tracker.role;
        plan.secondCall = secondCall;
        plan.imei =
            tracker.role == FleetRole::Foreign ? ForeignImei(options_, job.tracker) : tracker.imei;
        plan.timeout = options_.callTimeout;
        plan.answerDelay = options_.answerDelay;
        if (expected_) plan.expected = expected_->view();
        const CallOutcome outcome = PlaceCall(plan);
        counters_.count(outcome.word);
        std::string text = "call: " + tracker.imei + " " + outcome.word;
        if (!outcome.detail.empty()) text += " " + outcome.detail;
        if (tracker.role == FleetRole::Foreign) text += " (as " + plan.imei + ")";
        if (secondCall) text += " (second call)";
        gPrint(text);
        if (tracker.role == FleetRole::Duplicate && !secondCall && gStop == 0) {
            std::this_thread::sleep_for(kSecondCallPause);
            Call(job, true);
        }
    }

    const FleetOptions& options_;
    const std::vector<FleetTracker>& fleet_;
    const vela::ConfigImage* expected_;
    Counters& counters_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<CallJob> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

class Fleet {
public:
    Fleet(const FleetOptions& options, std::vector<FleetTracker> fleet,
          const vela::ConfigImage* expected)
        : options_(options),
          fleet_(std::move(fleet)),
          random_(options.seed),
          calls_(options, fleet_, expected, counters_) {
        for (std::size_t i = 0; i < fleet_.size(); ++i) byPhone_.emplace(fleet_[i].phone, i);
    }

    ~Fleet() { Stop(); }

    // Modems first, so that no new SMS arrives while the calls finish.
    void Stop() {
        StopModems();
        calls_.Stop();
    }

    vela::Status StartModems() {
        std::error_code ec;
        const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
        if (ec) return vela::Status::Fail("cannot find this program: " + ec.message());
        for (std::size_t k = 1; k <= options_.modems; ++k) {
            auto& modem = modems_.emplace_back(std::make_unique<ModemChild>());
            modem->number = k;
            std::vector<std::string> argv = {self, "modem"};
            if (!options_.linkPrefix.empty()) {
                argv.insert(argv.end(), {"--link", options_.linkPrefix + std::to_string(k)});
            }
            argv.insert(argv.end(), options_.modemArgs.begin(), options_.modemArgs.end());
            // The network of every modem knows which numbers cannot be reached.
            for (const FleetTracker& tracker : fleet_) {
                if (tracker.role == FleetRole::Undelivered) {
                    argv.insert(argv.end(), {"--undeliverable", tracker.phone});
                }
            }
            if (auto started = Spawn(argv, *modem); !started) return started;
        }
        const auto limit = Clock::now() + kModemStartLimit;
        for (auto& modem : modems_) {
            while (modem->path.empty()) {
                if (Clock::now() >= limit || gStop != 0 || !ReadFrom(*modem, limit)) {
                    return vela::Status::Fail("modem " + std::to_string(modem->number) +
                                              " did not start");
                }
            }
        }
        return vela::Status::Ok();
    }

    std::string Paths() const {
        std::string paths;
        for (const auto& modem : modems_) paths += (paths.empty() ? "" : " ") + modem->path;
        return paths;
    }

    void Run() {
        const auto end = options_.lifetime.count() > 0 ? Clock::now() + options_.lifetime
                                                       : Clock::time_point::max();
        while (gStop == 0 && Clock::now() < end) {
            StartDueCalls();
            std::vector<pollfd> polls;
            std::vector<ModemChild*> owners;
            for (auto& modem : modems_) {
                if (modem->ended) continue;
                polls.push_back({modem->output, POLLIN, 0});
                owners.push_back(modem.get());
            }
            int timeout = 100;
            if (!due_.empty()) {
                const auto wait = std::chrono::ceil<milliseconds>(due_.top().when - Clock::now());
                timeout = static_cast<int>(std::clamp<long long>(wait.count(), 0, 100));
            }
            const int ready = ::poll(polls.data(), polls.size(), timeout);
            if (ready <= 0) continue;
            for (std::size_t i = 0; i < polls.size(); ++i) {
                if (polls[i].revents != 0) ReadFrom(*owners[i], Clock::now());
            }
        }
    }

private:
    void StopModems() {
        for (auto& modem : modems_) {
            if (modem->pid > 0) ::kill(modem->pid, SIGTERM);
        }
        const auto limit = Clock::now() + kModemStopLimit;
        for (auto& modem : modems_) {
            if (modem->pid <= 0) continue;
            int status = 0;
            while (::waitpid(modem->pid, &status, WNOHANG) == 0) {
                if (Clock::now() >= limit) {
                    ::kill(modem->pid, SIGKILL);
                    ::waitpid(modem->pid, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(milliseconds(20));
            }
            modem->pid = -1;
        }
    }

public:
    const Counters& counters() const { return counters_; }

private:
    struct DueCall {
        Clock::time_point when;
        CallJob job;
        bool operator>(const DueCall& other) const { return when > other.when; }
    };

    vela::Status Spawn(const std::vector<std::string>& args, ModemChild& modem) {
        int pipeEnds[2];
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
            return vela::Status::Fail(std::string("no pipe: ") + std::strerror(errno));
        }
        std::vector<std::string> argv = args;
        std::vector<char*> cargv;
        for (std::string& arg : argv) cargv.push_back(arg.data());
        cargv.push_back(nullptr);
        std::fflush(stdout);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0) {
            ::close(pipeEnds[0]);
            ::close(pipeEnds[1]);
            return vela::Status::Fail(std::string("cannot start a modem: ") + std::strerror(errno));
        }
        if (pid == 0) {
            // A fleet that dies without cleaning up takes its modems along.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) _exit(1);
            ::dup2(pipeEnds[1], STDOUT_FILENO);
            const int devnull = ::open("/dev/null", O_RDONLY);
            if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
            ::execv(cargv[0], cargv.data());
            _exit(127);
        }
        ::close(pipeEnds[1]);
        modem.pid = pid;
        modem.output = pipeEnds[0];
        ::fcntl(modem.output, F_SETFL, ::fcntl(modem.output, F_GETFL) | O_NONBLOCK);
        return vela::Status::Ok();
    }

    // Reads what the modem has written, waiting until `limit` for something; false when
    // its output has ended.
    bool ReadFrom(ModemChild& modem, Clock::time_point limit) {
        pollfd p{modem.output, POLLIN, 0};
        const auto wait = std::chrono::ceil<milliseconds>(limit - Clock::now());
        if (::poll(&p, 1, static_cast<int>(std::clamp<long long>(wait.count(), 0, 1000))) <= 0) {
            return true;
        }
        char buffer[4096];
        const ssize_t n = ::read(modem.output, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) {
            if (!modem.ended && !modem.failed) {
                gPrint("modem-ended: " + std::to_string(modem.number) + " " + modem.path);
            }
            modem.ended = true;
            return false;
        }
        modem.pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; (end = modem.pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            OnModemLine(modem, std::string_view(modem.pending).substr(start, end - start));
        }
        modem.pending.erase(0, start);
        return true;
    }

    static std::string After(std::string_view line, std::string_view prefix) {
        return std::string(line.substr(prefix.size()));
    }

    void OnModemLine(ModemChild& modem, std::string_view line) {
        const auto starts = [&](std::string_view prefix) { return line.starts_with(prefix); };
        if (starts("modem: ") && modem.path.empty()) {
            modem.path = After(line, "modem: ");
        } else if (starts("pdu: ")) {
            modem.address.clear();
            modem.ip.clear();
            modem.port = 0;
            modem.readable = true;
        } else if (starts("address: ")) {
            std::string address = After(line, "address: ");
            modem.address = address.substr(0, address.find(' '));
        } else if (starts("ip: ")) {
            modem.ip = After(line, "ip: ");
        } else if (starts("port: ")) {
            modem.port = static_cast<int>(
                vela::parseWholeNumber(After(line, "port: "), 1, 65535).value_or(0));
        } else if (starts("body-error: ")) {
            modem.readable = false;
        } else if (starts("command: ")) {
            FailIfDue(modem);
        } else if (starts("sms: accepted as message ")) {
            OnSmsAccepted(modem);
        }
    }

    void OnSmsAccepted(ModemChild& modem) {
        ++counters_.sms;
        ++modem.accepted;
        const std::string where = " modem " + std::to_string(modem.number);
        const auto found = byPhone_.find(modem.address);
        if (found == byPhone_.end()) {
            ++counters_.unknown;
            gPrint("sms: " + modem.address + where + " unknown");
        } else if (!modem.readable || modem.port <= 0 || modem.port > 65535) {
            gPrint("sms: " + modem.address + where + " refused: no readable address");
        } else if (!IsLoopback(modem.ip)) {
            gPrint("sms: " + modem.address + where + " refused: " + modem.ip +
                   " is not a loopback address");
        } else {
            const FleetTracker& tracker = fleet_[found->second];
            gPrint("sms: " + modem.address + where + " " + tracker.imei + " " +
                   std::string(RoleName(tracker.role)));
            if (tracker.role != FleetRole::NeverCalls && tracker.role != FleetRole::Undelivered) {
                std::uniform_int_distribution<long long> delay(options_.delayMin.count(),
                                                               options_.delayMax.count());
                due_.push({Clock::now() + milliseconds(delay(random_)),
                           {found->second, modem.ip, static_cast<uint16_t>(modem.port)}});
            }
        }
    }

    // The chosen modem fails at the first command after its share of SMS, that is in
    // the middle of the next dialogue: its answers to the last SMS are out by then.
    void FailIfDue(ModemChild& modem) {
        if (options_.failAfter == 0 || modem.number != options_.failModem || modem.failed ||
            modem.accepted < options_.failAfter || modem.pid <= 0) {
            return;
        }
        modem.failed = true;
        ::kill(modem.pid, SIGTERM);
        gPrint("modem-failed: " + std::to_string(modem.number) + " " + modem.path + " after " +
               std::to_string(modem.accepted) + " sms");
    }

    void StartDueCalls() {
        while (!due_.empty() && due_.top().when <= Clock::now()) {
            calls_.Add(due_.top().job);
            due_.pop();
        }
    }

    const FleetOptions& options_;
    std::vector<FleetTracker> fleet_;
    std::unordered_map<std::string, std::size_t> byPhone_;
    std::mt19937_64 random_;
    Counters counters_;
    std::vector<std::unique_ptr<ModemChild>> modems_;
    std::priority_queue<DueCall, std::vector<DueCall>, std::greater<>> due_;
    CallPool calls_;  // last: its workers stop before the rest goes
};

vela::Status WriteFleetCsv(const std::string& path, const std::vector<FleetTracker>& fleet) {
    vela::TrackerList list;
    for (const FleetTracker& tracker : fleet) {
        vela::TrackerEntry entry;
        entry.description = tracker.imei;
        entry.phone = tracker.phone;
        entry.pushPort = 2001;
        entry.apn = "internet";
        list.add(entry);
    }
    if (auto written = vela::WritePrivateFile(path, vela::writeTrackerCsv(list)); !written) {
        return vela::Status::Fail("cannot write " + path + ": " + written.message());
    }
    return vela::Status::Ok();
}

}  // namespace

int RunSimFleet(const Args& args) {
    FleetOptions options;
    if (const int status = ParseFleetOptions(args, options); status != 0) {
        return status < 0 ? 0 : status;
    }
    if (!options.seedGiven) options.seed = std::random_device{}();
    auto planned = PlanFleet(options);
    if (!planned) {
        std::fprintf(stderr, "vela-sim fleet: %s\n", planned.message().c_str());
        return 2;
    }
    std::vector<FleetTracker> fleet = std::move(planned).value();

    std::unique_ptr<vela::ConfigImage> expected;
    if (!options.expectXml.empty()) {
        expected = std::make_unique<vela::ConfigImage>();
        const vela::Status encoded =
            vela::ReadConfigFile(options.expectXml, vela::kDeviceTypeFm2xxx, *expected);
        if (!encoded) {
            std::fprintf(stderr, "vela-sim fleet: cannot encode %s: %s\n",
                         options.expectXml.c_str(), encoded.message().c_str());
            return 1;
        }
    }
    if (!options.csvFile.empty()) {
        if (auto written = WriteFleetCsv(options.csvFile, fleet); !written) {
            std::fprintf(stderr, "vela-sim fleet: %s\n", written.message().c_str());
            return 1;
        }
    }

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    gPrint("seed: " + std::to_string(options.seed));
    for (const FleetTracker& tracker : fleet) {
        gPrint("tracker: " + tracker.imei + " " + tracker.phone + " " +
               std::string(RoleName(tracker.role)));
    }
    const std::size_t trackers = fleet.size();
    int status = 0;
    {
        Fleet running(options, std::move(fleet), expected.get());
        if (auto started = running.StartModems(); !started) {
            std::fprintf(stderr, "vela-sim fleet: %s\n", started.message().c_str());
            status = 1;
        } else {
            gPrint("modems: " + running.Paths());
            running.Run();
        }
        running.Stop();
        gPrint(running.counters().summary(trackers));
    }
    return status;
}

}  // namespace velasim
