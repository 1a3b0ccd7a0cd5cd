// The window on the offscreen platform against the simulators: Enter starts "Let's Go",
// `vela-sim modem --deliver` wakes `vela-sim tracker`, and the window shows its answer.
#include "app/main_dialog.h"
#include "go_fixture.h"
#include "gui/main_window.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

namespace vela::test {
namespace {

using namespace std::chrono_literals;

class RecordingSink : public MessageSink {
public:
    QStringList messages;
    void ShowMessage(QWidget*, const QString& text, MessageIcon icon) override {
        messages << (icon == MessageIcon::Stop ? "error: " : "warning: ") + text;
    }
};

class GoWindowTest : public GoFixture {
protected:
    RecordingSink sink;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainDialog> dialog;
    int fileChoices = 0;

    // The window as the program builds it, in the prepared directory, with the file
    // dialog replaced by the sample file.
    void openWindow() {
        window = std::make_unique<MainWindow>(sink);
        dialog = std::make_unique<MainDialog>(*window, dir.path());
        window->setFileChooser([this](QWidget*) {
            ++fileChoices;
            return std::optional<QString>(QString::fromStdString(xmlPath));
        });
        window->Attach(*dialog);
        dialog->OnInitDialog();
        // The window binds a port of the system's choice and tells it in the SMS: a port
        // picked here and released could be taken by another program meanwhile.
        dialog->settings.localPort = 0;
        dialog->settings.externalPort = 0;
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    template <typename T>
    T* child(const char* name) const {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString status() const { return child<QLineEdit>("statusLine")->text(); }
};

TEST_F(GoWindowTest, EnterConfiguresTheTrackerThroughTheSimulators) {
    startModem(true, {"--expect-xml", xmlPath});
    openWindow();
    auto* letsGo = child<QPushButton>("letsGoButton");
    ASSERT_TRUE(letsGo->isDefault());

    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_EQ(fileChoices, 1);
    EXPECT_TRUE(dialog->goActive) << sink.messages.join('\n').toStdString();
    EXPECT_EQ(letsGo->text(), "Stop!!!");
    EXPECT_EQ(status(), "Waiting for incoming connection...");
    EXPECT_EQ(child<QProgressBar>("progressBar")->value(), 50);
    EXPECT_FALSE(child<QPushButton>("listenButton")->isEnabled());

    ASSERT_TRUE(QTest::qWaitFor([&] { return status().startsWith("Done"); }, 30000))
        << status().toStdString() << "\n"
        << modem->output();
    EXPECT_TRUE(status().startsWith("Done, received answer...")) << status().toStdString();
    EXPECT_EQ(child<QLineEdit>("deviceLine")->text(),
              QStringLiteral("Device IMEI: ") + QString::fromLatin1(kGoImei));
    EXPECT_EQ(child<QLineEdit>("fileLine")->text(), "Configuration file: device.xml");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->goActive; }, 10000));
    EXPECT_FALSE(child<QProgressBar>("progressBar")->isVisible());
    EXPECT_EQ(letsGo->text(), "Let's Go!!!!");
    EXPECT_TRUE(child<QPushButton>("listenButton")->isEnabled());
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('\n').toStdString();
    ASSERT_TRUE(modem->waitForOutput("exited with status", 10s)) << modem->output();
    EXPECT_NE(modem->output().find("tracker: image matches"), std::string::npos) << modem->output();
}

TEST_F(GoWindowTest, EnterAgainStopsAWaitingRun) {
    startModem(false);  // accepts the SMS, wakes no one
    openWindow();
    auto* letsGo = child<QPushButton>("letsGoButton");
    QTest::keyClick(window.get(), Qt::Key_Return);
    ASSERT_TRUE(dialog->goActive) << sink.messages.join('\n').toStdString();
    EXPECT_EQ(letsGo->text(), "Stop!!!");

    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_FALSE(dialog->goActive);
    EXPECT_EQ(fileChoices, 1);  // a stop asks for no file
    EXPECT_EQ(letsGo->text(), "Let's Go!!!!");
    EXPECT_EQ(status(), "Waiting for incoming connection...");
    EXPECT_FALSE(child<QProgressBar>("progressBar")->isVisible());
    EXPECT_EQ(dialog->listeningPort(), 0);
    EXPECT_TRUE(sink.messages.isEmpty());
}

}  // namespace
}  // namespace vela::test
