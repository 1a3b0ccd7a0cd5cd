// vela-test-server as a process, against listeners and clients of the test on loopback.
#include "link/port_check.h"
#include "loopback.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <thread>
#include <vector>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kLoopback = 0x7F000001;   // 127.0.0.1
constexpr uint32_t kLoopback2 = 0x7F000002;  // 127.0.0.2

class TestServerProcess : public ::testing::Test {
protected:
    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {toolPath("VELA_TEST_SERVER"), "--port", "0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        server_ = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(server_->waitForOutput("listening on 127.0.0.1:", 10s)) << server_->errors();
        const auto port = portAfter(server_->output(), "listening on 127.0.0.1:");
        ASSERT_TRUE(port);
        port_ = *port;
    }

    LoopbackConnection Connect() {
        auto c = LoopbackConnection::connectTo("127.0.0.1", port_, "127.0.0.1");
        EXPECT_TRUE(c.valid());
        return c;
    }

    // Waits until the server has logged `count` request lines holding `text`.
    bool WaitForLog(const std::string& text, std::size_t count = 1) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
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
    ASSERT_TRUE(client.sendAll(formatTestMessage(kLoopback, vela.port(), installationTag())));

    auto call = vela.accept(10s);
    ASSERT_TRUE(call.valid());
    std::string received;
    EXPECT_TRUE(call.readUntilClosed(received, 10s));
    EXPECT_EQ(received, kTestServerCallback);
    EXPECT_EQ(received, std::string("\x00\x0F", 2) + std::string(15, 'X'));
    ASSERT_TRUE(WaitForLog("result=called back"));
    const std::string out = server_->output();
    EXPECT_NE(out.find("claim=127.0.0.1:" + std::to_string(vela.port())), std::string::npos);
    EXPECT_NE(out.find("tag=\"" + installationTag() + "\""), std::string::npos);
}

TEST_F(TestServerProcess, MalformedAndOverLongLinesGetNoAnswerAndNoCall) {
    Start();
    LoopbackListener vela;
    ASSERT_TRUE(vela.valid());
    const std::string good = formatTestMessage(kLoopback, vela.port(), "tag");
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

TEST_F(TestServerProcess, SilentClientIsDroppedAtTheReadTimeOut) {
    Start({"--read-timeout", "300"});
    auto client = Connect();
    std::string reply;
    EXPECT_TRUE(client.readUntilClosed(reply, 10s));
    EXPECT_EQ(reply, "");
    EXPECT_TRUE(WaitForLog("result=malformed: no complete line within 300 ms"));
}

TEST_F(TestServerProcess, RefusesToCallAnAddressOtherThanTheSenders) {
    Start();
    LoopbackListener elsewhere("127.0.0.2");
    if (!elsewhere.valid()) GTEST_SKIP() << "127.0.0.2 is not available";
    auto client = Connect();  // from 127.0.0.1
    ASSERT_TRUE(client.sendAll(formatTestMessage(kLoopback2, elsewhere.port(), "tag")));
    ASSERT_TRUE(WaitForLog("result=refused: the claimed address is not the sender's address"));
    EXPECT_NE(server_->output().find("peer=127.0.0.1:"), std::string::npos);
    EXPECT_FALSE(elsewhere.accept(500ms).valid());
}

TEST_F(TestServerProcess, AllowAnyCallbackReachesAnotherAddress) {
    // The same claim as above reaches its listener once the safety rule is lifted,
    // which shows that the refusal above is the rule at work and not a blind spot.
    Start({"--allow-any-callback"});
    EXPECT_TRUE(server_->waitForOutput("WARNING", 1s));
    LoopbackListener elsewhere("127.0.0.2");
    if (!elsewhere.valid()) GTEST_SKIP() << "127.0.0.2 is not available";
    auto client = Connect();
    ASSERT_TRUE(client.sendAll(formatTestMessage(kLoopback2, elsewhere.port(), "tag")));
    auto call = elsewhere.accept(10s);
    ASSERT_TRUE(call.valid());
    EXPECT_EQ(call.read(17, 10s), kTestServerCallback);
}

TEST_F(TestServerProcess, ServesManyClientsAtOnce) {
    // More clients than call-backs allowed at once: the rest wait their turn.
    Start({"--max-callbacks", "4"});
    constexpr int kClients = 20;
    std::vector<std::unique_ptr<LoopbackListener>> listeners;
    std::vector<LoopbackConnection> clients;
    for (int i = 0; i < kClients; ++i) {
        listeners.push_back(std::make_unique<LoopbackListener>());
        ASSERT_TRUE(listeners.back()->valid());
        clients.push_back(Connect());  // all connected before any sends
    }
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(clients[i].sendAll(formatTestMessage(kLoopback, listeners[i]->port(), "t")));
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
    ASSERT_TRUE(client.sendAll(formatTestMessage(kLoopback, closedPort, "tag")));
    EXPECT_TRUE(WaitForLog("result=call-back failed"));
}

TEST_F(TestServerProcess, StopsCleanlyOnSigtermAndSigint) {
    for (int sig : {SIGTERM, SIGINT}) {
        Start();
        auto idle = Connect();  // a client in the middle of its request
        ASSERT_TRUE(idle.sendAll("Hi, i`am="));
        std::this_thread::sleep_for(100ms);
        server_->signal(sig);
        EXPECT_EQ(server_->wait(10s), std::optional<int>(0)) << sig;
        EXPECT_NE(server_->output().find("vela-test-server: stopped"), std::string::npos);
        EXPECT_NE(server_->output().find("result=abandoned"), std::string::npos);
    }
}

TEST(TestServerUsage, RefusesBadArguments) {
    const std::string server = toolPath("VELA_TEST_SERVER");
    EXPECT_EQ(runProgram({server}).exitCode, 2);
    EXPECT_EQ(runProgram({server, "--port", "65536"}).exitCode, 2);
    EXPECT_EQ(runProgram({server, "--port", "0", "--read-timeout", "0"}).exitCode, 2);
    EXPECT_EQ(runProgram({server, "--port", "0", "--bogus"}).exitCode, 2);
    EXPECT_EQ(runProgram({server, "--port", "0", "--bind", "not-an-address"}).exitCode, 1);
    const RunResult help = runProgram({server, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--allow-any-callback"), std::string::npos);
}

}  // namespace
}  // namespace vela::test
