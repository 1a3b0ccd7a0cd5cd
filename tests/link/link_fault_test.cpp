// The tracker link under faults: callers that flood, trickle, go half-open, reset the
// connection while the image goes out, or come fifty at once. MainDialog with a
// recording view and real loopback sockets; every wait is bounded.
#include "app/main_dialog.h"
#include "app/run_texts.h"
#include "raw_peer.h"
#include "recording_view.h"
#include "storage/tracker_store.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTimer>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <utility>

namespace vela::test {
namespace {

using namespace std::chrono_literals;
using End = RawPeer::End;

const std::string kImei = "352094081234567";
const char* const kAnyCaller = "Any caller";
const std::string kAnswer("\x01\x00\x0F", 3);

std::string identificationOf(const std::string& imei) {
    return std::string("\x00\x0F", 2) + imei;
}

// The smallest image: rest length 000F, then 15 bytes.
std::string smallImage() {
    return std::string("\x00\x0F\x44\x00\x00", 5) + std::string(12, '\x11');
}

// 60 KB: more than one write and more than a small receive window take.
std::string largeImage() {
    std::string bytes(60 * 1024, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7) & 0xFF);
    bytes[0] = '\xEF';
    bytes[1] = '\x5F';
    return bytes;
}

// Writes `total` bytes of `fill` from its own thread until they are out, the connection
// ends or it is stopped. The socket's send time-out keeps each write short.
class Flooder {
public:
    Flooder(int fd, char fill, std::size_t total)
        : thread_([this, fd, fill, total] { run(fd, fill, total); }) {}
    ~Flooder() { stop(); }
    Flooder(const Flooder&) = delete;
    Flooder& operator=(const Flooder&) = delete;

    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::size_t sent() const { return sent_; }
    bool finished() const { return finished_; }

private:
    void run(int fd, char fill, std::size_t total) {
        const std::string block(64 * 1024, fill);
        while (!stop_ && sent_ < total) {
            const ssize_t n =
                ::send(fd, block.data(), std::min(block.size(), total - sent_), MSG_NOSIGNAL);
            if (n > 0) {
                sent_ += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                continue;  // the window is shut: look at the stop flag, then try again
            } else {
                break;  // closed or reset by the other side
            }
        }
        finished_ = true;
    }

    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<std::size_t> sent_{0};
    std::thread thread_;  // last: starts when the counters exist
};

// The window's file dialog and message boxes run a nested event loop inside the press
// that opened them; this view can do the same while the file is being chosen.
class NestedLoopView : public RecordingView {
public:
    std::function<void()> duringChoice;
    std::optional<QString> ChooseConfigFile() override {
        if (duringChoice) duringChoice();
        return configFile;
    }
};

// Runs `action` the first time only; a hook cannot clear itself while it runs.
std::function<void()> firstTimeOnly(std::function<void()> action) {
    auto done = std::make_shared<bool>(false);
    return [done, action = std::move(action)] {
        if (std::exchange(*done, true)) return;
        action();
    };
}

void spin(std::chrono::milliseconds length) {
    waitUntil([] { return false; }, length);
}

class LinkFaultTest : public ::testing::Test {
protected:
    TempDir dir;
    NestedLoopView view;
    std::unique_ptr<MainDialog> dialog;
    std::vector<MainDialog::SessionOutcome> outcomes;
    std::string image = smallImage();

    void SetUp() override {
        TrackerList list;
        TrackerEntry entry;
        entry.description = kImei;
        entry.phone = "37060000000";
        list.add(entry);
        entry.description = kAnyCaller;  // not an IMEI: the first caller is served
        list.add(entry);
        ASSERT_TRUE(TrackerStore(dir.path()).save(list).ok());
        dialog = std::make_unique<MainDialog>(view, dir.path());
        dialog->setConfigReader([this](const std::filesystem::path&, int, ConfigImage& target) {
            std::copy(image.begin(), image.end(), target.bytes.begin());
            target.length = static_cast<uint16_t>(image.size());
            return Status::Ok();
        });
        QObject::connect(
            dialog.get(), &MainDialog::SessionEnded,
            [this](MainDialog::SessionOutcome outcome) { outcomes.push_back(outcome); });
        dialog->OnInitDialog();
        dialog->settings.localPort = 0;
        view.configFile = QString::fromStdString((dir / "device.xml").string());
    }

    uint16_t listen() {
        dialog->OnListen();
        EXPECT_TRUE(dialog->listenActive);
        const uint16_t port = dialog->listeningPort();
        EXPECT_NE(port, 0);
        return port;
    }

    // Every later run listens on one port, as the operator's would: a new run must get
    // the port back after whatever the last session left behind.
    void useOneFixedPort() {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::Any, 0));
        dialog->settings.localPort = probe.serverPort();
    }

    // A caller that the run has accepted (waiting to identify itself).
    std::optional<RawPeer> connectAccepted(uint16_t port, int receiveBuffer = 0) {
        const std::size_t before = dialog->pendingCallerCount();
        std::optional<RawPeer> peer = RawPeer::connectTo(port, receiveBuffer);
        if (peer && !waitUntil([&] { return dialog->pendingCallerCount() > before; })) {
            peer.reset();
        }
        return peer;
    }

    // The operator's stop of the waiting "Listen" run.
    void stop() {
        ASSERT_TRUE(dialog->listenActive);
        dialog->OnListen();
        EXPECT_FALSE(dialog->listenActive);
        EXPECT_EQ(view.events.filter("caption listen").last(), "caption listen: Listen");
        EXPECT_EQ(dialog->listeningPort(), 0);
    }

    bool waitForOutcome(std::size_t count = 1, std::chrono::milliseconds limit = 10s) {
        return waitUntil([&] { return outcomes.size() >= count; }, limit);
    }

    // Reads what the peer is sent while the event loop runs.
    static bool collect(RawPeer& peer, std::size_t count, std::chrono::milliseconds limit = 20s) {
        return waitUntil(
            [&] {
                peer.pollEnd();
                return peer.received.size() >= count;
            },
            limit);
    }

    static End waitForEnd(RawPeer& peer, std::chrono::milliseconds limit = 10s) {
        End end = End::StillOpen;
        waitUntil([&] { return (end = peer.pollEnd()) != End::StillOpen; }, limit);
        return end;
    }

    static bool isFailureText(const QString& text) {
        return text == QString::fromLatin1(texts::kClosedBeforeIdentified) ||
               text == QString::fromLatin1(texts::kClosedBeforeAnswer) ||
               text.startsWith(QString::fromLatin1(texts::kConnectionFailed));
    }

    // A new run and a well-behaved tracker: it gets the whole image and its answer ends
    // the run.
    // `port`: the run that already waits there; 0 starts a new one.
    void serveWellBehavedTracker(uint16_t port = 0) {
        SCOPED_TRACE("a well-behaved tracker");
        outcomes.clear();
        std::optional<RawPeer> tracker = RawPeer::connectTo(port != 0 ? port : listen());
        ASSERT_TRUE(tracker);
        ASSERT_TRUE(tracker->sendAll(identificationOf(kImei)));
        ASSERT_TRUE(collect(*tracker, image.size()));
        EXPECT_EQ(tracker->received, image);
        ASSERT_TRUE(tracker->sendAll(kAnswer));
        ASSERT_TRUE(waitForOutcome());
        EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::Answered);
        EXPECT_TRUE(view.status.startsWith("Done, received answer..."));
        EXPECT_FALSE(dialog->listenActive);
        EXPECT_EQ(waitForEnd(*tracker), End::Closed);
    }
};

TEST_F(LinkFaultTest, AFloodingCallerIsServedAsUsualAndCannotGrowTheProcess) {
    constexpr std::size_t kFlood = std::size_t{64} << 20;
    constexpr std::size_t kGrowthLimit = std::size_t{16} << 20;
    struct Case {
        const char* name;
        bool identifiesFirst;  // false: the flood is all it sends, from the first byte
        const char* welcome;
    };
    for (const Case& c : {Case{"flood from the first byte", false, "Welcome 777777777777777!"},
                          Case{"flood after the image", true, "Welcome 352094081234567!"}}) {
        SCOPED_TRACE(c.name);
        outcomes.clear();
        // A flood of '7's names no tracker: only a run for any caller serves it.
        if (!c.identifiesFirst) view.selected = QString::fromLatin1(kAnyCaller);
        const qsizetype mark = view.events.size();
        std::optional<RawPeer> peer = RawPeer::connectTo(listen(), 0, 200ms);
        view.selected.reset();
        ASSERT_TRUE(peer);
        const std::size_t residentBefore = residentBytes();
        std::size_t residentPeak = residentBefore;
        std::unique_ptr<Flooder> flood;
        if (c.identifiesFirst) {
            ASSERT_TRUE(peer->sendAll(identificationOf(kImei)));
        } else {
            flood = std::make_unique<Flooder>(peer->fd(), '7', kFlood);
        }
        // The session is busy (its pause after the image) while the event loop keeps
        // running in a nested loop: the caller's data reaches the socket, but nobody
        // takes it. Only the bounded read-ahead stands between the flood and memory.
        view.duringPause = firstTimeOnly([&] {
            if (!flood) {
                EXPECT_EQ(peer->receive(image.size()), image);
                flood = std::make_unique<Flooder>(peer->fd(), '7', kFlood);
            }
            waitUntil(
                [&] {
                    residentPeak = std::max(residentPeak, residentBytes());
                    return flood->finished();
                },
                3s);
        });
        ASSERT_TRUE(waitForOutcome(1, 30s));
        view.duringPause = nullptr;
        ASSERT_TRUE(flood);
        const std::size_t sent = flood->sent();
        flood->stop();

        EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::Answered);
        const QStringList seen = view.since(mark);
        EXPECT_EQ(seen.filter("Welcome").size(), 1);
        EXPECT_TRUE(seen.contains(QStringLiteral("status: ") + c.welcome))
            << seen.join('\n').toStdString();
        EXPECT_TRUE(seen.contains("status: Catch the new config...000F Bytes"));
        // The flood's first bytes after the image are the answer ('7' is 0x37).
        EXPECT_EQ(view.status, "Done, received answer...3737 (000F) Bytes");
        EXPECT_LE(dialog->receivedData.size(), kReceiveChunk);
        EXPECT_LT(residentPeak - residentBefore, kGrowthLimit);
        // The caller could not push its flood into the process: the rest waited in the
        // kernel until the session closed the connection.
        EXPECT_LT(sent, kFlood);
        EXPECT_NE(waitForEnd(*peer), End::StillOpen);
        EXPECT_FALSE(dialog->listenActive);
    }
    serveWellBehavedTracker();
}

TEST_F(LinkFaultTest, ACallerSendingOneByteAtATimeIsIdentifiedAtTheSeventeenthByte) {
    std::optional<RawPeer> peer = connectAccepted(listen());
    ASSERT_TRUE(peer);
    const std::string id = identificationOf(kImei);
    // What the event loop sees while the caller trickles, from a timer of its own.
    std::atomic<std::size_t> bytesSent{0};
    std::set<std::size_t> sizesSeen;
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout,
                     [&] { sizesSeen.insert(dialog->pendingCallerBytes()); });
    watcher.start();
    // How many bytes were out when the session identified the caller (its pause follows).
    std::size_t identifiedAfter = 0;
    view.duringPause = firstTimeOnly([&] { identifiedAfter = bytesSent; });
    const qsizetype mark = view.events.size();
    std::thread trickle([&] {
        for (char byte : id) {
            ++bytesSent;
            if (::send(peer->fd(), &byte, 1, MSG_NOSIGNAL) != 1) return;
            std::this_thread::sleep_for(100ms);
        }
    });
    const bool caught = waitUntil([&] { return view.status.startsWith("Catch"); }, 10s);
    trickle.join();
    ASSERT_TRUE(caught);
    watcher.stop();
    view.duringPause = nullptr;

    // The session took each byte and went back to the event loop: the timer saw the
    // data grow byte by byte (allowing for a few ticks lost to a busy machine).
    std::size_t intermediate = 0;
    for (std::size_t size = 1; size < kIdentificationLength; ++size)
        intermediate += sizesSeen.count(size);
    EXPECT_GE(intermediate, kIdentificationLength / 2) << intermediate << " of 16 sizes seen";
    EXPECT_EQ(identifiedAfter, kIdentificationLength);
    EXPECT_EQ(view.since(mark), (QStringList{"progress: 75", "status: Welcome 352094081234567!",
                                             "device: Device IMEI: 352094081234567", "pause 1000",
                                             "status: Catch the new config...000F Bytes"}));
    ASSERT_TRUE(collect(*peer, image.size()));
    EXPECT_EQ(peer->received, image);

    // The answer one byte at a time: its first byte is the answer.
    ASSERT_TRUE(peer->sendAll(kAnswer.substr(0, 1)));
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::Answered);
    EXPECT_EQ(view.status, "Done, received answer...---- (000F) Bytes");
    (void)peer->sendAll(kAnswer.substr(1, 1));
    EXPECT_EQ(waitForEnd(*peer), End::Closed);
}

TEST_F(LinkFaultTest, HalfOpenConnectionsLeaveTheRunStoppable) {
    useOneFixedPort();
    serveWellBehavedTracker();  // Qt's lazily opened descriptors exist before the count
    const std::size_t descriptors = openDescriptors();
    {
        SCOPED_TRACE("a caller that connects and never sends");
        outcomes.clear();
        const uint16_t port = listen();
        std::optional<RawPeer> silent = connectAccepted(port);
        ASSERT_TRUE(silent);
        bool timerFired = false;
        QTimer::singleShot(0, [&] { timerFired = true; });
        spin(300ms);
        EXPECT_TRUE(timerFired);
        EXPECT_TRUE(outcomes.empty());
        EXPECT_EQ(view.status, QString::fromLatin1(texts::kWaitingForConnection));
        stop();
        EXPECT_FALSE(RawPeer::connectTo(port));  // refused: nobody listens
        // A caller that never identified itself goes with the run that listened for it.
        EXPECT_EQ(waitForEnd(*silent), End::Closed);
    }
    {
        SCOPED_TRACE("a caller silent beyond the bound is dropped and the run waits on");
        outcomes.clear();
        MainDialog::Pauses pauses = dialog->pauses();
        pauses.identify = 300ms;
        dialog->setPauses(pauses);
        const uint16_t port = listen();
        std::optional<RawPeer> silent = connectAccepted(port);
        ASSERT_TRUE(silent);
        EXPECT_EQ(waitForEnd(*silent, 5s), End::Closed);
        EXPECT_EQ(dialog->pendingCallerCount(), 0u);
        EXPECT_TRUE(view.events.contains("status: A caller sent no identification within 0 s"));
        EXPECT_EQ(view.status, QString::fromLatin1(texts::kWaitingForConnection));
        EXPECT_TRUE(outcomes.empty());
        EXPECT_TRUE(dialog->listenActive);
        pauses.identify = 20s;
        dialog->setPauses(pauses);
        stop();
    }
    {
        SCOPED_TRACE("a caller that shuts its write side before it identifies itself");
        outcomes.clear();
        const qsizetype mark = view.events.size();
        std::optional<RawPeer> peer = RawPeer::connectTo(listen());
        ASSERT_TRUE(peer);
        ASSERT_TRUE(peer->sendAll(std::string("\x00\x0F\x33\x35", 4)));
        peer->shutdownWrite();
        // A stray: a note, no session end, and the run waits on with its listener open.
        EXPECT_EQ(waitForEnd(*peer), End::Closed);  // our side is closed as well
        ASSERT_TRUE(waitUntil([&] { return dialog->pendingCallerCount() == 0; }));
        EXPECT_TRUE(outcomes.empty());
        const QStringList seen = view.since(mark);
        EXPECT_EQ(seen.mid(seen.size() - 2),
                  (QStringList{QStringLiteral("status: ") + texts::kClosedBeforeIdentified,
                               QStringLiteral("status: ") + texts::kWaitingForConnection}));
        EXPECT_TRUE(seen.filter("Welcome").isEmpty());
        EXPECT_TRUE(dialog->listenActive);
        serveWellBehavedTracker(dialog->listeningPort());  // the tracker calling next
        EXPECT_FALSE(dialog->listenActive);
    }
    {
        SCOPED_TRACE("a caller that shuts its write side after the image");
        outcomes.clear();
        std::optional<RawPeer> peer = RawPeer::connectTo(listen());
        ASSERT_TRUE(peer);
        ASSERT_TRUE(peer->sendAll(identificationOf(kImei)));
        ASSERT_TRUE(collect(*peer, image.size()));
        peer->shutdownWrite();
        ASSERT_TRUE(waitForOutcome());
        EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::Closed);
        EXPECT_EQ(view.status, QString::fromLatin1(texts::kClosedBeforeAnswer));
        EXPECT_EQ(waitForEnd(*peer), End::Closed);
        // Hanging up after the identification ends the run.
        EXPECT_FALSE(dialog->listenActive);
        EXPECT_EQ(view.verdict, Verdict::HungUp);
    }
    {
        SCOPED_TRACE("a stop while a connection waits to be accepted");
        outcomes.clear();
        const qsizetype mark = view.events.size();
        const uint16_t port = listen();
        // The kernel completes the connection; the event loop has not seen it yet.
        std::optional<RawPeer> pending = RawPeer::connectTo(port);
        ASSERT_TRUE(pending);
        ASSERT_TRUE(pending->sendAll(identificationOf(kImei)));
        stop();
        EXPECT_NE(waitForEnd(*pending), End::StillOpen);
        spin(200ms);
        EXPECT_TRUE(outcomes.empty());
        EXPECT_TRUE(view.since(mark).filter("Welcome").isEmpty());
        EXPECT_EQ(view.status, QString::fromLatin1(texts::kWaitingForConnection));
        EXPECT_FALSE(RawPeer::connectTo(port));
    }
    serveWellBehavedTracker();
    spin(100ms);
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_F(LinkFaultTest, AResetWhileTheImageGoesOutIsShownAndTheNextRunWorks) {
    image = largeImage();
    useOneFixedPort();
    serveWellBehavedTracker();
    const std::size_t descriptors = openDescriptors();
    enum class When { WithTheIdentification, DuringTheSend, WhileTheAnswerIsAwaited };
    struct Case {
        const char* name;
        When when;
    };
    for (const Case& c :
         {Case{"reset right after the identification", When::WithTheIdentification},
          Case{"reset while the image is half delivered", When::DuringTheSend},
          Case{"reset while the answer is awaited", When::WhileTheAnswerIsAwaited}}) {
        SCOPED_TRACE(c.name);
        outcomes.clear();
        const qsizetype mark = view.events.size();
        // A small window: most of the image waits on our side when the reset comes.
        std::optional<RawPeer> peer = connectAccepted(listen(), 2048);
        ASSERT_TRUE(peer);
        ASSERT_TRUE(peer->sendAll(identificationOf(kImei)));
        switch (c.when) {
            case When::WithTheIdentification:
                peer->reset();
                break;
            case When::DuringTheSend:
                view.duringPause = firstTimeOnly([&] {
                    EXPECT_FALSE(peer->receive(1000).empty());
                    peer->reset();
                    std::this_thread::sleep_for(50ms);  // like the window's pause: no event
                });
                break;
            case When::WhileTheAnswerIsAwaited:
                ASSERT_TRUE(waitUntil([&] { return view.status.startsWith("Catch"); }));
                EXPECT_FALSE(peer->receive(1000).empty());
                peer->reset();
                break;
        }
        // A reset that overtakes the identification makes a stray: the run waits on.
        const QString stray = QStringLiteral("status: ") + texts::kClosedBeforeIdentified;
        ASSERT_TRUE(waitUntil([&] {
            return !outcomes.empty() ||
                   (dialog->pendingCallerCount() == 0 && view.since(mark).contains(stray));
        }));
        view.duringPause = nullptr;
        const QStringList seen = view.since(mark);
        EXPECT_TRUE(seen.filter("Done").isEmpty());
        if (c.when != When::WhileTheAnswerIsAwaited) {
            EXPECT_TRUE(seen.filter("Catch the new config").isEmpty())
                << seen.join('\n').toStdString();
        }
        if (outcomes.empty()) {
            EXPECT_EQ(c.when, When::WithTheIdentification);
            stop();
        } else {
            EXPECT_NE(outcomes.front(), MainDialog::SessionOutcome::Answered);
            EXPECT_TRUE(isFailureText(view.status)) << view.status.toStdString();
            EXPECT_FALSE(dialog->listenActive);  // a hang-up ends the run
            EXPECT_EQ(view.verdict, Verdict::HungUp);
        }
    }
    serveWellBehavedTracker();
    spin(100ms);
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_F(LinkFaultTest, FiftyCallersAtOnceGetOneSessionAndLeaveNoDescriptorBehind) {
    serveWellBehavedTracker();
    spin(100ms);
    const std::size_t descriptors = openDescriptors();
    outcomes.clear();
    view.selected = QString::fromLatin1(kAnyCaller);  // 50 different IMEIs: any will do
    const uint16_t port = listen();

    enum class State { Connecting, Connected, Refused, Ended };
    struct Caller {
        int fd = -1;
        std::string imei;
        std::string received;
        State state = State::Connecting;
        bool answered = false;
    };
    std::vector<Caller> callers(50);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (std::size_t i = 0; i < callers.size(); ++i) {
        Caller& caller = callers[i];
        caller.imei = "3520940812345" + std::to_string(10 + i);
        caller.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(caller.fd, 0);
        const int rc =
            ::connect(caller.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ASSERT_TRUE(rc == 0 || errno == EINPROGRESS) << std::strerror(errno);
    }
    // Each caller identifies itself as soon as it is connected, answers the image, and
    // is done when it is refused or its connection ends. A connection attempt the full
    // backlog dropped is retried by the kernel and then refused.
    const auto step = [&](Caller& caller) {
        if (caller.state == State::Connecting) {
            pollfd p{caller.fd, POLLOUT, 0};
            if (::poll(&p, 1, 0) <= 0) return;
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(caller.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                caller.state = State::Refused;
                return;
            }
            const std::string id = identificationOf(caller.imei);
            if (::send(caller.fd, id.data(), id.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(id.size())) {
                caller.state = State::Ended;
                return;
            }
            caller.state = State::Connected;
        }
        if (caller.state != State::Connected) return;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(caller.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                caller.received.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            caller.state = State::Ended;
            return;
        }
        if (!caller.answered && caller.received.size() >= image.size()) {
            caller.answered = true;
            (void)::send(caller.fd, kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL);
        }
    };
    const bool allDone = waitUntil(
        [&] {
            bool done = true;
            for (Caller& caller : callers) {
                step(caller);
                done = done && (caller.state == State::Refused || caller.state == State::Ended);
            }
            return done;
        },
        30s);
    EXPECT_TRUE(allDone);

    std::size_t served = 0;
    std::size_t refused = 0;
    QString servedImei;
    for (const Caller& caller : callers) {
        if (!caller.received.empty()) {
            ++served;
            EXPECT_EQ(caller.received, image);
            EXPECT_TRUE(caller.answered);
            servedImei = QString::fromStdString(caller.imei);
        }
        if (caller.state == State::Refused) ++refused;
        ::close(caller.fd);
    }
    EXPECT_EQ(served, 1u);
    ::testing::Test::RecordProperty("refused", static_cast<int>(refused));
    EXPECT_FALSE(RawPeer::connectTo(port));  // nobody listens after the one accept
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(outcomes, std::vector{MainDialog::SessionOutcome::Answered});
    EXPECT_TRUE(view.events.contains("status: Welcome " + servedImei + "!"));
    EXPECT_EQ(view.status, "Done, received answer...000F (000F) Bytes");
    EXPECT_EQ(dialog->listeningPort(), 0);
    spin(100ms);
    EXPECT_EQ(openDescriptors(), descriptors);
}

// A press whose file dialog (or message box) is open runs a nested event loop: what an
// earlier, stopped run's tracker sends or does meanwhile is handled once the press is done.
TEST_F(LinkFaultTest, WhatACallerDoesDuringAnotherPressIsHandledAfterIt) {
    for (const bool answers : {true, false}) {
        SCOPED_TRACE(answers ? "the answer comes during the file dialog"
                             : "the tracker hangs up during the file dialog");
        outcomes.clear();
        std::optional<RawPeer> early = RawPeer::connectTo(listen());
        ASSERT_TRUE(early);
        ASSERT_TRUE(early->sendAll(identificationOf(kImei)));
        ASSERT_TRUE(collect(*early, image.size()));
        stop();  // the connection being served stays
        view.duringChoice = firstTimeOnly([&] {
            if (answers) {
                ASSERT_TRUE(early->sendAll(kAnswer));
            } else {
                early->shutdownWrite();
            }
            spin(300ms);
            EXPECT_TRUE(outcomes.empty());  // not inside the other press
        });
        listen();  // the next press: its file dialog is open meanwhile
        view.duringChoice = nullptr;
        ASSERT_TRUE(waitForOutcome(1, 5s)) << view.events.join('\n').toStdString();
        EXPECT_EQ(view.status, answers ? QStringLiteral("Done, received answer...000F (000F) Bytes")
                                       : QString::fromLatin1(texts::kClosedBeforeAnswer));
        EXPECT_TRUE(dialog->listenActive);  // the end belonged to the stopped run
        stop();
    }
}

}  // namespace
}  // namespace vela::test

namespace vela::test {
namespace {

// The single run's share of the flood harness: one address holds idle connections,
// another guesses IMEIs from its own thread; the tracker from a third is served at once,
// and the guesses end in one summary line instead of a line each.
TEST_F(LinkFaultTest, IdleConnectionsAndGuessedImeisFromOtherAddressesDoNotHoldTheTrackerUp) {
    {
        SCOPED_TRACE("an address guessing IMEIs is slowed and summed up");
        const uint16_t port = listen();
        std::atomic<bool> guessed{false};
        std::thread guesser([&] {
            for (int i = 0; i < 40; ++i) {
                if (auto peer = RawPeer::connectTo(port, 0, 5s, 0x7F000003)) {
                    peer->sendAll(identificationOf("99000000000" + std::to_string(1000 + i)));
                    peer->receive(1);  // until it is closed
                }
            }
            guessed = true;
        });
        EXPECT_TRUE(waitUntil([&] { return guessed.load(); }, 30s));
        guesser.join();
        stop();
        EXPECT_EQ(view.events.filter("status: Unexpected caller IMEI 99").size(), 5);
        const QStringList summaries = view.events.filter("127.0.0.3: ");
        ASSERT_EQ(summaries.size(), 2) << summaries.join('\n').toStdString();
        EXPECT_TRUE(QRegularExpression("^status: 127\\.0\\.0\\.3: 5 unknown IMEIs in \\d+ s, "
                                       "slowed$")
                        .match(summaries[0])
                        .hasMatch());
        // Every later guess was turned away unread (some may have given up connecting).
        const QRegularExpressionMatch later =
            QRegularExpression(" s, slowed \\((\\d+) calls turned away\\)$").match(summaries[1]);
        ASSERT_TRUE(later.hasMatch()) << summaries[1].toStdString();
        EXPECT_GE(later.captured(1).toInt(), 30);
    }
    const uint16_t port = listen();
    std::vector<RawPeer> held;
    std::atomic<bool> holding{false};
    std::thread holder([&] {
        for (int i = 0; i < 30; ++i) {
            if (auto peer = RawPeer::connectTo(port, 0, 5s, 0x7F000002)) {
                held.push_back(std::move(*peer));
            }
        }
        holding = true;
    });
    EXPECT_TRUE(waitUntil([&] { return holding.load(); }, 60s));
    holder.join();
    spin(200ms);
    // The tracker from its own thread: the event loop runs on while it connects.
    const auto started = std::chrono::steady_clock::now();
    std::atomic<bool> served{false};
    std::atomic<bool> done{false};
    std::thread tracker([&] {
        if (auto peer = RawPeer::connectTo(port, 0, 5s, 0x7F00000A)) {
            if (peer->sendAll(identificationOf(kImei)) &&
                peer->receive(image.size()).size() == image.size()) {
                served = std::chrono::steady_clock::now() - started < 2s;
                peer->sendAll(kAnswer);
            }
        }
        done = true;
    });
    EXPECT_TRUE(waitUntil([&] { return done.load() && !outcomes.empty(); }, 15s));
    tracker.join();
    EXPECT_TRUE(served);
    ASSERT_FALSE(outcomes.empty());
    EXPECT_EQ(outcomes.front(), MainDialog::SessionOutcome::Answered);
    held.clear();

    // One address's idle connections could not push the tracker's out either.
    EXPECT_TRUE(view.events.filter(QString::fromLatin1(texts::kCallerDropped)).isEmpty());
}

}  // namespace
}  // namespace vela::test
