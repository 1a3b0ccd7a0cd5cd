// The window during the modem dialogue: it keeps painting under the wait cursor, the
// dialogue's failure comes as the step's box with the modem's reason as details, and
// VELA_TRACE records the bytes.
#include "app/modem_step.h"
#include "app/main_dialog.h"
#include "gui/main_window.h"
#include "storage/history_store.h"
#include "storage/tracker_store.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <pty.h>
#include <unistd.h>
#include <cstdlib>

namespace vela {
namespace {

using namespace std::chrono_literals;

class RecordingSink : public MessageSink {
public:
    QStringList messages;
    void ShowMessage(QWidget*, const QString& text, MessageIcon) override { messages << text; }
    void ShowMessageWithDetails(QWidget*, const QString& text, MessageIcon,
                                const QString& details) override {
        messages << text + " | " + details;
    }
};

// Counts the window's paints and notes whether each came under the wait cursor.
class PaintCounter : public QObject {
public:
    int paints = 0;
    int paintsUnderWaitCursor = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
            const QCursor* cursor = QApplication::overrideCursor();
            if (cursor != nullptr && cursor->shape() == Qt::WaitCursor) ++paintsUnderWaitCursor;
        }
        return false;
    }
};

TEST(ModemStep, TheWindowKeepsPaintingWhileTheModemIsSilent) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);  // nobody answers
    RecordingSink sink;
    MainWindow window(sink);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    PaintCounter counter;
    window.installEventFilter(&counter);
    SerialPort port;
    // The window's trace, asked for through the environment.
    test::TempDir dir;
    ASSERT_EQ(setenv("VELA_TRACE", (dir / "trace").c_str(), 1), 0);

    const bool sent = SendPushSmsKeepingWindowPainted(window, port, name, "0011", {600ms, 600ms});
    EXPECT_FALSE(sent);
    // Painted all along (a dialogue on the UI thread would paint at most once).
    EXPECT_GE(counter.paintsUnderWaitCursor, 5) << counter.paints;
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(sink.messages,
              QStringList{"Modem was not found, 1st command | no reply within 600 ms"});
    EXPECT_NE(test::readFile(dir / "trace").find(" > ATQ0\\r\\n\n"), std::string::npos);
    window.removeEventFilter(&counter);
    close(slave);
    close(master);
}

// "Stop!!!" while the modem does not answer: the dialogue ends within a second, no box,
// nothing more goes to the modem, and the run is recorded as stopped by the operator.
TEST(ModemStep, StopDuringTheModemStepEndsTheRunAtOnce) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);  // nobody answers
    test::TempDir dir;
    TrackerEntry tracker;
    tracker.description = "352094081234567";
    tracker.phone = "37060000000";
    tracker.apn = "internet";
    TrackerList list;
    list.add(tracker);
    ASSERT_TRUE(TrackerStore(dir.path()).save(list).ok());
    RecordingSink sink;
    MainWindow window(sink);
    MainDialog dialog(window, dir.path());
    dialog.setConfigReader([](const std::filesystem::path&, int, ConfigImage& image) {
        image.bytes[0] = 0;
        image.bytes[1] = 0x0F;
        image.length = 17;
        return Status::Ok();
    });
    window.setFileChooser(
        [&](QWidget*) { return QString::fromStdString((dir / "a.xml").string()); });
    window.Attach(dialog);
    dialog.OnInitDialog();
    dialog.settings.localPort = 0;
    dialog.settings.externalIp = 0x7F000001;
    dialog.settings.modemPort = name;
    dialog.setPauses({0ms, 0ms, 0ms, 1000ms});
    window.show();
    auto* go = window.findChild<QPushButton*>(QStringLiteral("letsGoButton"));
    auto* listen = window.findChild<QPushButton*>(QStringLiteral("listenButton"));
    ASSERT_NE(go, nullptr);

    QElapsedTimer clock;
    qint64 clickedAt = -1;
    QTimer::singleShot(400ms, &window, [&] {
        EXPECT_EQ(go->text(), QStringLiteral("Stop!!!"));
        EXPECT_TRUE(go->isEnabled());
        EXPECT_FALSE(listen->isEnabled());
        clickedAt = clock.elapsed();
        QTest::mouseClick(go, Qt::LeftButton);
        EXPECT_FALSE(go->isEnabled());  // the stop is under way
    });
    clock.start();
    dialog.OnLetsGo();
    ASSERT_GE(clickedAt, 0);
    EXPECT_LT(clock.elapsed() - clickedAt, 1000);
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('|').toStdString();
    EXPECT_EQ(go->text(), QStringLiteral("Let's Go!!!!"));
    EXPECT_TRUE(go->isEnabled());
    EXPECT_TRUE(listen->isEnabled());
    EXPECT_FALSE(dialog.goActive);
    const auto history = HistoryStore(dir.path()).query(HistoryFilter{});
    ASSERT_TRUE(history) << history.message();
    ASSERT_EQ(history->size(), 1u);
    EXPECT_EQ(history->front().verdict, Verdict::SmsFailed);
    EXPECT_EQ(history->front().detail, "stopped by the operator");
    // Only the first command reached the silent modem (and the ESC of the cancel at most).
    char written[256] = {};
    const ssize_t got = ::read(master, written, sizeof written - 1);
    EXPECT_EQ(std::string(written, got > 0 ? static_cast<size_t>(got) : 0u).find("AT+"),
              std::string::npos)
        << written;
    close(slave);
    close(master);
}

}  // namespace
}  // namespace vela
