// The modem dialogue under faults of the line: a port that vanishes, garbage and NUL
// bytes, megabytes of noise, a reply that never ends, and a port held by another
// process. Each ends with the step's own text within its limit, without spinning.
#include "modem/reply_text.h"
#include "modem/sms_dialogue.h"
#include "storage/settings_store.h"
#include "storage/tracker_store.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

namespace vela {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kPdu =
    "0041000B912143658709F100F52306050407D1000000000A3139322e302e322e313013880A696e7465726e65"
    "743a700000";

class RecordingUi : public ModemDialogueUi {
public:
    void SetWaitCursor(bool shown) override { cursor.push_back(shown); }
    void ShowModemError(const std::string& text, const std::string& reason) override {
        errors.push_back(text);
        reasons.push_back(reason);
    }
    std::vector<bool> cursor;
    std::vector<std::string> errors;
    std::vector<std::string> reasons;
};

std::chrono::nanoseconds threadCpu() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// The master side of a pseudo-terminal pair, played by `behaviour` on its own thread.
// The behaviour may close the master (the line vanishes); every loop in it watches
// `stop`, so the destructor always ends it.
class LineModem {
public:
    class Line {
    public:
        Line(int& master, const std::atomic<bool>& stop) : master_(master), stop_(stop) {}
        // The next command up to and including "\r\n"; empty when stopped or gone.
        std::string command() {
            for (;;) {
                if (const size_t end = pending_.find("\r\n"); end != std::string::npos) {
                    std::string out = pending_.substr(0, end + 2);
                    pending_.erase(0, end + 2);
                    return out;
                }
                if (stop_ || master_ < 0) return {};
                pollfd p{master_, POLLIN, 0};
                const int ready = poll(&p, 1, 20);
                if (ready > 0 && (p.revents & POLLIN) == 0) {
                    // No reader on the other side yet (or any more): poll would not wait.
                    std::this_thread::sleep_for(5ms);
                    continue;
                }
                if (ready <= 0) continue;
                char buffer[4096];
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) pending_.append(buffer, static_cast<size_t>(n));
            }
        }
        // False when stopped or when the reader went away.
        bool send(std::string_view bytes) {
            while (!bytes.empty()) {
                if (stop_ || master_ < 0) return false;
                const ssize_t n = write(master_, bytes.data(), bytes.size());
                if (n > 0) {
                    bytes.remove_prefix(static_cast<size_t>(n));
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    return false;
                } else {
                    pollfd p{master_, POLLOUT, 0};
                    (void)poll(&p, 1, 20);
                }
            }
            return true;
        }
        // The standard reply to a command of the dialogue.
        bool answer(const std::string& command) {
            if (command.find('\x1A') != std::string::npos)
                return send("\r\n+CMGS: 7\r\n\r\nOK\r\n");
            if (command.rfind("AT+CPIN?", 0) == 0) return send("\r\n+CPIN: READY\r\n\r\nOK\r\n");
            if (command.rfind("AT+CMGS=", 0) == 0) return send("\r\n> ");
            return send("\r\nOK\r\n");
        }
        // The line vanishes: the master side closes, as when a USB modem is unplugged.
        void hangUp() {
            close(master_);
            master_ = -1;
        }
        bool stopped() const { return stop_; }

    private:
        int& master_;
        const std::atomic<bool>& stop_;
        std::string pending_;
    };
    using Behaviour = std::function<void(Line&)>;

    explicit LineModem(Behaviour behaviour) {
        termios raw{};
        cfmakeraw(&raw);
        char name[256] = {};
        int slave = -1;
        EXPECT_EQ(openpty(&master_, &slave, name, &raw, nullptr), 0);
        // Only the port under test holds the slave side, so a hang-up is seen there.
        close(slave);
        path_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this, behaviour] {
            Line line(master_, stop_);
            behaviour(line);
        });
    }
    ~LineModem() {
        stop_ = true;
        thread_.join();
        if (master_ >= 0) close(master_);
    }
    const std::string& path() const { return path_; }

private:
    int master_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Answers normally until `vanishAt` arrives, then hangs up without a reply.
LineModem::Behaviour vanishingAt(std::string vanishAt) {
    return [vanishAt](LineModem::Line& line) {
        for (std::string command; !(command = line.command()).empty();) {
            const bool last = vanishAt == "PDU" ? command.find('\x1A') != std::string::npos
                                                : command.rfind(vanishAt, 0) == 0;
            if (last) {
                line.hangUp();
                return;
            }
            line.answer(command);
        }
    };
}

TEST(ModemFaults, VanishingPortFailsTheStepAtItsLimitWithoutSpinning) {
    const DialogueLimits limits{700ms, 1200ms};
    const struct {
        const char* vanishAt;
        const char* text;
        std::chrono::milliseconds limit;
    } rows[] = {{"ATE0", kTextNoModem2, limits.shortStep},
                {"AT+CPIN?", kTextSimProblem, limits.longStep},
                {"PDU", kTextNotSent, limits.longStep}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.vanishAt);
        LineModem modem(vanishingAt(row.vanishAt));
        SerialPort port;
        port.setReopenPause(10ms);
        RecordingUi ui;
        const auto cpuBefore = threadCpu();
        const auto before = Clock::now();
        EXPECT_FALSE(SendPushSms(port, modem.path(), kPdu, ui, limits));
        const auto wall = Clock::now() - before;
        EXPECT_EQ(ui.errors, std::vector<std::string>{row.text});
        EXPECT_EQ(ui.cursor, (std::vector<bool>{true, false}));
        // A hung-up line reports "ready" to every poll; waiting on it must still sleep.
        EXPECT_GE(wall, row.limit);
        EXPECT_LT(wall, 3 * (limits.shortStep * 2 + limits.longStep * 2));
        EXPECT_LT(threadCpu() - cpuBefore, wall / 4);

        // The device is gone for good: the next run cannot open it and says so.
        RecordingUi again;
        EXPECT_FALSE(SendPushSms(port, modem.path(), kPdu, again, limits));
        EXPECT_EQ(again.errors, std::vector<std::string>{kTextPortNotOpened});
    }
}

TEST(ModemFaults, GarbageAndNulBytesBeforeTheRepliesDoNoHarm) {
    LineModem modem([](LineModem::Line& line) {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> byte(0, 255);
        for (std::string command; !(command = line.command()).empty();) {
            // NULs right before the awaited text, binary garbage around it; no CR LF in
            // the garbage, so it cannot complete an awaited text by chance.
            std::string garbage(3, '\0');
            for (int i = 0; i < 200; ++i) {
                char c = static_cast<char>(byte(random));
                if (c == '\r' || c == '\n' || c == '>') c = '\0';
                garbage += c;
            }
            garbage += std::string(5, '\0');
            if (!line.send(garbage) || !line.answer(command) || !line.send(garbage)) return;
        }
    });
    SerialPort port;
    RecordingUi ui;
    EXPECT_TRUE(SendPushSms(port, modem.path(), kPdu, ui, {3000ms, 6000ms}));
    EXPECT_TRUE(ui.errors.empty()) << ui.errors.front();
}

TEST(ModemFaults, AwaitedTextRightAfterNulBytesInTheSameReadIsFound) {
    // All in one write, so that one read sees NULs first: a text cut at the first NUL
    // would never hold the OK.
    LineModem modem([](LineModem::Line& line) {
        for (std::string command; !(command = line.command()).empty();) {
            std::string reply = "\0\0\0"s;
            if (command.rfind("AT+CPIN?", 0) == 0) {
                reply += "\r\n+CPIN: READY\r\n\0\r\nOK\r\n"s;  // NUL inside: not READY
                reply += "\r\n+CPIN: READY\r\n\r\nOK\r\n";
            } else if (command.rfind("AT+CMGS=", 0) == 0) {
                reply += "\r\n> ";
            } else {
                reply += "O\0K\r\n"s;  // not an OK
                reply += (command.find('\x1A') != std::string::npos ? "\r\n+CMGS: 1\r\n\r\nOK\r\n"
                                                                    : "\r\nOK\r\n");
            }
            if (!line.send(reply)) return;
        }
    });
    SerialPort port;
    RecordingUi ui;
    EXPECT_TRUE(SendPushSms(port, modem.path(), kPdu, ui, {3000ms, 6000ms}));
    EXPECT_TRUE(ui.errors.empty()) << ui.errors.front();
}

TEST(ModemFaults, NulBytesInsideAnAwaitedTextDoNotCount) {
    LineModem modem([](LineModem::Line& line) {
        for (std::string command; !(command = line.command()).empty();) {
            if (!line.send("\r\nOK\0\r\n"s)) return;
        }
    });
    SerialPort port;
    RecordingUi ui;
    EXPECT_FALSE(SendPushSms(port, modem.path(), kPdu, ui, {400ms, 800ms}));
    EXPECT_EQ(ui.errors, std::vector<std::string>{kTextNoModem1});
}

// Noise without line ends, then the reply; the awaited text can be cut by any read.
LineModem::Behaviour noisyModem(size_t noiseBytes) {
    return [noiseBytes](LineModem::Line& line) {
        std::string chunk(64 * 1024, '\0');
        std::mt19937 random(11);
        std::uniform_int_distribution<int> byte(0, 255);
        for (char& c : chunk) {
            c = static_cast<char>(byte(random));
            if (c == '\r' || c == '\n' || c == '>') c = '.';
        }
        for (std::string command; !(command = line.command()).empty();) {
            for (size_t sent = 0; sent < noiseBytes; sent += chunk.size()) {
                if (!line.send(chunk)) return;
            }
            if (!line.answer(command)) return;
        }
    };
}

// A field of /proc/self/status in kB ("VmHWM", "VmRSS"), or -1.
long statusKb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

TEST(ModemFaults, MegabytesOfNoiseBeforeEachReplyStillSucceedInBoundedMemory) {
    // "5" resets the peak resident size to the current one, so the peak after the
    // dialogue shows what the dialogue added.
    const bool peakReset = static_cast<bool>(std::ofstream("/proc/self/clear_refs") << "5");
    const long peakBefore = statusKb("VmHWM");
    {
        LineModem modem(noisyModem(4 * 1024 * 1024));
        SerialPort port;
        RecordingUi ui;
        // Generous limits: 24 MB cross the pseudo-terminal, and the machine may be busy.
        EXPECT_TRUE(SendPushSms(port, modem.path(), kPdu, ui, {60000ms, 60000ms}));
        EXPECT_TRUE(ui.errors.empty()) << ui.errors.front();
    }
    if (!peakReset || peakBefore < 0) {
        GTEST_SKIP() << "the peak resident size cannot be reset here; memory not checked";
    }
    // A reply text that kept the noise would hold 4 MB at each step.
    EXPECT_LT(statusKb("VmHWM") - peakBefore, 2048);
}

TEST(ModemFaults, ReplyTextStaysBoundedAndExactAcrossReads) {
    ReplyText reply;
    std::string noise(1024, 'x');
    for (int i = 0; i < 16 * 1024; ++i) {  // 16 MB in reads of 1024 bytes
        noise[static_cast<size_t>(i) % noise.size()] = static_cast<char>(i);
        reply.append(noise.data(), noise.size());
        ASSERT_LE(reply.size(), ReplyText::kKeep + noise.size());
    }
    EXPECT_FALSE(reply.contains("READY\r\n\r\nOK\r\n"));
    // The longest awaited text, cut at every place between two reads, after the noise.
    const std::string awaited = "SIM PIN\r\n\r\nOK\r\n";
    for (size_t cut = 0; cut <= awaited.size(); ++cut) {
        SCOPED_TRACE(cut);
        ReplyText split;
        for (int i = 0; i < 64; ++i) split.append(noise.data(), noise.size());
        split.append(awaited.data(), cut);
        EXPECT_EQ(split.contains(awaited), cut == awaited.size());
        split.append(awaited.data() + cut, awaited.size() - cut);
        EXPECT_TRUE(split.contains(awaited));
    }
    // One byte per read, as a slow line delivers it.
    ReplyText bytewise;
    for (int i = 0; i < 64; ++i) bytewise.append(noise.data(), noise.size());
    for (char c : awaited) bytewise.append(&c, 1);
    EXPECT_TRUE(bytewise.contains(awaited));
    // Length-counted: NULs are bytes like any other.
    ReplyText nul;
    nul.append("\0\0OK\r\n", 6);
    EXPECT_TRUE(nul.contains("OK\r\n"));
}

TEST(ModemFaults, AReplyThatNeverEndsFailsAtTheStepLimit) {
    // A modem stuck streaming: it never sends an OK with its line end.
    const struct {
        const char* streamAt;
        const char* text;
    } rows[] = {{"ATQ0", kTextNoModem1}, {"AT+CPIN?", kTextSimProblem}};
    const DialogueLimits limits{800ms, 1500ms};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.streamAt);
        const std::string streamAt = row.streamAt;
        LineModem modem([streamAt](LineModem::Line& line) {
            for (std::string command; !(command = line.command()).empty();) {
                if (command.rfind(streamAt, 0) != 0) {
                    line.answer(command);
                    continue;
                }
                // Ten seconds of it at most, so that a dialogue that waits for the end
                // fails the test instead of hanging it.
                const std::string stream =
                    "\r\n+CREG: 1\r\nRING\r\nOK" + std::string(64 * 1024, 'z');
                const auto end = Clock::now() + 10s;
                while (Clock::now() < end && line.send(stream)) {
                }
                return;
            }
        });
        SerialPort port;
        RecordingUi ui;
        const auto before = Clock::now();
        EXPECT_FALSE(SendPushSms(port, modem.path(), kPdu, ui, limits));
        const auto wall = Clock::now() - before;
        EXPECT_EQ(ui.errors, std::vector<std::string>{row.text});
        // The earlier steps are answered at once, so the step's limit is nearly all.
        const auto limit = streamAt == "ATQ0" ? limits.shortStep : limits.longStep;
        EXPECT_GE(wall, limit);
        // At its limit: a few reads of slack, not a second limit's worth.
        EXPECT_LT(wall, limit + 700ms);
    }
}

// Runs `job` in a child that gives up root first (root passes exclusive access and
// permissions); returns what the job returned, or "skip|..." when root cannot be left.
std::string runUnprivileged(const std::function<std::string()>& job) {
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        alarm(20);  // the child ends by itself whatever happens
        std::string report;
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            report = "skip|cannot drop root: " + std::string(strerror(errno));
        } else {
            report = job();
        }
        (void)!write(pipeFds[1], report.data(), report.size());
        _exit(0);
    }
    close(pipeFds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return report;
}

// The port held by another process of the same user: the second opening is refused
// with a reason naming the holder as /proc shows it, and the dialogue shows its fixed
// text with that reason. Once the holder lets go, the same child opens the port.
TEST(ModemFaults, PortHeldByAnotherProcessIsRefusedNamingTheHolder) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    const std::string path = name;
    ASSERT_EQ(fchmod(slave, 0666), 0);  // so that an unprivileged child may open it

    // The holder: unprivileged like the opener, and readable in /proc by it.
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        alarm(20);
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(1);
        }
        close(held[0]);
        prctl(PR_SET_DUMPABLE, 1);
        SerialPort port;
        const char ok = port.Open(path).ok() ? 'y' : 'n';
        (void)!write(held[1], &ok, 1);
        for (;;) pause();  // until the test ends it
    }
    close(held[1]);
    char ok = 0;
    ASSERT_EQ(read(held[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    std::string comm;
    std::getline(std::ifstream("/proc/" + std::to_string(holder) + "/comm"), comm);

    auto secondOpener = [&path] {
        SerialPort port;
        const Status opened = port.Open(path);
        std::string report = "open|" + std::string(opened ? "opened" : opened.message()) + "\n";
        port.Close();
        RecordingUi ui;
        port.setReopenPause(0ms);
        const bool sent = SendPushSms(port, path, kPdu, ui, {300ms, 300ms});
        report +=
            "sms|" + std::string(sent ? "sent" : "") +
            (ui.errors.empty() ? std::string() : ui.errors.front() + "|" + ui.reasons.front()) +
            "\n";
        return report;
    };
    const std::string refused = runUnprivileged(secondOpener);
    kill(holder, SIGKILL);
    int status = 0;
    EXPECT_EQ(waitpid(holder, &status, 0), holder);
    (void)ioctl(slave, TIOCNXCL);  // the holder had no chance to clear its exclusive access
    close(held[0]);
    if (refused.rfind("skip|", 0) == 0) {
        close(slave);
        close(master);
        GTEST_SKIP() << refused.substr(5);
    }
    const std::string reason =
        path + ": busy, held by " + comm + " (pid " + std::to_string(holder) + ")";
    EXPECT_NE(refused.find("open|" + reason + "\n"), std::string::npos) << refused;
    EXPECT_NE(refused.find(std::string("sms|") + kTextPortNotOpened + "|" + reason + "\n"),
              std::string::npos)
        << refused;

    const std::string released = runUnprivileged(secondOpener);
    EXPECT_NE(released.find("open|opened\n"), std::string::npos) << released;
    EXPECT_NE(released.find(std::string("sms|") + kTextNoModem1 + "|no reply within 300 ms\n"),
              std::string::npos)
        << released;
    close(slave);
    close(master);
}

// Opening refuses what is not a serial port before a byte is written, and says why:
// a missing device, a device the user may not open, an ordinary file, a FIFO, a device
// that is no terminal, a bare name that is no serial line.
TEST(ModemFaults, OpeningRefusesWhatIsNotAUsablePortWithItsReason) {
    test::TempDir dir;
    const std::string file = (dir / "file").string();
    std::ofstream(file) << "keep";
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int master = -1;
    int slave = -1;
    char terminal[256] = {};
    ASSERT_EQ(openpty(&master, &slave, terminal, nullptr, nullptr), 0);
    ASSERT_EQ(fchmod(slave, 0600), 0);  // root's own line: others may not open it
    ASSERT_EQ(fchown(slave, 0, 0), 0);

    const struct {
        std::string name;
        std::string reason;
        bool unprivileged;
    } rows[] = {
        {(dir / "missing").string(), (dir / "missing").string() + ": no such device", false},
        {file, file + ": not a serial port", false},
        {fifo, fifo + ": not a serial port", false},
        {"/dev/null", "/dev/null: not a serial port", false},
        {"sda", "'sda' is not a serial port name", false},
        {terminal,
         std::string(terminal) + ": permission denied; the user is not in the 'dialout' group",
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto attempt = [&row] {
            SerialPort port;
            const Status opened = port.Open(row.name);
            return std::string(opened ? "opened" : opened.message()) +
                   (port.IsOpen() ? "|open" : "");
        };
        const std::string result = row.unprivileged ? runUnprivileged(attempt) : attempt();
        if (result.rfind("skip|", 0) == 0) continue;
        EXPECT_EQ(result.rfind(row.reason, 0), 0u) << result;
    }
    EXPECT_EQ(test::readFile(file), "keep");
    close(slave);
    close(master);
}

// The same with the real program: velactl sms keeps the box's fixed text and prints
// the likely cause on its diagnostics.
TEST(ModemFaults, VelactlShowsTheFixedTextAndTheCauseForAHeldPort) {
    const char* velactl = std::getenv("VELACTL");
    if (velactl == nullptr) GTEST_SKIP() << "velactl is not built here";
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    const std::string path = name;
    ASSERT_EQ(fchmod(slave, 0666), 0);
    SerialPort holder;
    ASSERT_TRUE(holder.Open(path).ok());

    test::TempDir dir;
    ProgramSettings settings;
    settings.externalIp = 0x7F000001;
    settings.modemPort = path;
    ASSERT_TRUE(SettingsStore(dir.path()).save(settings).ok());
    TrackerEntry tracker;
    tracker.description = "356307042441013";
    tracker.phone = "12345678901";
    tracker.pushPort = 2001;
    tracker.apn = "internet";
    TrackerList list;
    list.add(tracker);
    ASSERT_TRUE(TrackerStore(dir.path()).save(list).ok());
    const std::string database = (dir / "settings.accdb").string();
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown(database.c_str(), 65534, 65534), 0);
    }

    test::TempDir capture;
    const std::string out = (capture / "out").string();
    const std::string err = (capture / "err").string();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (outFd < 0 || errFd < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) _exit(120);
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(121);
        }
        execl(velactl, velactl, "sms", "--tracker", "356307042441013", "--dir", dir.path().c_str(),
              static_cast<char*>(nullptr));
        _exit(122);
    }
    int status = 0;
    const auto limit = Clock::now() + 30s;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > limit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    close(slave);
    close(master);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 121) GTEST_SKIP() << "cannot give up root here";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(test::readFile(out), std::string("error: ") + kTextPortNotOpened + "\n");
    // The holder (this process, root or not) may be hidden from the unprivileged child.
    EXPECT_EQ(test::readFile(err).rfind("velactl sms: " + path + ": busy, held by ", 0), 0u)
        << test::readFile(err);
}

}  // namespace
}  // namespace vela
