// MainDialog with a recording view and real loopback sockets: start-up, the "Listen"
// run, the configuration session and the ways it can end.
#include "app/main_dialog.h"
#include "app/run_texts.h"
#include "loopback_client.h"
#include "recording_view.h"
#include "storage/database.h"
#include "storage/history_store.h"
#include "storage/settings_store.h"
#include "storage/tracker_store.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <QTcpServer>
#include <thread>

namespace vela::test {
namespace {

const QByteArray kImei = "352094081234567";
// A description that is not an IMEI: its run serves the first caller whatever it sends.
const char* const kAnyCaller = "Any caller";

// A reader that builds a given image without touching the file; device type 1 refused.
MainDialog::ConfigReader imageReader(QByteArray bytes) {
    return [bytes](const std::filesystem::path&, int deviceType, ConfigImage& image) {
        if (deviceType != 0) return Status::Fail("device type not served");
        std::copy(bytes.begin(), bytes.end(), image.bytes.begin());
        image.length = static_cast<uint16_t>(bytes.size());
        return Status::Ok();
    };
}

// The smallest image: rest length 000F, then 15 bytes.
QByteArray smallImage() {
    QByteArray bytes("\x00\x0F\x44\x00\x00", 5);
    bytes += QByteArray(12, '\x11');
    return bytes;
}

void storeTrackers(const std::filesystem::path& dir, const std::vector<std::string>& names,
                   int deviceType = 0) {
    TrackerList list;
    for (const std::string& name : names) {
        TrackerEntry entry;
        entry.description = name;
        entry.phone = "37060000000";
        entry.deviceType = deviceType;
        list.add(entry);
    }
    ASSERT_TRUE(TrackerStore(dir).save(list).ok());
}

class MainDialogTest : public ::testing::Test {
protected:
    TempDir dir;
    RecordingView view;
    std::unique_ptr<MainDialog> dialog;
    std::vector<MainDialog::SessionOutcome> outcomes;
    QByteArray image = smallImage();

    void open(int deviceType = 0, const std::vector<std::string>& names = {
                                      std::string(kImei.constData()), kAnyCaller}) {
        storeTrackers(dir.path(), names, deviceType);
        dialog = std::make_unique<MainDialog>(view, dir.path());
        dialog->setConfigReader(imageReader(image));
        QObject::connect(
            dialog.get(), &MainDialog::SessionEnded,
            [this](MainDialog::SessionOutcome outcome) { outcomes.push_back(outcome); });
        dialog->OnInitDialog();
        dialog->settings.localPort = 0;
        view.configFile = QString::fromStdString((dir / "device.xml").string());
    }

    quint16 listen() {
        dialog->OnListen();
        EXPECT_TRUE(dialog->listenActive);
        const quint16 port = dialog->listeningPort();
        EXPECT_NE(port, 0);
        return port;
    }

    bool waitForOutcome(std::size_t count = 1) {
        return waitUntil([&] { return outcomes.size() >= count; });
    }

    // The history, newest first.
    std::vector<HistoryRecord> history() {
        Result<std::vector<HistoryRecord>> rows = HistoryStore(dir.path()).query({});
        EXPECT_TRUE(rows) << rows.message();
        return rows ? rows.value() : std::vector<HistoryRecord>{};
    }

    // A tracker identifies itself, takes the image and sends `answer`.
    void serve(quint16 port, const QByteArray& answer) {
        LoopbackClient tracker;
        ASSERT_TRUE(tracker.connectTo(port));
        tracker.send(identification(kImei));
        ASSERT_TRUE(tracker.waitForBytes(image.size()));
        ASSERT_TRUE(waitUntil([&] { return view.status.startsWith("Catch"); }));
        tracker.send(answer);
        ASSERT_TRUE(waitForOutcome());
    }
};

TEST_F(MainDialogTest, WholeListenRunShowsEveryStepInOrder) {
    open();
    qsizetype mark = view.events.size();
    const quint16 port = listen();
    EXPECT_EQ(
        view.since(mark),
        (QStringList{"device: ", "file: Configuration file: device.xml", "progress: 0",
                     "progress: shown", "status: Skipping the push sms creation", "progress: 50",
                     "status: Waiting for incoming connection...", "caption listen: Stop!!!",
                     "enabled letsgo: 0", "enabled checkport: 0"}));

    LoopbackClient tracker;
    ASSERT_TRUE(tracker.connectTo(port));
    mark = view.events.size();
    tracker.send(identification(kImei));
    ASSERT_TRUE(tracker.waitForBytes(image.size()));
    ASSERT_TRUE(waitUntil([&] { return view.status.startsWith("Catch"); }));
    EXPECT_EQ(tracker.received, image);
    EXPECT_EQ(view.since(mark), (QStringList{"progress: 75", "status: Welcome 352094081234567!",
                                             "device: Device IMEI: 352094081234567", "pause 1000",
                                             "status: Catch the new config...000F Bytes"}));

    mark = view.events.size();
    tracker.send(QByteArray("\x01\x00\x0F", 3));
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::Answered);
    EXPECT_EQ(view.since(mark),
              (QStringList{"status: Done, received answer...000F (000F) Bytes", "progress: 100",
                           "pause 1000", "progress: hidden", "caption letsgo: Let's Go!!!!",
                           "caption listen: Listen", "enabled letsgo: 1", "enabled checkport: 1",
                           "verdict: configured 15 of 15 bytes"}));
    EXPECT_FALSE(dialog->listenActive);
    EXPECT_TRUE(tracker.waitForClose());
    const std::vector<HistoryRecord> rows = history();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].kind, kRunKindListen);
    EXPECT_EQ(rows[0].tracker, kImei.toStdString());
    EXPECT_EQ(rows[0].callerImei, kImei.toStdString());
    EXPECT_EQ(rows[0].callerAddress.rfind("127.0.0.1:", 0), 0u) << rows[0].callerAddress;
    EXPECT_EQ(rows[0].configFile, (dir / "device.xml").string());
    EXPECT_EQ(rows[0].imageBytes, 15);
    EXPECT_EQ(rows[0].answerBytes, 15);
    EXPECT_EQ(rows[0].verdict, Verdict::Configured);
}

// Every way a "Listen" run can end gives one verdict, shown and recorded alike.
TEST_F(MainDialogTest, EachEndOfARunHasOneVerdictShownAndRecorded) {
    open();
    struct Case {
        const char* name;
        std::function<void(quint16 port)> act;
        Verdict verdict;
        QString detail;
    };
    const Case cases[] = {
        {"whole image", [&](quint16 port) { serve(port, QByteArray("\x01\x00\x0F", 3)); },
         Verdict::Configured, "15 of 15 bytes"},
        {"another count", [&](quint16 port) { serve(port, QByteArray("\x01\x00\x00", 3)); },
         Verdict::Rejected, "0 of 15 bytes"},
        {"short answer", [&](quint16 port) { serve(port, QByteArray("\x01", 1)); },
         Verdict::Rejected, "short answer (1 bytes)"},
        {"hung up",
         [&](quint16 port) {
             LoopbackClient tracker;
             ASSERT_TRUE(tracker.connectTo(port));
             tracker.send(identification(kImei));
             ASSERT_TRUE(tracker.waitForBytes(image.size()));
             tracker.socket.disconnectFromHost();
             ASSERT_TRUE(waitForOutcome());
         },
         Verdict::HungUp, QString::fromLatin1(texts::kClosedBeforeAnswer)},
        {"stopped", [&](quint16) { dialog->OnListen(); }, Verdict::NoCall,
         QString::fromLatin1(texts::kStoppedByOperator)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        outcomes.clear();
        const std::size_t rowsBefore = history().size();
        c.act(listen());
        EXPECT_EQ(view.verdict, c.verdict);
        EXPECT_EQ(view.verdictDetail, c.detail);
        EXPECT_EQ(view.events.filter("verdict: ").size(), static_cast<qsizetype>(rowsBefore + 1));
        const std::vector<HistoryRecord> rows = history();
        ASSERT_EQ(rows.size(), rowsBefore + 1);
        EXPECT_EQ(rows[0].verdict, c.verdict);
        EXPECT_EQ(QString::fromStdString(rows[0].detail), c.detail);
        if (dialog->listenActive) dialog->OnListen();  // a stop after the end records nothing
        EXPECT_EQ(history().size(), rowsBefore + 1);
    }
}

// A history that cannot be written is a warning: the run's own result stands.
TEST_F(MainDialogTest, AFailingHistoryWriteLeavesTheRunsResult) {
    open();
    const quint16 port = listen();
    test::writeFile(dir / "settings.accdb", std::string(8192, 'x'));  // no database any more
    serve(port, QByteArray("\x01\x00\x0F", 3));
    EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::Answered);
    EXPECT_EQ(view.verdict, Verdict::Configured);
    const QStringList warnings = view.events.filter("warning: Cannot write the run history");
    EXPECT_EQ(warnings.size(), 1);
    EXPECT_TRUE(view.events.filter("error: ").isEmpty());
}

TEST_F(MainDialogTest, IdentificationInPiecesIsHandledOnceOnTheCompletingRead) {
    open();
    struct Case {
        QByteArray first, second, imei;
    };
    // The 17 bytes identify; what comes with them in the same piece is not the IMEI.
    const QByteArray twenty = identification(kImei) + QByteArray(
                                                          "\x01"
                                                          "AB");  // 20 bytes
    const std::vector<Case> cases = {
        {identification(kImei).left(10), identification(kImei).mid(10), kImei},
        {twenty.left(16), twenty.mid(16), kImei},
        {twenty, QByteArray(), kImei},  // more than 17 in one piece
    };
    for (const Case& c : cases) {
        outcomes.clear();
        const quint16 port = listen();
        LoopbackClient tracker;
        ASSERT_TRUE(tracker.connectTo(port));
        const qsizetype mark = view.events.size();
        tracker.send(c.first);
        waitUntil([] { return false; }, std::chrono::milliseconds(100));
        if (!c.second.isEmpty()) {
            EXPECT_FALSE(view.since(mark).join('|').contains("Welcome"));
            tracker.send(c.second);
        }
        ASSERT_TRUE(tracker.waitForBytes(image.size()));
        tracker.send(QByteArray("\x01\x00\x0F", 3));
        ASSERT_TRUE(waitForOutcome());
        const QStringList seen = view.since(mark);
        EXPECT_EQ(seen.filter("Welcome").size(), 1);
        EXPECT_TRUE(seen.contains("status: Welcome " + QString::fromLatin1(c.imei) + "!"))
            << seen.join('\n').toStdString();
    }
}

// The run for a tracker whose description is an IMEI serves that IMEI only; the fifteen
// X's are the test server only in a check. Others get nothing and the run waits on.
TEST_F(MainDialogTest, OnlyTheRightCallerIsServedAndOthersDoNotEndTheRun) {
    open();
    const quint16 port = listen();
    LoopbackClient silent;  // pending all along: it never identifies itself
    ASSERT_TRUE(silent.connectTo(port));
    struct Case {
        QByteArray sent;
        QString shown;
    };
    const Case wrong[] = {
        {"XXXXXXXXXXXXXXX", "XXXXXXXXXXXXXXX"},
        {"111111111111111", "111111111111111"},
        {QByteArray("\x1b[2J\n1111111111", 15), "\\x1B[2J\\n1111111111"},
    };
    for (const Case& c : wrong) {
        SCOPED_TRACE(c.shown.toStdString());
        LoopbackClient caller;
        ASSERT_TRUE(caller.connectTo(port));
        caller.send(identification(c.sent));
        EXPECT_TRUE(caller.waitForClose());
        EXPECT_TRUE(caller.received.isEmpty());
        EXPECT_EQ(view.status,
                  "Unexpected caller IMEI " + c.shown + ", waiting for 352094081234567");
        EXPECT_TRUE(dialog->listenActive);
        EXPECT_EQ(history().front().verdict, Verdict::WrongCaller);
        EXPECT_EQ(QString::fromStdString(history().front().callerImei), c.shown);
    }
    EXPECT_TRUE(view.events.filter("Welcome").isEmpty());
    EXPECT_FALSE(view.verdict);  // the run has not ended
    EXPECT_TRUE(outcomes.empty());
    serve(port, QByteArray("\x01\x00\x0F", 3));
    EXPECT_EQ(view.verdict, Verdict::Configured);
    EXPECT_TRUE(silent.waitForClose());  // the others go once the tracker is served
    EXPECT_EQ(history().size(), std::size(wrong) + 1);
}

// A description that is not an IMEI (fifteen characters are not enough to be one) waits
// for any tracker, but never for the test server's fifteen X's.
TEST_F(MainDialogTest, ARunForADescriptionThatIsNoImeiServesAnyTrackerButNotTheTestServer) {
    for (const char* description : {kAnyCaller, "Truck-0042-Kyiv", "35209408123456X"}) {
        SCOPED_TRACE(description);
        outcomes.clear();
        view.verdict.reset();
        open(0, {description});
        view.selected = QString::fromLatin1(description);
        const quint16 port = listen();
        LoopbackClient tester;
        ASSERT_TRUE(tester.connectTo(port));
        tester.send(identification(QByteArray(kTestServerImei.data(), 15)));
        EXPECT_TRUE(tester.waitForClose());
        EXPECT_TRUE(tester.received.isEmpty());
        EXPECT_EQ(view.status,
                  QStringLiteral("Unexpected caller IMEI XXXXXXXXXXXXXXX, waiting for ") +
                      QString::fromLatin1(description));
        serve(port, QByteArray("\x01\x00\x0F", 3));
        EXPECT_EQ(view.verdict, Verdict::Configured);
        dialog.reset();
    }
}

// Idle connections cannot lock the tracker out: past the bound the oldest goes.
TEST_F(MainDialogTest, PendingCallersAreBoundedAndTheTrackerStillGetsThrough) {
    open();
    const quint16 port = listen();
    // From as many addresses: one address alone may hold no more than a few.
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (std::size_t i = 0; i <= MainDialog::kMaxPendingCallers; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>());
        ASSERT_TRUE(idle.back()->connectTo(port, QHostAddress(0x7F000100u + i)));
    }
    ASSERT_TRUE(idle.front()->waitForClose());
    EXPECT_EQ(dialog->pendingCallerCount(), MainDialog::kMaxPendingCallers);
    EXPECT_TRUE(view.events.contains(QStringLiteral("status: ") + texts::kCallerDropped));
    serve(port, QByteArray("\x01\x00\x0F", 3));
    EXPECT_EQ(view.verdict, Verdict::Configured);
    EXPECT_EQ(dialog->pendingCallerCount(), 0u);
    EXPECT_TRUE(idle.back()->waitForClose());
}

TEST_F(MainDialogTest, ShortAnswersShowTheMissingBytesAsDashes) {
    open();
    const std::vector<std::pair<QByteArray, QString>> answers = {
        {QByteArray("\x01", 1), "Done, received answer...---- (000F) Bytes"},
        {QByteArray("\x01\x00", 2), "Done, received answer...00-- (000F) Bytes"},
    };
    for (const auto& [answer, text] : answers) {
        outcomes.clear();
        LoopbackClient tracker;
        ASSERT_TRUE(tracker.connectTo(listen()));
        tracker.send(identification(kImei));
        ASSERT_TRUE(tracker.waitForBytes(image.size()));
        ASSERT_TRUE(waitUntil([&] { return view.status.startsWith("Catch"); }));
        tracker.send(answer);
        ASSERT_TRUE(waitForOutcome());
        EXPECT_EQ(view.status, text);
        // The connection is closed at the answer; later data is not read.
        EXPECT_TRUE(tracker.waitForClose());
    }
}

TEST_F(MainDialogTest, ASecondCallerIsRefusedOnceTheFirstHasIdentifiedItself) {
    open();
    const quint16 port = listen();
    LoopbackClient first;
    ASSERT_TRUE(first.connectTo(port));
    first.send(identification(kImei));
    ASSERT_TRUE(first.waitForBytes(image.size()));
    LoopbackClient second;
    EXPECT_FALSE(second.connectTo(port));
    EXPECT_EQ(second.socket.error(), QAbstractSocket::ConnectionRefusedError);
    // The first session goes on undisturbed.
    first.send(QByteArray("\x01\x00\x0F", 3));
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(view.verdict, Verdict::Configured);
}

TEST_F(MainDialogTest, BusyPortIsReportedAndTheRunStaysReady) {
    open();
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    dialog->settings.localPort = occupier.serverPort();
    const qsizetype mark = view.events.size();
    dialog->OnListen();
    const QStringList seen = view.since(mark);
    const QStringList errors = seen.filter("error: ");
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors.front().startsWith(
        QStringLiteral("error: Cannot listen on port %1: ").arg(occupier.serverPort())));
    EXPECT_GT(errors.front().size(), QStringLiteral("error: Cannot listen on port 1: ").size() + 4);
    EXPECT_EQ(seen.mid(seen.indexOf(errors.front()) + 1),
              (QStringList{"progress: hidden", "status: Idle...",
                           "verdict: listen-failed " + errors.front().section(": ", 2)}));
    EXPECT_FALSE(dialog->listenActive);
    EXPECT_TRUE(seen.filter("caption").isEmpty());
    EXPECT_TRUE(seen.filter("enabled").isEmpty());
}

TEST_F(MainDialogTest, TrackerClosingEarlyIsShownAndTheRunStaysStoppable) {
    open();
    {
        LoopbackClient tracker;
        ASSERT_TRUE(tracker.connectTo(listen()));
        tracker.send(QByteArray("\x00\x0F\x33", 3));
        waitUntil([] { return false; }, std::chrono::milliseconds(50));
        tracker.socket.disconnectFromHost();
        // A stray: noted, and the run waits on.
        ASSERT_TRUE(waitUntil([&] { return dialog->pendingCallerCount() == 0; }));
        EXPECT_TRUE(
            view.events.contains(QStringLiteral("status: ") + texts::kClosedBeforeIdentified));
        EXPECT_EQ(view.status, QString::fromLatin1(texts::kWaitingForConnection));
        EXPECT_TRUE(outcomes.empty());
        EXPECT_TRUE(dialog->listenActive);
        dialog->OnListen();  // the stop
        EXPECT_FALSE(dialog->listenActive);
        EXPECT_EQ(view.events.filter("caption listen").last(), "caption listen: Listen");
    }
    {
        outcomes.clear();
        LoopbackClient tracker;
        ASSERT_TRUE(tracker.connectTo(listen()));
        tracker.send(identification(kImei));
        ASSERT_TRUE(tracker.waitForBytes(image.size()));
        ASSERT_TRUE(waitUntil([&] { return view.status.startsWith("Catch"); }));
        tracker.socket.disconnectFromHost();
        ASSERT_TRUE(waitForOutcome());
        EXPECT_EQ(outcomes.back(), MainDialog::SessionOutcome::Closed);
        EXPECT_EQ(view.status, QString::fromLatin1(texts::kClosedBeforeAnswer));
        EXPECT_FALSE(dialog->listenActive);  // a hang-up ends the run
    }
}

TEST_F(MainDialogTest, AnAnswerFollowedByACloseStillCounts) {
    open();
    LoopbackClient tracker;
    ASSERT_TRUE(tracker.connectTo(listen()));
    tracker.send(identification(kImei));
    ASSERT_TRUE(tracker.waitForBytes(image.size()));
    tracker.send(QByteArray("\x01\x00\x0F", 3));
    tracker.socket.disconnectFromHost();
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::Answered);
    EXPECT_EQ(view.status, "Done, received answer...000F (000F) Bytes");
}

TEST_F(MainDialogTest, ALargeImageReachesTheTrackerWhole) {
    image = QByteArray(60 * 1024, '\0');
    for (qsizetype i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    image[0] = '\xEF';
    image[1] = '\xFE';
    open();
    LoopbackClient tracker;
    // A small receive window makes the image go out in many writes.
    tracker.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 2048);
    tracker.socket.setReadBufferSize(1024);
    ASSERT_TRUE(tracker.connectTo(listen()));
    tracker.send(identification(kImei));
    ASSERT_TRUE(tracker.waitForBytes(image.size(), std::chrono::seconds(20)));
    EXPECT_EQ(tracker.received, image);
    ASSERT_TRUE(waitUntil([&] { return view.status.startsWith("Catch"); }));
    EXPECT_EQ(view.status, "Catch the new config...EFFE Bytes");
    tracker.send(QByteArray("\x01\xEF\xFE", 3));
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(view.status, "Done, received answer...EFFE (EFFE) Bytes");
}

TEST_F(MainDialogTest, AConnectionLostWhileTheImageGoesOutIsShownInsteadOfSuccess) {
    image = QByteArray(60 * 1024, '\x5A');
    open();
    LoopbackClient tracker;
    tracker.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 2048);
    tracker.socket.setReadBufferSize(1024);
    ASSERT_TRUE(tracker.connectTo(listen()));
    view.duringPause = [&] {
        view.duringPause = nullptr;
        // The tracker goes away (reset) while most of the image still waits to be sent.
        tracker.socket.abort();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // no event handled
    };
    tracker.send(identification(kImei));
    ASSERT_TRUE(waitForOutcome());
    EXPECT_NE(outcomes.front(), MainDialog::SessionOutcome::Answered);
    EXPECT_TRUE(view.status == QString::fromLatin1(texts::kClosedBeforeAnswer) ||
                view.status.startsWith(QString::fromLatin1(texts::kConnectionFailed)))
        << view.status.toStdString();
    EXPECT_TRUE(view.events.filter("Catch the new config").isEmpty())
        << view.events.join("\n").toStdString();
    EXPECT_EQ(view.verdict, Verdict::HungUp);
}

TEST_F(MainDialogTest, AFloodingCallerDoesNotGrowTheReceivedData) {
    open();
    view.selected = QString::fromLatin1(kAnyCaller);  // '7's name no tracker
    LoopbackClient tracker;
    ASSERT_TRUE(tracker.connectTo(listen()));
    std::size_t largest = 0;
    const QByteArray flood(4 * 1024 * 1024, '7');
    tracker.send(flood);
    ASSERT_TRUE(waitUntil(
        [&] {
            largest = std::max(largest, dialog->receivedData.size());
            return !outcomes.empty();
        },
        std::chrono::seconds(20)));
    EXPECT_LE(largest, kReceiveChunk + kIdentificationLength);
    EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::Answered);
    EXPECT_TRUE(view.events.contains("status: Welcome 777777777777777!"));
}

TEST_F(MainDialogTest, StopWhileWaitingAndASecondRunOnTheSamePort) {
    open();
    QTcpServer probe;  // a free port for both runs
    ASSERT_TRUE(probe.listen(QHostAddress::Any, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    dialog->settings.localPort = port;
    EXPECT_EQ(listen(), port);

    const qsizetype mark = view.events.size();
    dialog->OnListen();  // the stop
    EXPECT_EQ(view.since(mark),
              (QStringList{"caption listen: Listen", "progress: hidden", "enabled letsgo: 1",
                           "enabled checkport: 1", "verdict: no-call stopped by the operator"}));
    EXPECT_EQ(view.status, QString::fromLatin1(texts::kWaitingForConnection));
    EXPECT_FALSE(dialog->listenActive);
    LoopbackClient late;
    EXPECT_FALSE(late.connectTo(port));

    EXPECT_EQ(listen(), port);
    LoopbackClient tracker;
    ASSERT_TRUE(tracker.connectTo(port));
    tracker.send(identification(kImei));
    ASSERT_TRUE(tracker.waitForBytes(image.size()));
    tracker.send(QByteArray("\x01\x00\x0F", 3));
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::Answered);
}

TEST_F(MainDialogTest, AStoppedRunsConnectionGoesOnWithoutEndingTheNextRun) {
    open();
    LoopbackClient early;
    ASSERT_TRUE(early.connectTo(listen()));
    early.send(identification(kImei));
    ASSERT_TRUE(early.waitForBytes(image.size()));
    dialog->OnListen();  // the stop: the connection being served stays
    EXPECT_FALSE(dialog->listenActive);
    // A new run waits while the old connection still talks.
    const quint16 second = listen();
    early.send(QByteArray("\x01\x00\x0F", 3));
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(view.status, "Done, received answer...000F (000F) Bytes");
    EXPECT_TRUE(dialog->listenActive);  // the answer belonged to the stopped run
    EXPECT_EQ(dialog->listeningPort(), second);
}

TEST_F(MainDialogTest, APressThatEndsBeforeListeningLeavesTheRunReady) {
    open(/*deviceType=*/1);
    qsizetype mark = view.events.size();
    dialog->OnListen();
    EXPECT_EQ(view.since(mark), (QStringList{"device: ", "file: Configuration file: device.xml",
                                             "error: Error in XML file!",
                                             "verdict: file-refused device type not served"}));
    // The box keeps its fixed text; the reader's reason goes with it.
    EXPECT_EQ(view.reasons, QStringList{QStringLiteral("device type not served")});
    EXPECT_FALSE(dialog->listenActive);

    view.configFile.reset();  // the file dialog cancelled
    mark = view.events.size();
    dialog->OnListen();
    EXPECT_TRUE(view.since(mark).isEmpty());

    view.selected = QStringLiteral("not in the list");
    dialog->receivedData = {1, 2, 3};
    dialog->OnListen();
    EXPECT_TRUE(view.since(mark).isEmpty());
    EXPECT_TRUE(dialog->receivedData.empty());
}

TEST_F(MainDialogTest, WhileOneRunWaitsTheOthersDoNotStart) {
    open();
    listen();
    dialog->OnCheckPort();
    dialog->OnLetsGo();
    EXPECT_FALSE(dialog->goActive);
    EXPECT_FALSE(dialog->portCheckActive);
    EXPECT_TRUE(dialog->listenActive);
    EXPECT_NE(dialog->listeningPort(), 0);
}

TEST(MainDialogStartTest, WithoutADatabaseTheDefaultsStayAfterTwoWarnings) {
    TempDir dir;
    RecordingView view;
    MainDialog dialog(view, dir.path());
    dialog.settings.localPort = 1;  // replaced by the defaults
    dialog.OnInitDialog();
    EXPECT_EQ(view.events.filter("warning: ").size(), 2);
    EXPECT_EQ(view.events.last(), "status: Idle...");
    EXPECT_EQ(dialog.settings, ProgramSettings{});
    EXPECT_TRUE(view.choice.isEmpty());
    const qsizetype mark = view.events.size();
    dialog.OnListen();  // empty choice: nothing happens
    EXPECT_TRUE(view.since(mark).isEmpty());
}

// A stored value the window cannot use as it stands (a port out of range replaced by its
// default, an allow-list that does not parse) stops every run with the value named,
// until the operator saves the values concerned.
TEST(MainDialogStartTest, StoredValuesThatCannotBeUsedStopEveryRunUntilSaved) {
    const struct {
        const char* sql;
        const char* named;
        bool fixInSettings;  // else in the tracker list
    } cases[] = {
        {"UPDATE \"Settings\" SET \"EPort\" = 70000", "EPort 70000", true},
        {"UPDATE \"Trackers\" SET \"Port\" = 65536", "Port 65536", false},
        {"UPDATE \"Options\" SET \"Value\" = '10.0.0.0/8, 10.1.2.3/8' WHERE \"Name\" = 'allow-from'",
         "10.1.2.3/8", true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        storeTrackers(dir.path(), {"T"});
        ASSERT_TRUE(SettingsStore(dir.path()).save(ProgramSettings{}).ok());
        ASSERT_TRUE(SettingsStore(dir.path()).saveOptions(StationOptions{}).ok());
        ASSERT_TRUE(sqlite::Database::open(dir.path() / "settings.accdb").value().execute(c.sql).ok());
        RecordingView view;
        view.configFile = QString::fromStdString((dir / "device.xml").string());
        MainDialog dialog(view, dir.path());
        dialog.setConfigReader(imageReader(smallImage()));
        dialog.OnInitDialog();
        dialog.settings.localPort = 0;
        view.reasons.clear();
        dialog.OnListen();
        EXPECT_FALSE(dialog.listenActive) << c.named;
        ASSERT_EQ(view.reasons.size(), 1) << c.named;
        EXPECT_TRUE(view.reasons[0].contains(QString::fromLatin1(c.named)))
            << view.reasons[0].toStdString();
        EXPECT_TRUE(view.events.last().startsWith("error: No run can start")) << c.named;

        if (c.fixInSettings) {
            view.settingsDialog = [](ProgramSettings& settings) {
                settings.localPort = 0;
                return true;
            };
            view.optionsEdit = [](StationOptions& options) { options = StationOptions{}; };
            dialog.OnSettings();
        } else {
            dialog.OnEditTrackers();
        }
        dialog.OnListen();
        EXPECT_TRUE(dialog.listenActive) << c.named;
        dialog.OnListen();  // stop
    }
}

TEST(MainDialogStartTest, TheDatabaseStaysInTheStartDirectory) {
    TempDir start;
    TempDir other;
    storeTrackers(start.path(), {"b", "A", "c"});
    ProgramSettings stored;
    stored.localPort = 5000;
    ASSERT_TRUE(SettingsStore(start.path()).save(stored).ok());

    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(start.path());
    RecordingView view;
    MainDialog dialog(view);  // captures the current directory once
    std::filesystem::current_path(other.path());
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.settings.localPort, 5000);
    EXPECT_EQ(view.choice, (QStringList{"b", "A", "c"}));  // list order; the view sorts

    view.trackerDialog = [](TrackerList& list) {
        TrackerEntry entry;
        entry.description = "d";
        list.add(entry);
    };
    dialog.OnEditTrackers();
    view.settingsDialog = [](ProgramSettings& settings) {
        settings.localPort = 6000;
        return false;  // Cancel: nothing saved
    };
    dialog.OnSettings();
    std::filesystem::current_path(previous);

    EXPECT_FALSE(std::filesystem::exists(other / "settings.accdb"));
    TrackerList reloaded;
    ASSERT_TRUE(TrackerStore(start.path()).load(reloaded).ok());
    EXPECT_EQ(reloaded.count(), 4);
    EXPECT_EQ(view.choice.size(), 4);
    ProgramSettings saved;
    ASSERT_TRUE(SettingsStore(start.path()).load(saved).ok());
    EXPECT_EQ(saved.localPort, 5000);

    view.settingsDialog = [](ProgramSettings& settings) {
        settings.localPort = 7000;
        return true;
    };
    dialog.OnSettings();
    ASSERT_TRUE(SettingsStore(start.path()).load(saved).ok());
    EXPECT_EQ(saved.localPort, 7000);
}

}  // namespace
}  // namespace vela::test
