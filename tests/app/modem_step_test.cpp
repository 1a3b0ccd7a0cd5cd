// The window during the modem dialogue: it keeps painting under the wait cursor, the
// dialogue's failure comes as the step's box with the modem's reason as details, and
// VELA_TRACE records the bytes.
#include "app/modem_step.h"
#include "gui/main_window.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QEvent>
#include <QTest>

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

}  // namespace
}  // namespace vela
