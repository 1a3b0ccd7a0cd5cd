// "Check port" on MainDialog with a recording view: against a vela-test-server process,
// and against plain loopback listeners of the test that stand in for a test server.
#include "app/main_dialog.h"
#include "app/run_texts.h"
#include "link/port_check.h"
#include "loopback_client.h"
#include "recording_view.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <memory>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1

// A port that nothing listens on right now.
quint16 freePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
    return probe.serverPort();
}

// A test server that takes the connection, reads what comes and never calls back.
class SilentServer {
public:
    QTcpServer server;
    std::unique_ptr<QTcpSocket> connection;
    QByteArray received;

    SilentServer() { server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server.serverPort(); }
    // Everything the caller sent until it closed the connection.
    bool readUntilClosed() {
        if (!waitUntil([this] { return server.hasPendingConnections(); })) return false;
        connection.reset(server.nextPendingConnection());
        return waitUntil([this] {
            received += connection->readAll();
            return connection->state() == QAbstractSocket::UnconnectedState;
        });
    }
};

class PortCheckRunTest : public ::testing::Test {
protected:
    TempDir dir;
    RecordingView view;
    std::unique_ptr<MainDialog> dialog;
    std::vector<MainDialog::SessionOutcome> outcomes;

    void SetUp() override {
        // No database: the defaults, replaced below, and two warnings.
        dialog = std::make_unique<MainDialog>(view, dir.path());
        QObject::connect(
            dialog.get(), &MainDialog::SessionEnded,
            [this](MainDialog::SessionOutcome outcome) { outcomes.push_back(outcome); });
        dialog->OnInitDialog();
        dialog->settings.localPort = 0;
    }

    // A check that could not reach its server: the events, then its verdict.
    void expectDown(qsizetype mark, const QString& shownAddress) {
        QStringList seen = view.since(mark);
        ASSERT_FALSE(seen.isEmpty());
        EXPECT_TRUE(seen.takeLast().startsWith("verdict: port-check-failed "));
        EXPECT_EQ(seen, downEvents(shownAddress));
        EXPECT_EQ(view.verdict, Verdict::PortCheckFailed);
    }

    void writeIni(const std::string& content) { writeFile(dir / kTestServerIniName, content); }

    // The events of a check that could not reach its test server.
    static QStringList downEvents(const QString& shownAddress) {
        return {"file: ",
                "device: ",
                "progress: 0",
                "progress: shown",
                "status: Sending the test message to " + shownAddress,
                "error: Test server is down.. Try again later!",
                "caption checkport: Check port",
                "progress: hidden",
                "status: Idle..."};
    }

    // The events of a check from the press to the wait for the call.
    static QStringList waitingEvents(const QString& shownAddress) {
        return {"file: ",
                "device: ",
                "progress: 0",
                "progress: shown",
                "status: Sending the test message to " + shownAddress,
                "pause 2000",
                "progress: 50",
                "status: Waiting for incoming connection...",
                "caption checkport: Stop!!!",
                "enabled letsgo: 0",
                "enabled listen: 0"};
    }
};

TEST_F(PortCheckRunTest, TheTestServerCallsBackAndTheCheckPasses) {
    ChildProcess server({toolPath("VELA_TEST_SERVER"), "--port", "0"});
    const std::string prefix = "vela-test-server: listening on 127.0.0.1:";
    ASSERT_TRUE(server.waitForOutput(prefix, 10s)) << server.errors();
    ASSERT_TRUE(waitUntil([&] { return server.output().find('\n') != std::string::npos; }));
    const std::string out = server.output();
    const std::string serverPort = out.substr(prefix.size(), out.find('\n') - prefix.size());

    const quint16 port = freePort();
    ASSERT_NE(port, 0);
    dialog->settings.externalIp = kLoopbackAddress;
    dialog->settings.externalPort = port;
    dialog->settings.localPort = port;
    writeIni("127.0.0.1\n" + serverPort + "\n");

    qsizetype mark = view.events.size();
    dialog->OnCheckPort();
    EXPECT_EQ(view.since(mark), waitingEvents(QString::fromStdString("127.0.0.1:" + serverPort)));
    EXPECT_TRUE(dialog->portCheckActive);
    EXPECT_EQ(dialog->listeningPort(), port);

    mark = view.events.size();
    ASSERT_TRUE(waitUntil([&] { return !outcomes.empty(); }));
    EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::TestPassed);
    EXPECT_EQ(
        view.since(mark),
        (QStringList{"progress: 75", "status: Welcome XXXXXXXXXXXXXXX!",
                     "device: Device IMEI: XXXXXXXXXXXXXXX", "progress: hidden",
                     "caption checkport: Check port", "enabled letsgo: 1", "enabled listen: 1",
                     "status: Test completed successfully!", "device: ", "verdict: port-checked"}));
    EXPECT_FALSE(dialog->portCheckActive);
    // The server logged the claim it was given and the tag of this installation.
    ASSERT_TRUE(waitUntil([&] { return server.output().find("result=") != std::string::npos; }));
    EXPECT_NE(server.output().find("claim=127.0.0.1:" + std::to_string(port)), std::string::npos);
    EXPECT_NE(server.output().find("tag=\"" + installationTag() + "\""), std::string::npos);
    EXPECT_NE(server.output().find("result=called back"), std::string::npos) << server.output();
}

TEST_F(PortCheckRunTest, ARefusalFromTheServerEndsTheCheckWithItsReason) {
    ChildProcess server({toolPath("VELA_TEST_SERVER"), "--port", "0"});
    const std::string prefix = "vela-test-server: listening on 127.0.0.1:";
    ASSERT_TRUE(server.waitForOutput(prefix, 10s)) << server.errors();
    ASSERT_TRUE(waitUntil([&] { return server.output().find('\n') != std::string::npos; }));
    const std::string out = server.output();
    const std::string serverPort = out.substr(prefix.size(), out.find('\n') - prefix.size());

    // A claimed address other than the caller's own is refused, and no call comes.
    dialog->settings.externalIp = 0x7F000002;  // 127.0.0.2
    dialog->settings.externalPort = freePort();
    writeIni("127.0.0.1\n" + serverPort + "\n");
    view.duringPause = [&] {
        waitUntil([&] { return server.output().find("result=refused") != std::string::npos; });
    };
    const qsizetype mark = view.events.size();
    dialog->OnCheckPort();
    QStringList seen = view.since(mark);
    ASSERT_FALSE(seen.isEmpty());
    EXPECT_TRUE(seen.takeLast().startsWith("verdict: port-check-failed "));
    QStringList expected =
        waitingEvents(QString::fromStdString("127.0.0.1:" + serverPort)).mid(0, 6);
    expected << "error: Test server is down.. Try again later!"
             << "caption checkport: Check port"
             << "progress: hidden"
             << "status: Idle...";
    EXPECT_EQ(seen, expected);
    ASSERT_FALSE(view.reasons.isEmpty());
    EXPECT_TRUE(view.reasons.last().startsWith("the test server refused the check: "))
        << view.reasons.last().toStdString();
    EXPECT_FALSE(dialog->portCheckActive);
    EXPECT_EQ(dialog->listeningPort(), 0);
}

TEST_F(PortCheckRunTest, HostAndPortLinesAreTrimmedAndThePortIsItsLeadingDigits) {
    struct Case {
        std::string lines;
        QString shown;
    };
    SilentServer first;
    SilentServer second;
    const std::string p1 = std::to_string(first.port());
    const std::string p2 = std::to_string(second.port());
    const std::vector<std::pair<Case, SilentServer*>> cases = {
        {{" \t127.0.0.1 \t\r\n\t " + p1 + " \r\nignored\n",
          QString::fromStdString("127.0.0.1:" + p1)},
         &first},
        {{"localhost\n" + p2 + "x\n", QString::fromStdString("localhost:" + p2 + "x")}, &second},
    };
    for (const auto& [c, server] : cases) {
        writeIni(c.lines);
        const qsizetype mark = view.events.size();
        dialog->OnCheckPort();
        EXPECT_EQ(view.since(mark), waitingEvents(c.shown));
        ASSERT_TRUE(server->readUntilClosed());
        EXPECT_TRUE(server->received.startsWith("Hi, i`am=")) << server->received.toStdString();
        dialog->OnCheckPort();  // the stop
        EXPECT_FALSE(dialog->portCheckActive);
    }
}

TEST_F(PortCheckRunTest, NoFileAndARefusingServerBothMeanTheServerIsDown) {
    qsizetype mark = view.events.size();
    dialog->OnCheckPort();  // no test-server.ini
    expectDown(mark, ":");
    EXPECT_FALSE(dialog->portCheckActive);
    EXPECT_EQ(dialog->listeningPort(), 0);

    const std::string port = std::to_string(freePort());
    writeIni("127.0.0.1\n" + port + "\n");  // nothing listens there
    mark = view.events.size();
    dialog->OnCheckPort();
    expectDown(mark, QString::fromStdString("127.0.0.1:" + port));
    EXPECT_FALSE(dialog->portCheckActive);
    EXPECT_EQ(dialog->listeningPort(), 0);

    writeIni("\n" + port + "\n");  // no host
    mark = view.events.size();
    dialog->OnCheckPort();
    expectDown(mark, QString::fromStdString(":" + port));
}

TEST_F(PortCheckRunTest, AServerThatNeverCallsGetsTheMessageAndTheStopRefusesLaterCalls) {
    dialog->settings.externalIp = 0xC000020A;  // 192.0.2.10
    dialog->settings.externalPort = 5000;
    SilentServer server;
    writeIni("127.0.0.1\n" + std::to_string(server.port()) + "\n");

    dialog->OnCheckPort();
    ASSERT_TRUE(dialog->portCheckActive);
    const quint16 listening = dialog->listeningPort();
    ASSERT_NE(listening, 0);
    ASSERT_TRUE(server.readUntilClosed());
    const std::string message = server.received.toStdString();
    EXPECT_TRUE(message.starts_with("Hi, i`am=192.0.2.10:5000@")) << message;
    EXPECT_TRUE(message.ends_with("\n"));
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1);
    EXPECT_EQ(message.find('\0'), std::string::npos);
    EXPECT_EQ(message, "Hi, i`am=192.0.2.10:5000@" + installationTag() + "\n");
    EXPECT_EQ(dialog->installationTag.toStdString(), installationTag());

    // Still waiting: the other runs do not start meanwhile.
    (void)waitUntil([] { return false; }, 100ms);
    EXPECT_TRUE(dialog->portCheckActive);
    dialog->OnListen();
    EXPECT_FALSE(dialog->listenActive);
    EXPECT_EQ(dialog->listeningPort(), listening);

    // A tracker that calls during a check is not the test server: no image, and the
    // check waits on.
    LoopbackClient tracker;
    ASSERT_TRUE(tracker.connectTo(listening));
    tracker.send(identification("352094081234567"));
    EXPECT_TRUE(tracker.waitForClose());
    EXPECT_TRUE(tracker.received.isEmpty());
    EXPECT_EQ(view.status, "Unexpected caller IMEI 352094081234567, waiting for XXXXXXXXXXXXXXX");
    EXPECT_TRUE(dialog->portCheckActive);
    EXPECT_TRUE(outcomes.empty());

    const qsizetype mark = view.events.size();
    dialog->OnCheckPort();  // the stop
    EXPECT_EQ(view.since(mark),
              (QStringList{"caption checkport: Check port", "status: Idle...", "progress: hidden",
                           "enabled letsgo: 1", "enabled listen: 1",
                           "verdict: no-call stopped by the operator"}));
    EXPECT_FALSE(dialog->portCheckActive);
    LoopbackClient late;
    EXPECT_FALSE(late.connectTo(listening));
    EXPECT_EQ(late.socket.error(), QAbstractSocket::ConnectionRefusedError);
    EXPECT_TRUE(outcomes.empty());
}

TEST_F(PortCheckRunTest, ABusyLocalPortIsReportedAndNoMessageIsSent) {
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    dialog->settings.localPort = occupier.serverPort();
    SilentServer server;
    const std::string shown = "127.0.0.1:" + std::to_string(server.port());
    writeIni("127.0.0.1\n" + std::to_string(server.port()) + "\n");

    const qsizetype mark = view.events.size();
    dialog->OnCheckPort();
    const QStringList seen = view.since(mark);
    ASSERT_EQ(seen.size(), 10) << seen.join('\n').toStdString();
    EXPECT_EQ(seen.mid(0, 5), downEvents(QString::fromStdString(shown)).mid(0, 5));
    const QString prefix =
        QStringLiteral("error: Cannot listen on port %1: ").arg(occupier.serverPort());
    EXPECT_TRUE(seen[5].startsWith(prefix)) << seen[5].toStdString();
    EXPECT_GT(seen[5].size(), prefix.size() + 4);  // the system's reason follows
    EXPECT_EQ(seen.mid(6),
              (QStringList{"caption checkport: Check port", "progress: hidden", "status: Idle...",
                           "verdict: listen-failed " + seen[5].section(": ", 2)}));
    EXPECT_FALSE(dialog->portCheckActive);
    EXPECT_EQ(dialog->listeningPort(), 0);
    // The server was reached but told nothing: it has no call to make.
    ASSERT_TRUE(server.readUntilClosed());
    EXPECT_TRUE(server.received.isEmpty());

    // Once the port is free again the check waits as usual.
    occupier.close();
    dialog->OnCheckPort();
    EXPECT_TRUE(dialog->portCheckActive);
    EXPECT_EQ(dialog->listeningPort(), dialog->settings.localPort);
}

}  // namespace
}  // namespace vela::test
