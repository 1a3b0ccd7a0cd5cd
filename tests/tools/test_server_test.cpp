// vela-test-server as a process, against listeners and clients of the test on loopback.
// Other source addresses (127.x.y.z) stand for other machines.
#include "link/port_check.h"
#include "loopback.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

namespace vela::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

uint32_t AddressValue(const std::string& dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted.c_str(), &a);
    return ntohl(a.s_addr);
}

// 127.B.C.D for the n-th of many distinct sources under 127.B.
std::string SourceAddress(int b, int n) {
    return "127." + std::to_string(b) + "." + std::to_string(n / 250) + "." +
           std::to_string(n % 250 + 1);
}

// A port on `address` that never answers: a listener that never accepts, its one-entry
// queue full, so further connection attempts are left unanswered.
class BlackHole {
public:
    explicit BlackHole(const std::string& address) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        socklen_t length = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 0) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
            return;
        }
        for (int attempt = 0; attempt < 8 && !stuck_; ++attempt) {
            const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            fillers_.push_back(filler);
            if (::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) continue;
            pollfd p{filler, POLLOUT, 0};
            stuck_ = errno == EINPROGRESS && ::poll(&p, 1, 200) == 0;
        }
        port_ = ntohs(a.sin_port);
    }
    ~BlackHole() {
        for (int fd : fillers_) ::close(fd);
        if (listener_ >= 0) ::close(listener_);
    }
    BlackHole(const BlackHole&) = delete;
    BlackHole& operator=(const BlackHole&) = delete;
    bool valid() const { return stuck_; }
    uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    std::vector<int> fillers_;
    uint16_t port_ = 0;
    bool stuck_ = false;
};

class TestServerProcess : public ::testing::Test {
protected:
    // Starts the server with its output in a file, or in `fifo` when given.
    void Start(std::vector<std::string> extra = {}, const std::string& fifo = "") {
        std::vector<std::string> argv = {toolPath("VELA_TEST_SERVER"), "--port", "0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!fifo.empty()) {
            // The shell opens the FIFO as standard output and becomes the server.
            argv.insert(argv.begin(),
                        {"/bin/sh", "-c", "f=$1; shift; exec \"$@\" >\"$f\"", "sh", fifo});
        }
        server_ = std::make_unique<ChildProcess>(argv);
        if (!fifo.empty()) return;
        ASSERT_TRUE(server_->waitForOutput("listening on 127.0.0.1:", 10s)) << server_->errors();
        const auto port = portAfter(server_->output(), "listening on 127.0.0.1:");
        ASSERT_TRUE(port);
        port_ = *port;
    }

    LoopbackConnection Connect(const std::string& source = "127.0.0.1") {
        auto c = LoopbackConnection::connectTo("127.0.0.1", port_, source);
        EXPECT_TRUE(c.valid()) << source;
        return c;
    }

    // Sends one line from `source` and returns what the server answered before closing.
    std::string Ask(const std::string& source, const std::string& line) {
        auto client = Connect(source);
        std::string reply;
        EXPECT_TRUE(client.sendAll(line));
        EXPECT_TRUE(client.readUntilClosed(reply, 10s));
        return reply;
    }

    // Asks for a call-back from `address` to its own listener and waits for the call.
    void ExpectCalledBack(const std::string& address = "127.0.0.1",
                          milliseconds limit = milliseconds(10s)) {
        LoopbackListener vela(address);
        ASSERT_TRUE(vela.valid());
        auto client = Connect(address);
        const auto asked = Clock::now();
        ASSERT_TRUE(client.sendAll(formatTestMessage(AddressValue(address), vela.port(), "t")));
        auto call = vela.accept(limit);
        ASSERT_TRUE(call.valid()) << "no call-back within " << limit.count() << " ms";
        EXPECT_EQ(call.read(17, 10s), kTestServerCallback);
        EXPECT_LT(Clock::now() - asked, limit);
    }

    // Waits until the server has logged `count` lines holding `text`.
    bool WaitForLog(const std::string& text, std::size_t count = 1) {
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            if (Count(text) >= count) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    std::size_t Count(const std::string& text) const {
        const std::string out = server_->output();
        std::size_t n = 0;
        for (std::size_t at = out.find(text); at != std::string::npos;
             at = out.find(text, at + 1)) {
            ++n;
        }
        return n;
    }

    std::unique_ptr<ChildProcess> server_;
    uint16_t port_ = 0;
};

TEST_F(TestServerProcess, CallsBackTheClaimedPortWithFifteenXs) {
    Start();
    LoopbackListener vela;
    ASSERT_TRUE(vela.valid());
    auto client = Connect();
    ASSERT_TRUE(client.sendAll(formatTestMessage(0x7F000001, vela.port(), installationTag())));

    auto call = vela.accept(10s);
    ASSERT_TRUE(call.valid());
    std::string received;
    EXPECT_TRUE(call.readUntilClosed(received, 10s));
    EXPECT_EQ(received, std::string("\x00\x0F", 2) + std::string(15, 'X'));
    std::string reply;
    EXPECT_TRUE(client.readUntilClosed(reply, 10s));
    EXPECT_EQ(reply, "");  // the client itself is told nothing
    ASSERT_TRUE(WaitForLog("result=called back"));
    const std::string out = server_->output();
    EXPECT_NE(out.find("claim=127.0.0.1:" + std::to_string(vela.port())), std::string::npos);
    EXPECT_NE(out.find("tag=\"" + installationTag() + "\""), std::string::npos);
}

TEST_F(TestServerProcess, ATagCannotForgeALogField) {
    Start();
    LoopbackListener vela;
    ASSERT_TRUE(vela.valid());
    auto client = Connect();
    ASSERT_TRUE(client.sendAll(
        formatTestMessage(0x7F000001, vela.port(), "x\" result=refused: forged \\")));
    ASSERT_TRUE(WaitForLog("result=called back"));
    EXPECT_NE(server_->output().find("tag=\"x\\x22 result=refused: forged \\\\\" result=called"),
              std::string::npos)
        << server_->output();
    EXPECT_EQ(server_->output().find("tag=\"x\" "), std::string::npos);
}

TEST_F(TestServerProcess, MalformedAndOverLongLinesGetNoAnswerAndNoCall) {
    Start();
    LoopbackListener vela;
    ASSERT_TRUE(vela.valid());
    const std::string good = formatTestMessage(0x7F000001, vela.port(), "tag");
    const std::string port = std::to_string(vela.port());
    const std::vector<std::string> lines = {
        "hello\n",
        "Hi, i`am=127.0.0.1:" + port + "@tag\r\n",
        "Hi, i`am=127.0.0.256:" + port + "@tag\n",
        "Hi, i`am=127.0.0.1:0@tag\n",
        good + "more",                    // data after the line feed
        good.substr(0, good.size() - 1),  // closed before the line feed
        std::string(300, 'A'),            // over-long, no line feed
        "Hi, i`am=127.0.0.1:" + port + "@" + std::string(250, 't') + "\n",  // over-long line
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto client = Connect();
        ASSERT_TRUE(client.sendAll(lines[i]));
        if (i == 5) {
            client.close();  // the line ends without its line feed
            continue;
        }
        std::string reply;
        EXPECT_TRUE(client.readUntilClosed(reply, 10s)) << i;
        EXPECT_EQ(reply, "") << i;
    }
    ASSERT_TRUE(WaitForLog("result=malformed", lines.size())) << server_->output();
    EXPECT_EQ(Count("longer than 256 bytes"), 2u) << server_->output();
    EXPECT_EQ(Count("closed before the line feed"), 1u) << server_->output();
    EXPECT_EQ(Count("data after the line feed"), 1u) << server_->output();
    EXPECT_EQ(Count("result=called back"), 0u);
    EXPECT_FALSE(vela.accept(300ms).valid());
}

TEST_F(TestServerProcess, SilentAndSlowClientsAreDroppedAtTheirLimits) {
    Start({"--first-byte-timeout", "300", "--read-timeout", "900"});
    auto silent = Connect();
    auto slow = Connect();
    ASSERT_TRUE(slow.sendAll("Hi, i`am="));
    std::string reply;
    EXPECT_TRUE(silent.readUntilClosed(reply, 10s));
    EXPECT_TRUE(slow.readUntilClosed(reply, 10s));
    EXPECT_EQ(reply, "");
    EXPECT_TRUE(WaitForLog("result=malformed: nothing received within 300 ms"));
    EXPECT_TRUE(WaitForLog("result=malformed: no complete line within 900 ms"));
}

TEST_F(TestServerProcess, RefusalsForLimitsAreToldInOneLine) {
    Start();
    BlackHole hole("127.0.0.3");
    ASSERT_TRUE(hole.valid());
    const std::string toHole = formatTestMessage(AddressValue("127.0.0.3"), hole.port(), "t");
    // Two call-backs per address may wait or run (one runs at a time): the black hole
    // keeps them both.
    EXPECT_EQ(Ask("127.0.0.3", toHole), "");
    EXPECT_EQ(Ask("127.0.0.3", toHole), "");
    EXPECT_EQ(Ask("127.0.0.3", toHole), "refused: too many call-backs for this address\n");

    // Four connections per address may be open at once.
    std::vector<LoopbackConnection> held;
    for (int i = 0; i < 4; ++i) held.push_back(Connect("127.0.0.4"));
    EXPECT_EQ(Ask("127.0.0.4", "Hi"), "refused: too many connections from this address\n");

    EXPECT_EQ(Ask("127.0.0.5", toHole),
              "refused: the claimed address is not the sender's address\n");
    EXPECT_TRUE(WaitForLog("result=refused:", 3));
    ExpectCalledBack("127.0.0.6");  // other addresses are served meanwhile
}

TEST_F(TestServerProcess, AllowAnyCallbackReachesAnotherAddress) {
    // A claim that is refused above reaches its listener once the safety rule is lifted,
    // which shows that the refusal is the rule at work and not a blind spot.
    Start({"--allow-any-callback"});
    EXPECT_TRUE(server_->waitForOutput("WARNING", 1s));
    LoopbackListener elsewhere("127.0.0.2");
    ASSERT_TRUE(elsewhere.valid());
    auto client = Connect();
    ASSERT_TRUE(client.sendAll(formatTestMessage(0x7F000002, elsewhere.port(), "tag")));
    auto call = elsewhere.accept(10s);
    ASSERT_TRUE(call.valid());
    EXPECT_EQ(call.read(17, 10s), kTestServerCallback);
}

TEST_F(TestServerProcess, TheOldestConnectionMakesWayWhenFull) {
    Start({"--max-clients", "6", "--first-byte-timeout", "60000", "--read-timeout", "60000"});
    std::vector<LoopbackConnection> idle;
    for (int i = 0; i < 6; ++i) idle.push_back(Connect(SourceAddress(3, i)));
    ASSERT_FALSE(idle[0].readable(0ms));
    ExpectCalledBack();
    std::string reply;
    EXPECT_TRUE(idle[0].readUntilClosed(reply, 10s));
    EXPECT_EQ(reply, "refused: server busy, the oldest connection was dropped\n");
}

TEST_F(TestServerProcess, ServesManyClientsAtOnce) {
    // More clients than call-backs allowed at once: the rest wait their turn.
    Start({"--max-callbacks", "4"});
    constexpr int kClients = 20;
    std::vector<std::unique_ptr<LoopbackListener>> listeners;
    std::vector<LoopbackConnection> clients;
    for (int i = 0; i < kClients; ++i) {
        listeners.push_back(std::make_unique<LoopbackListener>(SourceAddress(4, i)));
        ASSERT_TRUE(listeners.back()->valid());
        clients.push_back(Connect(SourceAddress(4, i)));  // all connected before any sends
    }
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(clients[i].sendAll(
            formatTestMessage(AddressValue(SourceAddress(4, i)), listeners[i]->port(), "t")));
    }
    for (int i = 0; i < kClients; ++i) {
        auto call = listeners[i]->accept(10s);
        ASSERT_TRUE(call.valid()) << i;
        EXPECT_EQ(call.read(17, 10s), kTestServerCallback) << i;
    }
    EXPECT_TRUE(WaitForLog("result=called back", kClients));
}

TEST_F(TestServerProcess, FailedCallBackIsLogged) {
    Start({"--connect-timeout", "2000"});
    uint16_t closedPort = 0;
    {
        LoopbackListener gone;
        closedPort = gone.port();
    }
    auto client = Connect();
    ASSERT_TRUE(client.sendAll(formatTestMessage(0x7F000001, closedPort, "tag")));
    EXPECT_TRUE(WaitForLog("result=call-back failed"));
}

// The acceptance load: thousands of idle connections, slow ones, and one address asking
// for call-backs to a port that never answers, all from other addresses; a real client
// is still called back within 2 s.
TEST_F(TestServerProcess, ARealClientIsServedUnderLoad) {
    constexpr int kIdle = 5000;
    constexpr int kSlow = 200;
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t needed = kIdle + kSlow + 200;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
        GTEST_SKIP() << "descriptor limit " << limit.rlim_max << " is below " << needed;
    }
    if (limit.rlim_cur < needed) {
        limit.rlim_cur = needed;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    // Long limits, so the idle and slow connections really stay open throughout.
    Start({"--first-byte-timeout", "60000", "--read-timeout", "60000"});

    std::vector<LoopbackConnection> load;
    load.reserve(kIdle + kSlow);
    for (int i = 0; i < kIdle; ++i) {
        load.push_back(Connect(SourceAddress(10, i / 4)));  // four per address, the limit
        ASSERT_TRUE(load.back().valid()) << i;
    }
    for (int i = 0; i < kSlow; ++i) {
        load.push_back(Connect(SourceAddress(20, i)));
        ASSERT_TRUE(load.back().sendAll("Hi, i`am=1"));
    }
    BlackHole hole("127.0.0.9");
    ASSERT_TRUE(hole.valid());
    const std::string toHole = formatTestMessage(AddressValue("127.0.0.9"), hole.port(), "t");
    int refused = 0;
    for (int i = 0; i < 100; ++i) {
        refused += Ask("127.0.0.9", toHole) == "refused: too many call-backs for this address\n";
    }
    EXPECT_EQ(refused, 98);

    ExpectCalledBack("127.0.0.1", 2s);
    EXPECT_FALSE(load.front().readable(0ms));  // still held, not dropped to make room
    EXPECT_FALSE(load.back().readable(0ms));
    EXPECT_EQ(Count("result=malformed"), 0u);
    // The server closes first, so the thousands of closed connections wait out their
    // TIME-WAIT on its one port rather than on ports other programs may want.
    server_->signal(SIGTERM);
    EXPECT_EQ(server_->wait(10s), std::optional<int>(0));
}

// Many addresses asking for call-backs to black holes fill the running call-backs and
// the queue; a new address still gets in at once, and one address's flood of bad lines
// is logged in a few lines and a count.
TEST_F(TestServerProcess, ANewAddressIsCalledBackPromptlyWhileManyAskForBlackHoles) {
    Start();
    BlackHole hole("0.0.0.0");  // one port that answers no address
    ASSERT_TRUE(hole.valid());
    for (int i = 0; i < 100; ++i) {
        const std::string address = SourceAddress(30, i);
        const std::string toHole = formatTestMessage(AddressValue(address), hole.port(), "t");
        EXPECT_EQ(Ask(address, toHole), "") << address;
        EXPECT_EQ(Ask(address, toHole), "") << address;  // the later ones displace these
    }
    ExpectCalledBack("127.0.0.1", 2s);
    EXPECT_GE(Count("result=call-back dropped: the queue is full and another address asked"),
              100u - 64u);

    for (int i = 0; i < 40; ++i) Ask("127.0.0.7", "Hi\n");
    EXPECT_TRUE(WaitForLog("peer=127.0.0.7:", 20));
    server_->signal(SIGTERM);
    EXPECT_EQ(server_->wait(10s), std::optional<int>(0));
    EXPECT_EQ(Count("peer=127.0.0.7:"), 20u);
    EXPECT_EQ(Count("vela-test-server: 127.0.0.7: 20 log lines dropped"), 1u);
}

TEST_F(TestServerProcess, AStalledLogOutputNeverStallsServing) {
    TempDir dir;
    const std::string fifo = (dir / "log").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const std::unique_ptr<const int, void (*)(const int*)> closeReader(
        &reader, [](const int* fd) { ::close(*fd); });
    ::fcntl(reader, F_SETPIPE_SZ, 4096);
    Start({}, fifo);
    // Reads the log until `text` shows (or the limit passes), then stops reading.
    std::string log;
    const auto readUntil = [&](const std::string& text, milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        char buffer[4096];
        while (log.find(text) == std::string::npos && Clock::now() < deadline) {
            pollfd p{reader, POLLIN, 0};
            ::poll(&p, 1, 50);
            const ssize_t n = ::read(reader, buffer, sizeof buffer);
            if (n == 0 && !log.empty()) break;              // the server closed its end
            if (n == 0) std::this_thread::sleep_for(10ms);  // not opened by the shell yet
            if (n > 0) log.append(buffer, static_cast<std::size_t>(n));
        }
        return log.find(text) != std::string::npos;
    };
    ASSERT_TRUE(readUntil("call-backs at once", 10s)) << log;
    port_ = *portAfter(log, "listening on 127.0.0.1:");

    // Far more log than the pipe and the server's buffer hold, while nobody reads.
    for (int i = 0; i < 1500; ++i) {
        auto client = Connect(SourceAddress(30, i));
        ASSERT_TRUE(client.sendAll("x\n"));
        std::string reply;
        ASSERT_TRUE(client.readUntilClosed(reply, 2s)) << i;  // the server closes first
    }
    ExpectCalledBack("127.0.0.1", 2s);

    server_->signal(SIGTERM);
    EXPECT_TRUE(readUntil("vela-test-server: stopped\n", 10s)) << log.substr(log.size() - 300);
    EXPECT_EQ(server_->wait(10s), std::optional<int>(0));
    EXPECT_NE(log.find("log lines dropped while the output was stalled"), std::string::npos);
}

TEST_F(TestServerProcess, StopSignalsEndItCleanlyAndOthersAreIgnored) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        Start();
        auto idle = Connect();  // a client in the middle of its request
        ASSERT_TRUE(idle.sendAll("Hi, i`am="));
        std::this_thread::sleep_for(100ms);
        server_->signal(sig);
        EXPECT_EQ(server_->wait(10s), std::optional<int>(0)) << sig;
        EXPECT_NE(server_->output().find("result=abandoned"), std::string::npos) << sig;
        EXPECT_NE(server_->output().find("vela-test-server: stopped\n"), std::string::npos);
    }
    Start();
    for (int sig : {SIGUSR1, SIGUSR2}) server_->signal(sig);
    ExpectCalledBack();
    EXPECT_EQ(server_->wait(0ms), std::nullopt);  // still running
}

// Reads utime + stime of `pid` in clock ticks.
long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    long user = 0, system = 0;
    fields >> user >> system;
    return user + system;
}

TEST_F(TestServerProcess, OutOfDescriptorsItRestsAndRecovers) {
    Start({"--first-byte-timeout", "60000", "--read-timeout", "60000"});
    const pid_t pid = server_->pid();
    std::size_t open = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        ++open;
    }
    const rlimit tight{open + 3, open + 3};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);

    std::vector<LoopbackConnection> flood;
    for (int i = 0; i < 12; ++i) flood.push_back(Connect(SourceAddress(40, i)));
    ASSERT_TRUE(WaitForLog("cannot accept: Too many open files"));
    const long before = CpuTicks(pid);
    std::this_thread::sleep_for(1s);
    EXPECT_LT(CpuTicks(pid) - before, sysconf(_SC_CLK_TCK) / 5) << "it spins";

    flood.clear();  // the held connections close, and descriptors are free again
    ExpectCalledBack();
    EXPECT_TRUE(WaitForLog("accepting again after"));
}

TEST(TestServerUsage, RefusesBadArguments) {
    const std::string server = toolPath("VELA_TEST_SERVER");
    EXPECT_EQ(runProgram({server}).exitCode, 2);
    EXPECT_EQ(runProgram({server, "--port", "65536"}).exitCode, 2);
    EXPECT_EQ(runProgram({server, "--port=0", "--read-timeout", "0"}).exitCode, 2);
    EXPECT_EQ(runProgram({server, "--port", "0", "--bogus"}).exitCode, 2);
    EXPECT_EQ(runProgram({server, "--port", "0", "--bind", "not-an-address"}).exitCode, 2);
    const RunResult tooMany = runProgram(
        {"/bin/sh", "-c", "ulimit -n 48 && exec \"$0\" --port 0 --max-callbacks 100", server});
    EXPECT_EQ(tooMany.exitCode, 2);
    EXPECT_NE(tooMany.err.find("--max-callbacks 100 is more than the descriptor limit allows"),
              std::string::npos)
        << tooMany.err;
    const RunResult help = runProgram({server, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--allow-any-callback"), std::string::npos);
}

}  // namespace
}  // namespace vela::test
