// The window (offscreen) while the tracker link misbehaves: a Listen run waiting on a
// silent caller or on one that trickles its identification keeps handling events
// between the session's pauses, and its stop still works.
#include "app/main_dialog.h"
#include "app/run_texts.h"
#include "gui/main_window.h"
#include "raw_peer.h"
#include "recording_view.h"
#include "storage/tracker_store.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <set>
#include <thread>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

const std::string kImei = "352094081234567";

class NoBoxes : public MessageSink {
public:
    QStringList messages;
    void ShowMessage(QWidget*, const QString& text, MessageIcon) override { messages << text; }
};

// Counts the events posted to it: proof that the event loop got round to them.
class EventCounter : public QObject {
public:
    int delivered = 0;

protected:
    void customEvent(QEvent*) override { ++delivered; }
};

class LinkWindowFaultTest : public ::testing::Test {
protected:
    TempDir dir;
    NoBoxes boxes;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainDialog> dialog;

    void SetUp() override {
        TrackerList list;
        TrackerEntry entry;
        entry.description = kImei;
        list.add(entry);
        ASSERT_TRUE(TrackerStore(dir.path()).save(list).ok());
        window = std::make_unique<MainWindow>(boxes);
        dialog = std::make_unique<MainDialog>(*window, dir.path());
        dialog->setConfigReader([](const std::filesystem::path&, int, ConfigImage& image) {
            image.bytes[0] = 0;
            image.bytes[1] = 0x0F;
            image.length = 17;
            return Status::Ok();
        });
        // Shortened pauses: the window still blocks in them, only for less time.
        dialog->setPauses({100ms, 100ms, 100ms});
        window->setFileChooser([this](QWidget*) {
            return std::optional<QString>(QString::fromStdString((dir / "device.xml").string()));
        });
        window->Attach(*dialog);
        dialog->OnInitDialog();
        dialog->settings.localPort = 0;
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    QPushButton* listenButton() const {
        return window->findChild<QPushButton*>(QStringLiteral("listenButton"));
    }
    QString status() const {
        return window->findChild<QLineEdit*>(QStringLiteral("statusLine"))->text();
    }

    // A posted event and a zero timer both get through the event loop in time.
    static bool eventsGetThrough() {
        EventCounter counter;
        bool timerFired = false;
        QCoreApplication::postEvent(&counter, new QEvent(QEvent::User));
        QTimer::singleShot(0, &counter, [&] { timerFired = true; });
        return waitUntil([&] { return counter.delivered == 1 && timerFired; }, 5s);
    }

    std::optional<RawPeer> startListenAndConnect() {
        QTest::mouseClick(listenButton(), Qt::LeftButton);
        EXPECT_EQ(listenButton()->text(), "Stop!!!");
        std::optional<RawPeer> peer = RawPeer::connectTo(dialog->listeningPort());
        if (peer && !waitUntil([&] { return dialog->pendingCallerCount() > 0; })) peer.reset();
        return peer;
    }
};

TEST_F(LinkWindowFaultTest, ARunWaitingOnASilentCallerKeepsHandlingEventsAndStops) {
    std::optional<RawPeer> silent = startListenAndConnect();
    ASSERT_TRUE(silent);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(eventsGetThrough());
        waitUntil([] { return false; }, 100ms);
    }
    EXPECT_EQ(status(), QString::fromLatin1(texts::kWaitingForConnection));
    // The stop comes through the event loop like the operator's click.
    QMetaObject::invokeMethod(listenButton(), &QPushButton::click, Qt::QueuedConnection);
    EXPECT_TRUE(waitUntil([&] { return listenButton()->text() == "Listen"; }, 5s));
    EXPECT_FALSE(dialog->listenActive);
    EXPECT_EQ(dialog->listeningPort(), 0);
    EXPECT_TRUE(boxes.messages.isEmpty());
}

TEST_F(LinkWindowFaultTest, BetweenTheBytesOfATricklingCallerTheWindowHandlesEvents) {
    std::optional<RawPeer> peer = startListenAndConnect();
    ASSERT_TRUE(peer);
    // A timer of the window's thread notes each size of the received data it sees while
    // the caller sends one byte every 100 ms from its own thread.
    std::set<std::size_t> sizesSeen;
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout,
                     [&] { sizesSeen.insert(dialog->pendingCallerBytes()); });
    watcher.start();
    const std::string id = std::string("\x00\x0F", 2) + kImei;
    std::thread trickle([&] {
        for (char byte : id) {
            if (::send(peer->fd(), &byte, 1, MSG_NOSIGNAL) != 1) return;
            std::this_thread::sleep_for(100ms);
        }
    });
    // The identification, the image, the pause; then the window is back.
    const bool caught = waitUntil([&] { return status().startsWith("Catch"); }, 10s);
    trickle.join();
    ASSERT_TRUE(caught);
    watcher.stop();
    std::size_t intermediate = 0;
    for (std::size_t size = 1; size < 17; ++size) intermediate += sizesSeen.count(size);
    EXPECT_GE(intermediate, 8u) << intermediate << " of 16 sizes seen";
    EXPECT_TRUE(eventsGetThrough());
    EXPECT_EQ(window->findChild<QLineEdit*>(QStringLiteral("deviceLine"))->text(),
              "Device IMEI: 352094081234567");
    EXPECT_EQ(peer->receive(17).size(), 17u);
    ASSERT_TRUE(peer->sendAll(std::string("\x01\x00\x0F", 3)));
    ASSERT_TRUE(waitUntil([&] { return listenButton()->text() == "Listen"; }, 5s));
    EXPECT_EQ(status(), "Done, received answer...000F (000F) Bytes");
    EXPECT_TRUE(eventsGetThrough());
}

}  // namespace
}  // namespace vela::test
