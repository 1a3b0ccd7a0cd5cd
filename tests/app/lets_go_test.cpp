// The "Let's Go" run of MainDialog with a recording view, a scripted modem on a real
// pseudo-terminal and a loopback tracker: the whole run, the ways the SMS can fail,
// the stop and a second run.
#include "app/main_dialog.h"
#include "app/run_texts.h"
#include "loopback_client.h"
#include "modem/push_message.h"
#include "recording_view.h"
#include "scripted_modem.h"
#include "storage/tracker_store.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <QTcpServer>
#include <thread>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

const QByteArray kImei = "352094081234567";
const QByteArray kAnswer("\x01\x00\x0F", 3);

// The smallest image: rest length 000F, then 15 bytes. Device type 1 is not served.
QByteArray smallImage() {
    QByteArray bytes("\x00\x0F\x44\x00\x00", 5);
    bytes += QByteArray(12, '\x11');
    return bytes;
}

MainDialog::ConfigReader imageReader(QByteArray bytes) {
    return [bytes](const std::filesystem::path&, int deviceType, ConfigImage& image) {
        if (deviceType != 0) return Status::Fail("device type not served");
        std::copy(bytes.begin(), bytes.end(), image.bytes.begin());
        image.length = static_cast<uint16_t>(bytes.size());
        return Status::Ok();
    };
}

ScriptedModem::Responder silent() {
    return [](const std::string&) { return std::vector<ReplyPiece>{}; };
}

// The commands of one complete dialogue for `pdu`.
std::vector<std::string> dialogueFor(const std::string& pdu) {
    return {"ATQ0\r\n",
            "ATE0\r\n",
            "AT+CMGF=0\r\n",
            "AT+CPIN?\r\n",
            "AT+CMGS=" + std::to_string(CmgsLength(pdu)) + "\r\n",
            pdu + "\x1A\r\n"};
}

// A free TCP port (bound and released at once).
quint16 freePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0)) return 0;
    return probe.serverPort();
}

class LetsGoTest : public ::testing::Test {
protected:
    TempDir dir;
    RecordingView view;
    std::unique_ptr<ScriptedModem> modem;
    std::unique_ptr<MainDialog> dialog;
    std::vector<MainDialog::SessionOutcome> outcomes;
    TrackerEntry entry = wokenTracker();

    static TrackerEntry wokenTracker() {
        TrackerEntry tracker;
        tracker.description = kImei.toStdString();
        tracker.phone = "37060000000";
        tracker.pushPort = 2001;
        tracker.apn = "internet";
        tracker.auth = 2;
        return tracker;
    }

    void open(ScriptedModem::Responder responder = ScriptedModem::Standard()) {
        modem = std::make_unique<ScriptedModem>(std::move(responder));
        ASSERT_FALSE(modem->path().empty());
        TrackerList list;
        list.add(entry);
        ASSERT_TRUE(TrackerStore(dir.path()).save(list).ok());
        dialog = std::make_unique<MainDialog>(view, dir.path());
        dialog->setConfigReader(imageReader(smallImage()));
        dialog->setDialogueLimits({300ms, 600ms});
        dialog->serialPort.setReopenPause(20ms);
        QObject::connect(
            dialog.get(), &MainDialog::SessionEnded,
            [this](MainDialog::SessionOutcome outcome) { outcomes.push_back(outcome); });
        dialog->OnInitDialog();
        dialog->settings.localPort = 0;
        dialog->settings.externalIp = 0x7F000001;
        dialog->settings.externalPort = 16384;
        dialog->settings.modemPort = modem->path();
        view.configFile = QString::fromStdString((dir / "device.xml").string());
    }

    std::string expectedPdu() const {
        const Result<std::string> pdu = BuildPushMessage(entry, dialog->settings);
        EXPECT_TRUE(pdu.ok());
        return pdu.ok() ? *pdu : std::string();
    }

    // Nothing reached the modem (its thread is given time to see a late write).
    bool modemUntouched() const {
        std::this_thread::sleep_for(100ms);
        return modem->received().empty();
    }

    // The tracker the SMS woke: identifies itself, takes the image, answers.
    void configureTracker(quint16 port) {
        LoopbackClient tracker;
        ASSERT_TRUE(tracker.connectTo(port));
        tracker.send(identification(kImei));
        ASSERT_TRUE(tracker.waitForBytes(smallImage().size()));
        EXPECT_EQ(tracker.received, smallImage());
        ASSERT_TRUE(waitUntil([&] { return view.status.startsWith("Catch"); }));
        tracker.send(kAnswer);
        ASSERT_TRUE(waitUntil([&] { return !outcomes.empty(); }));
        EXPECT_EQ(outcomes.back(), MainDialog::SessionOutcome::Answered);
        EXPECT_TRUE(tracker.waitForClose());
    }
};

TEST_F(LetsGoTest, AWholeRunShowsEveryStepInOrder) {
    open();
    qsizetype mark = view.events.size();
    dialog->OnLetsGo();
    ASSERT_TRUE(dialog->goActive);
    EXPECT_EQ(
        view.since(mark),
        (QStringList{"device: ", "file: Configuration file: device.xml", "progress: 0",
                     "progress: shown", "status: Starting the push sms creation", "pause 2000",
                     "progress: 25", "status: Push sms sending...", "caption letsgo: Stop!!!",
                     "enabled listen: 0", "enabled checkport: 0", "wait cursor: 1",
                     "painting while waiting", "wait cursor: 0", "progress: 50",
                     "status: Waiting for incoming connection...", "caption letsgo: Stop!!!",
                     "enabled listen: 0", "enabled checkport: 0"}));
    // Each text in front of a step that blocks is painted at once.
    for (const char* text :
         {texts::kStartingPushSms, texts::kPushSmsSending, texts::kWaitingForConnection}) {
        const qsizetype at = view.events.indexOf(QStringLiteral("status: ") + text, mark);
        ASSERT_GE(at, 0) << text;
        EXPECT_EQ(view.events.value(at + 1), "repaint") << text;
    }
    EXPECT_EQ(modem->commands(), dialogueFor(expectedPdu()));
    const quint16 port = dialog->listeningPort();
    ASSERT_NE(port, 0);

    mark = view.events.size();
    configureTracker(port);
    EXPECT_EQ(view.since(mark),
              (QStringList{"progress: 75", "status: Welcome 352094081234567!",
                           "device: Device IMEI: 352094081234567", "pause 1000",
                           "status: Catch the new config...000F Bytes",
                           "status: Done, received answer...000F (000F) Bytes", "progress: 100",
                           "pause 1000", "progress: hidden", "caption letsgo: Let's Go!!!!",
                           "enabled listen: 1", "enabled checkport: 1",
                           "verdict: configured 15 of 15 bytes"}));
    EXPECT_FALSE(dialog->goActive);
    EXPECT_EQ(dialog->listeningPort(), 0);
}

TEST_F(LetsGoTest, AFailedDialogueShowsItsMessageThenIdleAndDoesNotListen) {
    struct Case {
        const char* name;
        ScriptedModem::Responder responder;
        bool portMissing;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"silent modem", silent(), false, kTextNoModem1},
        {"no prompt", ScriptedModem::Standard({{"AT+CMGS=", {{"\r\nERROR\r\n"}}}}), false,
         kTextNoPrompt},
        {"no such port", ScriptedModem::Standard(), true, kTextPortNotOpened},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        outcomes.clear();
        open(c.responder);
        if (c.portMissing) dialog->settings.modemPort = (dir / "no-modem").string();
        const qsizetype mark = view.events.size();
        dialog->OnLetsGo();
        const QStringList seen = view.since(mark);
        const qsizetype sending = seen.indexOf("status: Push sms sending...");
        ASSERT_GE(sending, 0) << seen.join('\n').toStdString();
        ASSERT_FALSE(seen.isEmpty());
        // The run's verdict names the modem's step (and its reason, when it gave one).
        EXPECT_TRUE(seen.last().startsWith(QStringLiteral("verdict: sms-failed ") + c.message))
            << seen.last().toStdString();
        EXPECT_EQ(seen.mid(sending + 1, seen.size() - sending - 2),
                  (QStringList{"caption letsgo: Stop!!!", "enabled listen: 0",
                               "enabled checkport: 0", "wait cursor: 1", "painting while waiting",
                               "wait cursor: 0", QStringLiteral("error: ") + c.message,
                               "caption letsgo: Let's Go!!!!", "enabled listen: 1",
                               "enabled checkport: 1", "progress: hidden", "status: Idle..."}));
        EXPECT_FALSE(dialog->goActive);
        EXPECT_EQ(dialog->listenSocket, nullptr);
        EXPECT_EQ(dialog->listeningPort(), 0);
        dialog.reset();
    }
}

TEST_F(LetsGoTest, ARefusedFileOrMessageLeavesTheModemUntouched) {
    // A device type the reader does not serve.
    entry.deviceType = 1;
    open();
    qsizetype mark = view.events.size();
    dialog->OnLetsGo();
    EXPECT_EQ(view.since(mark), (QStringList{"device: ", "file: Configuration file: device.xml",
                                             "error: Error in XML file!",
                                             "verdict: file-refused device type not served"}));
    EXPECT_FALSE(dialog->goActive);
    EXPECT_EQ(view.status, "Idle...");
    EXPECT_TRUE(modemUntouched());

    // A wake-up SMS that would not fit into one message, and an external port out of
    // range: refused, naming the field, and the run ends as a failed SMS does.
    struct Case {
        std::string apn;
        int externalPort;
        const char* named;
    };
    for (const Case& c :
         {Case{std::string(130, 'a'), 16384, "APN"}, Case{"internet", 70000, "external port"}}) {
        SCOPED_TRACE(c.named);
        entry.deviceType = 0;
        entry.apn = c.apn;
        open();
        dialog->settings.externalPort = c.externalPort;
        mark = view.events.size();
        dialog->OnLetsGo();
        const QStringList seen = view.since(mark);
        ASSERT_EQ(seen.size(), 9) << seen.join('\n').toStdString();
        EXPECT_EQ(seen.mid(0, 5),
                  (QStringList{"device: ", "file: Configuration file: device.xml", "progress: 0",
                               "progress: shown", "status: Starting the push sms creation"}));
        EXPECT_TRUE(seen[5].startsWith("error: ")) << seen[5].toStdString();
        EXPECT_TRUE(seen[5].contains(QString::fromLatin1(c.named), Qt::CaseInsensitive))
            << seen[5].toStdString();
        EXPECT_EQ(seen.mid(6), (QStringList{"progress: hidden", "status: Idle...",
                                            "verdict: sms-failed " + seen[5].mid(7)}));
        EXPECT_FALSE(dialog->goActive);
        EXPECT_EQ(dialog->listenSocket, nullptr);
        EXPECT_FALSE(dialog->serialPort.IsOpen());
        EXPECT_TRUE(modemUntouched());
    }
}

TEST_F(LetsGoTest, StopWhileWaitingThenASecondRunSendsANewSmsOnTheSamePort) {
    open();
    const quint16 port = freePort();
    ASSERT_NE(port, 0);
    dialog->settings.localPort = port;
    dialog->OnLetsGo();
    ASSERT_TRUE(dialog->goActive);
    EXPECT_EQ(dialog->listeningPort(), port);

    qsizetype mark = view.events.size();
    dialog->OnLetsGo();  // the stop
    EXPECT_EQ(view.since(mark),
              (QStringList{"caption letsgo: Let's Go!!!!", "progress: hidden", "enabled listen: 1",
                           "enabled checkport: 1", "verdict: no-call stopped by the operator"}));
    EXPECT_EQ(view.status, QString::fromLatin1(texts::kWaitingForConnection));
    EXPECT_FALSE(dialog->goActive);
    LoopbackClient late;
    EXPECT_FALSE(late.connectTo(port));
    EXPECT_EQ(modem->commands().size(), 6u);

    mark = view.events.size();
    dialog->OnLetsGo();
    ASSERT_TRUE(dialog->goActive);
    EXPECT_TRUE(view.since(mark).contains("status: Push sms sending..."));
    std::vector<std::string> twice = dialogueFor(expectedPdu());
    const std::vector<std::string> once = twice;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(modem->commands(), twice);
    EXPECT_EQ(dialog->listeningPort(), port);
    configureTracker(port);
    EXPECT_FALSE(dialog->goActive);
    EXPECT_EQ(view.events.filter("caption letsgo").last(), "caption letsgo: Let's Go!!!!");
}

// The port is taken before the tracker is woken: no byte goes to the modem.
TEST_F(LetsGoTest, APortThatCannotBeHadStopsTheRunBeforeTheSms) {
    open();
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    dialog->settings.localPort = occupier.serverPort();
    const qsizetype mark = view.events.size();
    dialog->OnLetsGo();
    const QStringList seen = view.since(mark);
    const QStringList errors = seen.filter("error: ");
    ASSERT_EQ(errors.size(), 1) << seen.join('\n').toStdString();
    EXPECT_TRUE(errors.front().startsWith(
        QStringLiteral("error: Cannot listen on port %1: ").arg(occupier.serverPort())));
    EXPECT_EQ(seen.mid(seen.indexOf(errors.front()) + 1),
              (QStringList{"progress: hidden", "status: Idle...",
                           "verdict: listen-failed " + errors.front().section(": ", 2)}));
    EXPECT_FALSE(dialog->goActive);
    EXPECT_TRUE(seen.filter("caption").isEmpty());
    EXPECT_TRUE(seen.filter("Push sms sending").isEmpty());
    EXPECT_TRUE(modemUntouched());
    EXPECT_FALSE(dialog->serialPort.IsOpen());
}

TEST_F(LetsGoTest, ATrackerHangingUpEndsTheRun) {
    open();
    dialog->OnLetsGo();
    ASSERT_TRUE(dialog->goActive);
    {
        LoopbackClient tracker;
        ASSERT_TRUE(tracker.connectTo(dialog->listeningPort()));
        tracker.send(identification(kImei));
        ASSERT_TRUE(tracker.waitForBytes(smallImage().size()));
        ASSERT_TRUE(waitUntil([&] { return view.status.startsWith("Catch"); }));
        tracker.socket.disconnectFromHost();
        ASSERT_TRUE(waitUntil([&] { return !outcomes.empty(); }));
    }
    EXPECT_EQ(outcomes.back(), MainDialog::SessionOutcome::Closed);
    EXPECT_EQ(view.status, QString::fromLatin1(texts::kClosedBeforeAnswer));
    EXPECT_FALSE(dialog->goActive);
    EXPECT_EQ(view.events.filter("caption letsgo").last(), "caption letsgo: Let's Go!!!!");
    EXPECT_EQ(view.events.last(), QStringLiteral("verdict: hung-up ") + texts::kClosedBeforeAnswer);
}

}  // namespace
}  // namespace vela::test
