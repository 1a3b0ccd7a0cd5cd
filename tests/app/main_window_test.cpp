// The window on the offscreen platform: start-up, the sorted choice, the buttons.
#include "gui/main_window.h"
#include "app/main_dialog.h"
#include "gui/about_dialog.h"
#include "gui/history_window.h"
#include "gui/remembered_settings.h"
#include "layout_check.h"
#include "loopback_client.h"
#include "recording_view.h"
#include "storage/csv.h"
#include "storage/history_store.h"
#include "storage/tracker_store.h"
#include "storage/verdict.h"
#include "test_support.h"
#include "vela_version.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <map>
#include <thread>

namespace vela::test {
namespace {

class RecordingSink : public MessageSink {
public:
    QStringList messages;
    bool answer = false;  // to every question
    void ShowMessage(QWidget*, const QString& text, MessageIcon icon) override {
        messages << (icon == MessageIcon::Stop ? "error: " : "warning: ") + text;
    }
    bool AskYesNo(QWidget*, const QString& text, MessageIcon) override {
        messages << "question: " + text;
        return answer;
    }
};

std::vector<std::string> storedDescriptions(const std::filesystem::path& dir) {
    TrackerList list;
    EXPECT_TRUE(TrackerStore(dir).load(list).ok());
    std::vector<std::string> descriptions;
    for (const TrackerEntry& entry : list.entries()) descriptions.push_back(entry.description);
    return descriptions;
}

class MainWindowTest : public ::testing::Test {
protected:
    TempDir dir;
    RecordingSink sink;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainDialog> dialog;

    void open(const std::vector<std::string>& trackers) {
        dialog.reset();
        window.reset();
        RememberSettingsIn(QString::fromStdString((dir / "remembered.ini").string()));
        if (!trackers.empty()) {
            TrackerList list;
            for (const std::string& name : trackers) {
                TrackerEntry entry;
                entry.description = name;
                list.add(entry);
            }
            ASSERT_TRUE(TrackerStore(dir.path()).save(list).ok());
        }
        window = std::make_unique<MainWindow>(sink);
        dialog = std::make_unique<MainDialog>(*window, dir.path());
        dialog->setConfigReader([](const std::filesystem::path&, int, ConfigImage& image) {
            image.bytes[0] = 0;
            image.bytes[1] = 0x0F;
            image.length = 17;
            return Status::Ok();
        });
        window->setFileChooser([this](QWidget*) {
            return std::optional<QString>(QString::fromStdString((dir / "device.xml").string()));
        });
        window->Attach(*dialog);
        dialog->OnInitDialog();
        dialog->settings.localPort = 0;
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    template <typename T>
    T* child(const char* name) const {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
};

TEST_F(MainWindowTest, StartsWithTheSortedChoiceAndTheTemplateControls) {
    open({"b", "A", "c"});
    auto* choice = child<QComboBox>("trackerChoice");
    ASSERT_EQ(choice->count(), 3);
    EXPECT_EQ(choice->itemText(0), "A");
    EXPECT_EQ(choice->itemText(1), "b");
    EXPECT_EQ(choice->itemText(2), "c");
    EXPECT_EQ(choice->currentText(), "A");
    EXPECT_TRUE(sink.messages.isEmpty());

    EXPECT_EQ(window->windowTitle(), "Vela");
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(child<QLineEdit>("statusLine")->text(), "Idle...");
    EXPECT_TRUE(child<QLineEdit>("statusLine")->isReadOnly());
    EXPECT_TRUE(child<QLineEdit>("deviceLine")->text().isEmpty());
    EXPECT_TRUE(child<QLineEdit>("fileLine")->text().isEmpty());
    auto* bar = child<QProgressBar>("progressBar");
    EXPECT_FALSE(bar->isVisible());
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    const std::vector<std::pair<const char*, const char*>> buttons = {
        {"settingsButton", "Settings"}, {"letsGoButton", "Let's Go"},
        {"listenButton", "Listen"},     {"checkPortButton", "Check port"},
        {"exitButton", "Exit"},         {"editTrackersButton", "..."}};
    for (const auto& [name, caption] : buttons) {
        EXPECT_EQ(child<QPushButton>(name)->text(), caption);
        EXPECT_TRUE(child<QPushButton>(name)->isEnabled());
    }
    EXPECT_TRUE(child<QPushButton>("letsGoButton")->isDefault());
}

TEST_F(MainWindowTest, StartsWithoutADatabaseAfterTwoWarnings) {
    open({});
    EXPECT_EQ(sink.messages.size(), 2);
    EXPECT_EQ(sink.messages.filter("warning: ").size(), 2);
    EXPECT_EQ(child<QComboBox>("trackerChoice")->count(), 0);
    EXPECT_EQ(dialog->settings.externalPort, 16384);
    EXPECT_EQ(dialog->settings.modemPort, "COM3");
    // Nothing to choose: "Listen" does nothing.
    QTest::mouseClick(child<QPushButton>("listenButton"), Qt::LeftButton);
    EXPECT_FALSE(dialog->listenActive);
    EXPECT_EQ(child<QPushButton>("listenButton")->text(), "Listen");
}

TEST_F(MainWindowTest, AWaitingRunDisablesTheOtherRunButtonsUntilItStops) {
    open({"352094081234567"});
    auto* listen = child<QPushButton>("listenButton");
    auto* letsGo = child<QPushButton>("letsGoButton");
    auto* checkPort = child<QPushButton>("checkPortButton");
    QTest::mouseClick(listen, Qt::LeftButton);
    EXPECT_TRUE(dialog->listenActive);
    EXPECT_EQ(listen->text(), "Stop!!!");
    EXPECT_TRUE(listen->isEnabled());
    EXPECT_FALSE(letsGo->isEnabled());
    EXPECT_FALSE(checkPort->isEnabled());
    EXPECT_TRUE(child<QProgressBar>("progressBar")->isVisible());
    EXPECT_EQ(child<QProgressBar>("progressBar")->value(), 50);
    EXPECT_EQ(child<QLineEdit>("statusLine")->text(), "Waiting for incoming connection...");
    EXPECT_EQ(child<QLineEdit>("fileLine")->text(), "Configuration file: device.xml");

    QTest::mouseClick(listen, Qt::LeftButton);
    EXPECT_FALSE(dialog->listenActive);
    EXPECT_EQ(listen->text(), "Listen");
    EXPECT_TRUE(letsGo->isEnabled());
    EXPECT_TRUE(checkPort->isEnabled());
    EXPECT_FALSE(child<QProgressBar>("progressBar")->isVisible());
    EXPECT_EQ(child<QLineEdit>("statusLine")->text(), "Waiting for incoming connection...");
}

TEST_F(MainWindowTest, AWholeSessionEndsWithTheAnswerOnTheStatusLine) {
    open({"352094081234567"});
    dialog->setPauses({std::chrono::milliseconds(50), std::chrono::milliseconds(50),
                       std::chrono::milliseconds(50)});
    QTest::mouseClick(child<QPushButton>("listenButton"), Qt::LeftButton);
    LoopbackClient tracker;
    ASSERT_TRUE(tracker.connectTo(dialog->listeningPort()));
    tracker.send(identification("352094081234567"));
    ASSERT_TRUE(tracker.waitForBytes(17));
    tracker.send(QByteArray("\x01\x00\x0F", 3));
    auto* status = child<QLineEdit>("statusLine");
    ASSERT_TRUE(waitUntil([&] { return status->text().startsWith("Done"); }));
    EXPECT_EQ(status->text(), "Done, received answer...000F (000F) Bytes");
    EXPECT_EQ(child<QLineEdit>("deviceLine")->text(), "Device IMEI: 352094081234567");
    ASSERT_TRUE(waitUntil([&] { return !child<QProgressBar>("progressBar")->isVisible(); }));
    EXPECT_EQ(child<QPushButton>("listenButton")->text(), "Listen");
    // The answer gives "Let's Go" its rest caption though the run was a "Listen".
    EXPECT_EQ(child<QPushButton>("letsGoButton")->text(), "Let's Go!!!!");
    EXPECT_TRUE(child<QPushButton>("letsGoButton")->isEnabled());
}

// The verdict stands beside the status lines until the next run; the history window
// (Ctrl+H) shows the runs newest first, filters, copies and exports them.
TEST_F(MainWindowTest, TheVerdictIsShownAndTheHistoryWindowListsTheRuns) {
    open({"352094081234567"});
    dialog->setPauses({std::chrono::milliseconds(50), std::chrono::milliseconds(50),
                       std::chrono::milliseconds(50)});
    auto* verdictText = child<QLabel>("verdictText");
    auto* verdictIcon = child<QLabel>("verdictIcon");
    auto* listen = child<QPushButton>("listenButton");
    QTest::mouseClick(listen, Qt::LeftButton);
    QTest::mouseClick(listen, Qt::LeftButton);  // stopped: no call
    EXPECT_EQ(verdictText->text(), "No call: stopped by the operator");
    QTest::mouseClick(listen, Qt::LeftButton);
    EXPECT_TRUE(verdictText->text().isEmpty());  // a new run clears the last verdict
    LoopbackClient tracker;
    ASSERT_TRUE(tracker.connectTo(dialog->listeningPort()));
    tracker.send(identification("352094081234567"));
    ASSERT_TRUE(tracker.waitForBytes(17));
    tracker.send(QByteArray("\x01\x00\x0F", 3));
    ASSERT_TRUE(waitUntil([&] { return !verdictText->text().isEmpty(); }));
    EXPECT_EQ(verdictText->text(), "Configured: 15 of 15 bytes");
    EXPECT_FALSE(verdictIcon->pixmap().isNull());

    ASSERT_TRUE(window->actions().contains(window->historyAction()));
    EXPECT_EQ(window->historyAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_H));
    QTest::keyClick(window.get(), Qt::Key_H, Qt::ControlModifier);
    HistoryWindow* history = window->historyWindow();
    ASSERT_NE(history, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(history));
    auto* table = history->findChild<QTableView*>("historyTable");
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->model()->rowCount(), 2);
    // When, which tracker, what run, how it ended and why come first, in local time.
    QStringList headers;
    for (int column = 0; column < table->model()->columnCount(); ++column) {
        headers << table->model()->headerData(column, Qt::Horizontal).toString();
    }
    EXPECT_EQ(headers, (QStringList{"Started", "Tracker", "Kind", "Verdict", "Detail"}));
    const int verdictColumn = 13;  // of the full record, as copied and exported
    EXPECT_EQ(table->model()->index(0, HistoryModel::Verdict).data().toString(), "configured");
    EXPECT_EQ(table->model()->index(1, HistoryModel::Verdict).data().toString(), "no-call");
    EXPECT_NE(table->model()->index(0, HistoryModel::Verdict).data(Qt::ForegroundRole),
              table->model()->index(1, HistoryModel::Verdict).data(Qt::ForegroundRole));
    const HistoryRecord& newest = history->model().records().front();
    EXPECT_EQ(table->model()->index(0, HistoryModel::Started).data().toString(),
              QDateTime::fromString(QString::fromStdString(newest.startedAt), Qt::ISODate)
                  .toLocalTime()
                  .toString("yyyy-MM-dd HH:mm:ss"));
    // The technical fields of the current run in the details pane.
    table->setCurrentIndex(table->model()->index(0, 0));
    const QString details = history->findChild<QPlainTextEdit*>("historyDetails")->toPlainText();
    EXPECT_TRUE(details.contains("CallerImei: 352094081234567")) << details.toStdString();
    EXPECT_TRUE(details.contains("AnswerBytes: 15")) << details.toStdString();
    auto* trackerFilter = history->findChild<QLineEdit*>("trackerFilter");
    trackerFilter->setText("356307042441013");
    emit trackerFilter->editingFinished();
    EXPECT_EQ(table->model()->rowCount(), 0);
    trackerFilter->setText("352094081234567");
    emit trackerFilter->editingFinished();
    EXPECT_EQ(table->model()->rowCount(), 2);
    ASSERT_TRUE(QDir().mkpath(QString::fromUtf8(VELA_SCREENSHOT_DIR)));
    EXPECT_TRUE(history->grab().save(QString::fromUtf8(VELA_SCREENSHOT_DIR) +
                                     QStringLiteral("/history.png")));

    auto* filter = history->findChild<QComboBox*>("verdictFilter");
    filter->setCurrentIndex(filter->findText("no-call"));
    ASSERT_EQ(table->model()->rowCount(), 1);
    table->selectRow(0);
    history->CopySelection();
    const QStringList copied = QGuiApplication::clipboard()->text().split('\n');
    ASSERT_GE(copied.size(), 2);
    EXPECT_TRUE(copied[0].startsWith("ID\tStartedAt\t"));
    EXPECT_TRUE(copied[1].contains("\tno-call\tstopped by the operator\t"));

    filter->setCurrentIndex(0);
    const std::filesystem::path csv = dir / "history.csv";
    history->setSaveChooser(
        [&](QWidget*) { return std::optional<QString>(QString::fromStdString(csv.string())); });
    history->ExportCsv();
    struct stat info {};
    ASSERT_EQ(::stat(csv.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const Result<std::vector<CsvRecord>> records = parseCsv(readFile(csv));
    ASSERT_TRUE(records) << records.message();
    ASSERT_EQ(records.value().size(), 3u);
    EXPECT_EQ(records.value()[0].fields.size(), std::size(kHistoryColumns));
    EXPECT_EQ(records.value()[1].fields[verdictColumn], "configured");
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('\n').toStdString();
}

TEST_F(MainWindowTest, ScreenshotsIdleWaitingAndDone) {
    open({"352094081234567", "356307042441013"});
    test::CheckLayout(*window, QStringLiteral("main_window_idle.png"));
    dialog->setPauses({std::chrono::milliseconds(50), std::chrono::milliseconds(50),
                       std::chrono::milliseconds(50)});
    QTest::mouseClick(child<QPushButton>("listenButton"), Qt::LeftButton);
    test::CheckLayout(*window, QStringLiteral("main_window_waiting.png"));
    LoopbackClient tracker;
    ASSERT_TRUE(tracker.connectTo(dialog->listeningPort()));
    tracker.send(identification("352094081234567"));
    ASSERT_TRUE(tracker.waitForBytes(17));
    tracker.send(QByteArray("\x01\x00\x0F", 3));
    ASSERT_TRUE(waitUntil([&] { return !child<QProgressBar>("progressBar")->isVisible(); }));
    test::CheckLayout(*window, QStringLiteral("main_window_done.png"));
}

// The verdict line after each kind of run: the whole cause shows (wrapped, smaller if it
// must be), selectable, and every verdict has a title of its own.
TEST_F(MainWindowTest, EveryVerdictShowsItsOwnTitleAndTheWholeCause) {
    open({"352094081234567"});
    const std::map<Verdict, const char*> titles = {
        {Verdict::Configured, "Configured"},
        {Verdict::Rejected, "Rejected"},
        {Verdict::HungUp, "Hung up"},
        {Verdict::WrongCaller, "Wrong caller"},
        {Verdict::NoCall, "No call"},
        {Verdict::SmsFailed, "SMS failed"},
        {Verdict::FileRefused, "File refused"},
        {Verdict::ListenFailed, "Listening failed"},
        {Verdict::PortChecked, "Port checked"},
        {Verdict::PortCheckFailed, "Port check failed"},
        {Verdict::AnswerUnknown, "Answer unknown"},
    };
    auto* text = child<QLabel>("verdictText");
    for (const Verdict verdict : kAllVerdicts) {
        ASSERT_EQ(titles.count(verdict), 1u) << VerdictWord(verdict);
        window->ShowVerdict(verdict, {});
        EXPECT_EQ(text->text().toStdString(), titles.at(verdict)) << VerdictWord(verdict);
    }
    EXPECT_TRUE(text->textInteractionFlags() & Qt::TextSelectableByMouse);
    const struct {
        Verdict verdict;
        const char* detail;
        const char* screenshot;
    } shown[] = {
        {Verdict::Configured, "559 of 559 bytes", "main_window_configured.png"},
        {Verdict::Rejected, "0 of 559 bytes", "main_window_rejected.png"},
        {Verdict::WrongCaller,
         "356307042441013 called from 127.0.0.1:40522 instead of "
         "352094081234567",
         "main_window_wrong_caller.png"},
        {Verdict::SmsFailed,
         "Could not send SMS (the modem answered +CMS ERROR: 500 after "
         "the message was given)",
         "main_window_sms_failed.png"},
        {Verdict::FileRefused,
         "/home/operator/configurations/fleet-2026/very-long-folder-"
         "name/device-configuration.xml",
         "main_window_file_refused.png"},
    };
    for (const auto& run : shown) {
        SCOPED_TRACE(run.screenshot);
        window->ShowVerdict(run.verdict, QString::fromLatin1(run.detail));
        EXPECT_TRUE(text->text().endsWith(QString::fromLatin1(run.detail)));
        test::CheckLayout(*window, QString::fromLatin1(run.screenshot));  // nothing cut
    }
}

TEST_F(MainWindowTest, ReadOnlyLinesShowTheStartOfLongTextsWithTheWholeTextAsTooltip) {
    open({"A"});
    const QString longText =
        QStringLiteral("Configuration file: ") + QString(200, QLatin1Char('n'));
    for (const char* name : {"statusLine", "deviceLine", "fileLine"}) {
        SCOPED_TRACE(name);
        auto* line = child<QLineEdit>(name);
        if (std::string_view(name) == "statusLine") window->SetStatusText(longText);
        if (std::string_view(name) == "deviceLine") window->SetDeviceText(longText);
        if (std::string_view(name) == "fileLine") window->SetFileText(longText);
        EXPECT_EQ(line->text(), longText);
        EXPECT_EQ(line->cursorPosition(), 0);
        EXPECT_EQ(line->toolTip(), longText);
    }
}

TEST_F(MainWindowTest, ADescriptionThatIsNotUtf8IsShownReadablyAndRuns) {
    const std::string latin1 = "Lkw M\xFCller";
    open({latin1, "B"});
    auto* choice = child<QComboBox>("trackerChoice");
    ASSERT_EQ(choice->count(), 2);
    EXPECT_EQ(choice->itemText(1), QString::fromUtf8("Lkw Müller"));
    choice->setCurrentIndex(1);
    ASSERT_EQ(window->SelectedTracker(), latin1);
    QTest::mouseClick(child<QPushButton>("listenButton"), Qt::LeftButton);
    EXPECT_TRUE(dialog->listenActive);
    EXPECT_EQ(child<QLineEdit>("statusLine")->text(), "Waiting for incoming connection...");
}

// Stored trackers that could not be read at start-up are replaced only when the
// operator says so; a database that did not exist yet is simply written.
TEST_F(MainWindowTest, ClosingTheTrackerListKeepsStoredRowsThatWereUnreadUnlessConfirmed) {
    for (const bool confirm : {false, true}) {
        SCOPED_TRACE(confirm);
        sink.messages.clear();
        test::writeFile(dir / "settings.accdb", std::string(4096, 'x'));  // damaged
        open({});
        ASSERT_EQ(sink.messages.filter("warning: Cannot load the tracker list").size(), 1);
        // The damage is repaired meanwhile (or the lock released).
        std::filesystem::remove(dir / "settings.accdb");
        TrackerList stored;
        for (const char* description : {"kept1", "kept2"}) {
            TrackerEntry entry;
            entry.description = description;
            stored.add(entry);
        }
        ASSERT_TRUE(TrackerStore(dir.path()).save(stored).ok());

        sink.messages.clear();
        sink.answer = confirm;
        QTimer::singleShot(0, [] {
            if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        });
        dialog->OnEditTrackers();
        ASSERT_EQ(sink.messages.filter("question: ").size(), 1);
        if (confirm) {
            EXPECT_EQ(sink.messages.size(), 1);
            EXPECT_TRUE(storedDescriptions(dir.path()).empty());
        } else {
            EXPECT_EQ(sink.messages.last(),
                      "warning: The tracker list was not saved: the stored trackers could not "
                      "be read when Vela started and are kept as they are.");
            EXPECT_EQ(storedDescriptions(dir.path()), (std::vector<std::string>{"kept1", "kept2"}));
        }
    }
    // Without a database at start-up nothing is asked: the list is written.
    std::filesystem::remove(dir / "settings.accdb");
    sink.messages.clear();
    open({});
    sink.messages.clear();
    QTimer::singleShot(0, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });
    dialog->OnEditTrackers();
    EXPECT_TRUE(sink.messages.isEmpty());
    EXPECT_TRUE(std::filesystem::exists(dir / "settings.accdb"));
}

// Escape while a run waits closes the window as before, and the run keeps its record.
TEST_F(MainWindowTest, EscapeWhileARunWaitsRecordsItAsEndedByTheClosing) {
    open({"352094081234567"});
    QTest::mouseClick(child<QPushButton>("listenButton"), Qt::LeftButton);
    ASSERT_TRUE(dialog->listenActive);
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(dialog->listenActive);
    const auto history = HistoryStore(dir.path()).query(HistoryFilter{});
    ASSERT_TRUE(history) << history.message();
    ASSERT_EQ(history->size(), 1u);
    EXPECT_EQ(history->front().verdict, Verdict::NoCall);
    EXPECT_EQ(history->front().detail, "window closed");
}

TEST_F(MainWindowTest, EnterIsLetsGoAndEscapeCloses) {
    open({"A"});
    // No modem: the run ends at the SMS (the whole run is in the e2e tests).
    dialog->settings.modemPort = (dir / "no-modem").string();
    dialog->setPauses({std::chrono::milliseconds(50), std::chrono::milliseconds(50),
                       std::chrono::milliseconds(50)});
    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(sink.messages, QStringList{"error: Could not open selected port"});
    EXPECT_EQ(child<QLineEdit>("statusLine")->text(), "Idle...");
    EXPECT_EQ(child<QLineEdit>("fileLine")->text(), "Configuration file: device.xml");
    EXPECT_FALSE(child<QProgressBar>("progressBar")->isVisible());
    EXPECT_FALSE(dialog->goActive);
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Rejected);
}

TEST_F(MainWindowTest, APauseHandlesNoSocketNotification) {
    open({"A"});
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    ASSERT_TRUE(client.waitForConnected(5000));
    ASSERT_TRUE(server.waitForNewConnection(5000));
    QTcpSocket* accepted = server.nextPendingConnection();
    int notifications = 0;
    QObject::connect(accepted, &QTcpSocket::readyRead, [&] { ++notifications; });
    client.write("data");
    ASSERT_TRUE(client.waitForBytesWritten(5000));
    window->Pause(std::chrono::milliseconds(150));
    EXPECT_EQ(notifications, 0);
    EXPECT_TRUE(waitUntil([&] { return notifications > 0; }));
}

TEST_F(MainWindowTest, WaitingForTheModemHandlesEverythingButInputAndRefusesTheClose) {
    open({"A"});
    std::atomic<bool> finished{false};
    int timerEvents = 0;
    // Stands in for the desktop's "are you alive" check: any event that is not input.
    QTimer::singleShot(0, [&] { ++timerEvents; });
    QTimer::singleShot(0, [&] {
        QTest::keyClick(window.get(), Qt::Key_Escape);  // input: must wait
        window->close();                                // the close box: refused
    });
    std::thread modem([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        finished.store(true);
    });
    window->WaitWhilePainting([&] { return finished.load(); });
    modem.join();
    EXPECT_EQ(timerEvents, 1);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainWindowTest, TheAboutBoxIsOnTheContextMenuAndF1) {
    open({"A"});
    QAction* about = window->aboutAction();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->text(), "&About Vela...");
    EXPECT_EQ(about->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_TRUE(window->actions().contains(about));

    // The window's menu holds the four windows, each with its shortcut shown.
    const std::unique_ptr<QMenu> menu = window->BuildWindowMenu();
    QStringList entries;
    for (QAction* action : menu->actions()) {
        EXPECT_FALSE(action->shortcut().isEmpty()) << action->text().toStdString();
        EXPECT_TRUE(action->isShortcutVisibleInContextMenu()) << action->text().toStdString();
        entries << action->text();
    }
    EXPECT_EQ(entries,
              (QStringList{"&History...", "Campaign...", "&Tracker list...", "&About Vela..."}));
    int dialogs = 0;
    QTimer::singleShot(0, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            dialogs += modal->objectName() == QStringLiteral("trackerListDialog");
            modal->close();
        }
    });
    QTest::keyClick(window.get(), Qt::Key_T, Qt::ControlModifier);  // the tracker list
    EXPECT_EQ(dialogs, 1);

    AboutDialog box(window.get());
    EXPECT_EQ(box.windowTitle(), "About Vela");
    auto* version = box.findChild<QLabel*>("versionLabel");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QStringLiteral("Vela Version %1").arg(vela::kVersion));
}

}  // namespace
}  // namespace vela::test
