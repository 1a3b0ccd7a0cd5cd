// The campaign window driven like an operator would, running a small real campaign
// against `vela-sim fleet` on loopback.
#include "gui/campaign_window.h"
#include "app/main_dialog.h"
#include "gui/campaign_window_model.h"
#include "gui/history_window.h"
#include "gui/main_window.h"
#include "gui/outcome_bar.h"
#include "gui/remembered_settings.h"
#include "gui/settings_dialog.h"
#include "gui/tracker_list_dialog.h"
#include "postgres_server.h"
#include "recording_sink.h"
#include "storage/history_store.h"
#include "storage/pg/storage_choice.h"
#include "storage/program_settings.h"
#include "storage/settings_store.h"
#include "storage/tracker_csv.h"
#include "storage/tracker_store.h"
#include "test_support.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <sstream>

namespace vela {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::TempDir;

// A loopback port free right now, below the range the system hands out to outgoing
// connections (the callers' own ports must not take it before the engine binds it).
uint16_t FreeLoopbackPort() {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pick(20000, 32000);
    for (int tries = 0; tries < 100; ++tries) {
        const auto port = static_cast<uint16_t>(pick(random));
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) return port;
    }
    return 0;
}

class CampaignWindowTest : public ::testing::Test {
protected:
    // A fleet of four (one of which answers with a wrong length, unless `roles` says
    // otherwise) in the database of dir_ (or the shared one at `databaseUrl`), with the
    // settings pointing at a free loopback port, and the window open on it.
    void Open(std::vector<std::string> roles = {"--reject", "25"},
              std::optional<std::string> databaseUrl = {}) {
        const std::string csv = (dir_ / "fleet.csv").string();
        std::vector<std::string> argv = {test::toolPath("VELA_SIM"),
                                         "fleet",
                                         "--trackers",
                                         "4",
                                         "--modems",
                                         "2",
                                         "--seed",
                                         "3",
                                         "--delay",
                                         "0-300",
                                         "--lifetime",
                                         "120",
                                         "--csv",
                                         csv};
        argv.insert(argv.end(), roles.begin(), roles.end());
        fleet_ = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(fleet_->waitForOutput("modems: ", 10s)) << fleet_->errors();
        const std::string out = fleet_->output();
        const auto at = out.find("modems: ") + 8;
        std::istringstream paths(out.substr(at, out.find('\n', at) - at));
        paths >> firstModem_ >> secondModem_;

        auto entries = readTrackerCsv(test::readFile(csv));
        ASSERT_TRUE(entries.ok()) << entries.message();
        TrackerList list;
        for (const TrackerEntry& entry : entries.value()) list.add(entry);
        const std::unique_ptr<StorageEngine> store = OpenStorage(dir_.path(), databaseUrl);
        ASSERT_TRUE(store->saveTrackers(list).ok());
        ProgramSettings settings;
        settings.externalIp = 0x7F000001;
        settings.localPort = settings.externalPort = FreeLoopbackPort();
        settings.modemPort = firstModem_;
        ASSERT_TRUE(store->saveSettings(settings).ok());

        RememberSettingsIn(QString::fromStdString((dir_ / "window.ini").string()));
        window_ = std::make_unique<CampaignWindow>(dir_.path(), sink_, nullptr, databaseUrl);
        window_->show();
    }

    template <typename T>
    T* child(const char* name) const {
        QWidget* window = shown_ != nullptr ? shown_.data() : window_.get();
        auto* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    // The window as it is now, kept in the build's screenshots folder.
    void screenshot(const QString& file) const {
        ASSERT_TRUE(QDir().mkpath(QString::fromUtf8(VELA_SCREENSHOT_DIR)));
        EXPECT_TRUE(window_->grab().save(QString::fromUtf8(VELA_SCREENSHOT_DIR) + '/' + file));
    }
    void click(const char* name) const {
        QTest::mouseClick(child<QPushButton>(name), Qt::LeftButton);
    }
    std::string selection() const { return child<QLabel>("selectionCount")->text().toStdString(); }

    // Everything a campaign needs, all trackers chosen.
    void Prepare() {
        child<QLineEdit>("configFile")
            ->setText(QString::fromStdString(
                (test::sourceDir() / "examples/sample-config.xml").string()));
        child<QLineEdit>("modemPorts")
            ->setText(QString::fromStdString(firstModem_ + ", " + secondModem_));
        child<QSpinBox>("waitSeconds")->setValue(20);
        child<QSpinBox>("attempts")->setValue(1);
        click("selectAllButton");
    }

    TempDir dir_;
    std::unique_ptr<ChildProcess> fleet_;
    std::string firstModem_, secondModem_;
    test::RecordingSink sink_;
    std::unique_ptr<CampaignWindow> window_;
    QPointer<CampaignWindow> shown_;  // a window owned elsewhere, when set
};

TEST_F(CampaignWindowTest, SelectsByFilterRunsACampaignAndExportsTheReport) {
    Open();
    EXPECT_EQ(child<QLineEdit>("modemPorts")->text().toStdString(), firstModem_);
    EXPECT_EQ(selection(), "0 of 4 selected");
    auto* list = child<QListView>("trackerList");
    list->setFocus();
    list->setCurrentIndex(list->model()->index(1, 0));
    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_EQ(selection(), "1 of 4 selected");
    click("selectNoneButton");
    QTest::keyClicks(child<QLineEdit>("trackerFilter"), QStringLiteral("0002"));
    click("selectFoundButton");
    EXPECT_EQ(selection(), "1 of 4 selected");
    click("selectNoneButton");
    EXPECT_EQ(selection(), "0 of 4 selected");
    child<QLineEdit>("trackerFilter")->clear();
    Prepare();
    EXPECT_EQ(selection(), "4 of 4 selected");
    QSignalSpy finished(window_.get(), &CampaignWindow::campaignFinished);
    click("startButton");
    ASSERT_TRUE(window_->running())
        << (sink_.messages.empty() ? std::string() : sink_.messages.front().text.toStdString());
    EXPECT_FALSE(child<QPushButton>("startButton")->isEnabled());
    EXPECT_TRUE(child<QPushButton>("stopButton")->isEnabled());
    ASSERT_TRUE(finished.wait(60000)) << fleet_->output();
    ASSERT_TRUE(sink_.messages.empty()) << sink_.messages.front().text.toStdString();

    EXPECT_EQ(child<QLabel>("campaignCounts")->text().toStdString(),
              "3 configured, 1 failed, 4 trackers");
    EXPECT_EQ(child<QProgressBar>("campaignProgress")->value(), 4);
    const CampaignTableModel& table = window_->table();
    ASSERT_EQ(table.rowCount(), 4);
    int configured = 0;
    for (int row = 0; row < table.rowCount(); ++row) {
        const auto text = [&](int column) { return table.index(row, column).data().toString(); };
        if (text(CampaignTableModel::State) == QStringLiteral("configured")) {
            ++configured;
            EXPECT_EQ(text(CampaignTableModel::Attempts), QStringLiteral("1"));
            EXPECT_TRUE(text(CampaignTableModel::Caller).startsWith(QStringLiteral("127.0.0.1:")));
            EXPECT_FALSE(text(CampaignTableModel::Answer).isEmpty());
        } else {
            EXPECT_EQ(text(CampaignTableModel::State).toStdString(), "failed");
            EXPECT_FALSE(text(CampaignTableModel::Verdict).isEmpty());
        }
    }
    EXPECT_EQ(configured, 3);
    // Each outcome's record proves which file content the trackers were sent.
    const auto history = HistoryStore(dir_.path()).query(HistoryFilter{});
    ASSERT_TRUE(history) << history.message();
    ASSERT_EQ(history->size(), 4u);
    for (const HistoryRecord& record : history.value()) EXPECT_EQ(record.configSha256.size(), 64u);

    screenshot(QStringLiteral("campaign_window.png"));
    auto* rows = child<QTableView>("campaignTable");
    child<QCheckBox>("failedOnly")->setChecked(true);
    ASSERT_EQ(rows->model()->rowCount(), 1);
    EXPECT_EQ(rows->model()->index(0, CampaignTableModel::State).data().toString(),
              QStringLiteral("failed"));
    screenshot(QStringLiteral("campaign_window_failed_only.png"));
    child<QCheckBox>("failedOnly")->setChecked(false);
    EXPECT_EQ(rows->model()->rowCount(), 4);

    const std::string report = (dir_ / "report.csv").string();
    window_->setReportChooser([&](QWidget*) { return QString::fromStdString(report); });
    click("exportButton");
    const std::string csv = test::readFile(report);
    EXPECT_EQ(csv.rfind("Tracker,State,Attempts,Caller,Answer,Verdict,Elapsed,Last event\r\n", 0),
              0u);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 5);
    struct stat info {};
    ASSERT_EQ(::stat(report.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // "Retry failed": a new campaign of the one tracker that failed, run at once.
    auto* campaigns = child<QTableWidget>("campaignList");
    ASSERT_EQ(campaigns->rowCount(), 1);
    campaigns->selectRow(0);
    click("retryFailedButton");
    ASSERT_TRUE(window_->running());
    EXPECT_EQ(window_->table().total(), 1);
    ASSERT_TRUE(finished.wait(60000)) << fleet_->output();
    EXPECT_EQ(campaigns->rowCount(), 2);
    EXPECT_EQ(campaigns->item(0, 0)->text(), QStringLiteral("2"));
    EXPECT_EQ(campaigns->item(0, 5)->text(), QStringLiteral("1"));
}

// On a shared database the window finds the trackers there and keeps the campaign and
// its history there, nothing in the data directory.
TEST_F(CampaignWindowTest, RunsACampaignInTheSharedDatabase) {
    test::PostgresServer server;
    ASSERT_TRUE(server.running()) << server.failure();
    const std::string url = server.createDatabase();
    Open({}, url);
    Prepare();
    EXPECT_EQ(selection(), "4 of 4 selected");
    QSignalSpy finished(window_.get(), &CampaignWindow::campaignFinished);
    click("startButton");
    ASSERT_TRUE(window_->running());
    ASSERT_TRUE(finished.wait(60000)) << fleet_->output();
    EXPECT_EQ(child<QLabel>("campaignCounts")->text().toStdString(),
              "4 configured, 0 failed, 4 trackers");

    const auto rows = OpenCampaignStorage({}, url)->trackers(1);
    ASSERT_TRUE(rows) << rows.message();
    ASSERT_EQ(rows->size(), 4u);
    for (const CampaignTrackerRecord& row : rows.value()) {
        EXPECT_EQ(row.state, "configured") << row.tracker;
        EXPECT_FALSE(row.station.empty()) << row.tracker;
    }
    const auto history = OpenStorage({}, url)->queryHistory(HistoryFilter{});
    ASSERT_TRUE(history) << history.message();
    EXPECT_EQ(history->size(), 4u);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "settings.accdb"));
}

TEST_F(CampaignWindowTest, StopResumeAndEscapeWhileRunning) {
    Open({"--never-call", "100"});
    Prepare();
    QSignalSpy finished(window_.get(), &CampaignWindow::campaignFinished);
    const auto log = [&] { return child<QPlainTextEdit>("campaignLog")->toPlainText(); };
    click("startButton");
    ASSERT_TRUE(window_->running());
    ASSERT_TRUE(fleet_->waitForOutput("\nsms: ", 10s));
    QTest::qWait(200);  // the first SMS's row is shown
    screenshot(QStringLiteral("campaign_window_running.png"));
    click("stopButton");
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_TRUE(log().contains(QStringLiteral("stopped, can be resumed"))) << log().toStdString();
    ASSERT_TRUE(child<QPushButton>("resumeButton")->isEnabled());
    // Trackers no longer awaited say so.
    for (int row = 0; row < window_->table().rowCount(); ++row) {
        EXPECT_EQ(window_->table().index(row, CampaignTableModel::State).data().toString(),
                  QStringLiteral("stopped"));
    }

    click("resumeButton");
    EXPECT_TRUE(window_->running());
    EXPECT_FALSE(child<QPushButton>("resumeButton")->isEnabled());
    // Escape asks first; Cancel leaves the campaign running.
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    window_->close();
    ASSERT_EQ(sink_.questions.size(), 2u);
    EXPECT_EQ(sink_.questions[0].toStdString(),
              "Stop the campaign and close? [Stop and close / Cancel]");
    EXPECT_TRUE(window_->running());
    EXPECT_TRUE(window_->isVisible());
    sink_.proceed = true;
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    EXPECT_TRUE(window_->isVisible());  // until the engine has saved and stopped
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_FALSE(window_->running());
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(log().count(QStringLiteral("Campaign 1 stopped, can be resumed")), 2)
        << log().toStdString();
    EXPECT_EQ(window_->table().configured() + window_->table().failed(), 0);
}

// Reopened, the window shows the campaign it stopped, its setup and size as they were,
// and resumes it.
TEST_F(CampaignWindowTest, AReopenedWindowListsAndResumesTheStoppedCampaign) {
    Open({"--never-call", "100"});
    Prepare();
    QSignalSpy stopped(window_.get(), &CampaignWindow::campaignFinished);
    click("startButton");
    ASSERT_TRUE(window_->running());
    ASSERT_TRUE(fleet_->waitForOutput("\nsms: ", 10s));
    click("stopButton");
    ASSERT_TRUE(stopped.wait(20000));
    const QString file = child<QLineEdit>("configFile")->text();
    const QString modems = child<QLineEdit>("modemPorts")->text();

    const QSize size = window_->size() - QSize(0, 30);
    window_->resize(size);
    window_.reset();
    window_ = std::make_unique<CampaignWindow>(dir_.path(), sink_, nullptr);
    window_->show();
    EXPECT_EQ(window_->size(), size);
    EXPECT_EQ(child<QLineEdit>("configFile")->text(), file);
    EXPECT_EQ(child<QLineEdit>("modemPorts")->text(), modems);
    EXPECT_EQ(child<QSpinBox>("waitSeconds")->value(), 20);
    EXPECT_EQ(child<QSpinBox>("attempts")->value(), 1);
    EXPECT_FALSE(child<QPushButton>("resumeButton")->isEnabled());
    auto* list = child<QTableWidget>("campaignList");
    ASSERT_EQ(list->rowCount(), 1);
    EXPECT_EQ(list->item(0, 2)->text(), QStringLiteral("interrupted"));
    EXPECT_EQ(list->item(0, 5)->text(), QStringLiteral("4"));
    EXPECT_FALSE(child<QPushButton>("openCampaignButton")->isEnabled());
    list->selectRow(0);
    child<QTabWidget>("campaignTabs")->setCurrentIndex(1);
    screenshot(QStringLiteral("campaign_list.png"));
    click("openCampaignButton");
    EXPECT_EQ(window_->table().total(), 4);
    EXPECT_EQ(window_->table().index(0, CampaignTableModel::State).data().toString(),
              QStringLiteral("stopped"));
    ASSERT_TRUE(child<QPushButton>("resumeButton")->isEnabled());

    QSignalSpy finished(window_.get(), &CampaignWindow::campaignFinished);
    click("resumeButton");
    ASSERT_TRUE(window_->running());
    click("stopButton");
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_TRUE(child<QPlainTextEdit>("campaignLog")
                    ->toPlainText()
                    .contains(QStringLiteral("Campaign 1 stopped, can be resumed")));
}

// A tracker whose description is not an IMEI cannot be chosen, and says why.
TEST_F(CampaignWindowTest, TrackersACampaignWouldRefuseAreGreyedWithTheReason) {
    Open();
    TrackerList list;
    TrackerListStamp stamp = 0;
    const std::unique_ptr<StorageEngine> store = OpenStorage(dir_.path(), {});
    ASSERT_TRUE(store->loadTrackers(list, stamp).ok());
    TrackerEntry truck = list.at(0);
    truck.description = "Truck 7";
    list.add(truck);
    ASSERT_TRUE(store->saveTrackers(list).ok());
    window_->LoadTrackers();
    click("selectAllButton");
    EXPECT_EQ(selection(), "4 of 5 selected");
    const QAbstractItemModel* model = child<QListView>("trackerList")->model();
    const QModelIndexList found =
        model->match(model->index(0, 0), Qt::DisplayRole, QStringLiteral("Truck 7"));
    ASSERT_EQ(found.size(), 1);
    EXPECT_FALSE(model->flags(found[0]) & Qt::ItemIsEnabled);
    EXPECT_TRUE(found[0].data(Qt::ToolTipRole).toString().contains(QStringLiteral("IMEI")));
}

TEST_F(CampaignWindowTest, ARefusedStartShowsTheReasonAndSendsNothing) {
    Open();
    click("startButton");  // no tracker chosen, no file
    EXPECT_FALSE(window_->running());
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].icon, MessageIcon::Stop);
    EXPECT_TRUE(child<QPushButton>("startButton")->isEnabled());
    EXPECT_EQ(fleet_->output().find("sms: "), std::string::npos);
}

TEST_F(CampaignWindowTest, MainWindowOpensItFromItsContextMenuActionAndCtrlK) {
    Open();
    MainWindow main(sink_);
    MainDialog dialog(main, dir_.path());
    main.Attach(dialog);
    QAction* action = main.campaignAction();
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->text(), QStringLiteral("Campaign..."));
    EXPECT_EQ(action->shortcut(), QKeySequence(QStringLiteral("Ctrl+K")));
    main.show();
    action->trigger();
    auto* opened = main.findChild<CampaignWindow*>();
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(opened->isVisible());
    action->trigger();  // a second time raises the same window
    EXPECT_EQ(main.findChildren<CampaignWindow*>().size(), 1);
}

// Escape in the main window while its campaign window runs a campaign asks first; once
// agreed, the campaign stops (resumable) and then both windows go.
TEST_F(CampaignWindowTest, ClosingTheMainWindowAsksBeforeStoppingTheCampaign) {
    Open({"--never-call", "100"});
    window_.reset();
    MainWindow main(sink_);
    MainDialog dialog(main, dir_.path());
    main.Attach(dialog);
    main.show();
    main.campaignAction()->trigger();
    shown_ = main.campaignWindow();
    ASSERT_NE(shown_, nullptr);
    QSignalSpy finished(shown_.data(), &CampaignWindow::campaignFinished);
    Prepare();
    click("startButton");
    ASSERT_TRUE(shown_->running());
    ASSERT_TRUE(fleet_->waitForOutput("\nsms: ", 10s));

    QTest::keyClick(&main, Qt::Key_Escape);
    EXPECT_EQ(sink_.questions.size(), 1u);
    EXPECT_TRUE(main.isVisible());
    EXPECT_TRUE(shown_->running());
    sink_.proceed = true;
    main.close();
    EXPECT_EQ(sink_.questions.size(), 2u);
    EXPECT_TRUE(main.isVisible());  // until the campaign has stopped
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_FALSE(main.isVisible());
    const auto stored = OpenCampaignStorage(dir_.path(), {})->campaign(1);
    ASSERT_TRUE(stored) << stored.message();
    EXPECT_EQ(stored->state, "interrupted");
}

// Run with a screen of 1280x800, and of 1024x600 logical at scale factor 2 (see the
// CMakeLists): every window opens within the screen's free part and can be made no
// larger than it needs; the campaign window's screenshot is kept for each.
TEST_F(CampaignWindowTest, EveryWindowFitsTheScreen) {
    if (qEnvironmentVariableIsEmpty("VELA_SCREEN_CHECK")) GTEST_SKIP() << "the default screen";
    Open();
    QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRect free = screen->availableGeometry();
    const QString scale = QString::number(window_->devicePixelRatioF());
    MainWindow main(sink_);
    HistoryWindow history(dir_.path(), sink_);
    TrackerList trackers;
    TrackerListDialog trackerDialog(trackers, sink_);
    ProgramSettings settings;
    SerialPort port;
    SettingsDialog settingsDialog(settings, port, sink_);
    for (QWidget* window : std::initializer_list<QWidget*>{window_.get(), &main, &history,
                                                           &trackerDialog, &settingsDialog}) {
        SCOPED_TRACE(window->objectName().toStdString() + " at scale " + scale.toStdString());
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        EXPECT_LE(window->frameGeometry().width(), free.width());
        EXPECT_LE(window->frameGeometry().height(), free.height());
        const QSize least = window->minimumSizeHint().expandedTo(window->minimumSize());
        EXPECT_LE(least.width(), free.width());
        EXPECT_LE(least.height(), free.height());
    }
    screenshot(QStringLiteral("campaign_window_%1x%2_scale%3.png")
                   .arg(free.width())
                   .arg(free.height())
                   .arg(scale));
}

// `vela --campaign` (the menu entry's command) opens the campaign window on its own.
TEST_F(CampaignWindowTest, VelaCampaignOpensTheWindowAlone) {
    Open();
    const test::RunResult run = test::runProgram(
        {"/usr/bin/env", "VELA_EXIT_WHEN_SHOWN=1", test::toolPath("VELA_BIN"), "--campaign"}, 30s,
        dir_.path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("vela: campaign window\nvela: shown after ", 0), 0u) << run.out;
}

// The counts follow each tracker's latest state, so a tracker that fails and is then
// configured (a resumed campaign) is counted once, as configured.
TEST(CampaignTableModelTest, CountsFollowTheLatestStateOfEachTracker) {
    using State = CampaignTrackerState;
    struct Step {
        const char* tracker;
        CampaignEvent event;
        State state;
        int configured, failed, rows;
    };
    const Step steps[] = {
        {"A", CampaignEvent::SmsSent, State::Waiting, 0, 0, 2},
        {"A", CampaignEvent::NoCall, State::Failed, 0, 1, 2},
        {"B", CampaignEvent::Configured, State::Configured, 1, 1, 2},
        {"A", CampaignEvent::Retry, State::Pending, 1, 0, 2},
        {"A", CampaignEvent::Configured, State::Configured, 2, 0, 2},
        {"C", CampaignEvent::Rejected, State::Failed, 2, 1, 3},  // not chosen: a row of its own
    };
    CampaignTableModel model;
    model.reset({"A", "B"});
    for (const Step& step : steps) {
        CampaignTrackerUpdate update;
        update.description = step.tracker;
        update.event = step.event;
        update.state = step.state;
        update.attempts = 1;
        model.apply(update);
        EXPECT_EQ(model.configured(), step.configured) << step.tracker;
        EXPECT_EQ(model.failed(), step.failed) << step.tracker;
        EXPECT_EQ(model.rowCount(), step.rows) << step.tracker;
    }
    EXPECT_EQ(model.index(0, CampaignTableModel::LastEvent).data().toString().toStdString(),
              "configured");
    // A failure reads as one without its colour too: an icon beside the state.
    const QModelIndex failedState = model.index(2, CampaignTableModel::State);
    EXPECT_FALSE(failedState.data(Qt::DecorationRole).isNull());
    EXPECT_NE(failedState.data(Qt::BackgroundRole), model.index(0, 1).data(Qt::BackgroundRole));
    EXPECT_TRUE(model.index(0, CampaignTableModel::State).data(Qt::DecorationRole).isValid());
    const std::string csv = model.reportCsv();
    EXPECT_NE(csv.find("\r\nC,failed,1,,,,0.0 s,rejected\r\n"), std::string::npos) << csv;
}

// Byte counts in one form: decimal in the table, the tracker's own hex in the tooltip.
TEST(CampaignTableModelTest, AnswersReadInDecimalWithTheHexAsTooltip) {
    CampaignTableModel model;
    model.reset({"A"});
    CampaignTrackerUpdate update;
    update.description = "A";
    update.event = CampaignEvent::Rejected;
    update.state = CampaignTrackerState::Failed;
    update.answer = "0230 (022F) Bytes";
    model.apply(update);
    const QModelIndex answer = model.index(0, CampaignTableModel::Answer);
    EXPECT_EQ(answer.data().toString(), QStringLiteral("560 of 559 bytes"));
    EXPECT_EQ(answer.data(Qt::ToolTipRole).toString(), QStringLiteral("0230 (022F) Bytes"));
    EXPECT_EQ(CampaignTableModel::DecimalAnswer("00FF (0100) Bytes"),
              QStringLiteral("255 of 256 bytes"));
    EXPECT_EQ(CampaignTableModel::DecimalAnswer("short"), QStringLiteral("short"));
}

// The bar keeps configured and failed apart; the end of a campaign is told only to an
// operator looking at another window.
TEST(OutcomeBarTest, CountsApartAndNoticesOnlyInTheBackground) {
    OutcomeBar bar;
    bar.setCounts(0, 4, 4);
    EXPECT_EQ(bar.value(), 4);
    EXPECT_EQ(bar.text(), QStringLiteral("0 configured, 4 failed of 4"));
    bar.show();
    bar.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&bar));
    const QImage shot = bar.grab().toImage();
    const QColor left = shot.pixelColor(3, shot.height() / 2);
    EXPECT_GT(left.red(), 150) << "every tracker failed: the bar is red, not a full blue";
    EXPECT_LT(left.green(), 100);
    EXPECT_FALSE(NotifyInBackground(&bar, QStringLiteral("Vela"), QStringLiteral("ended")));
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    EXPECT_TRUE(NotifyInBackground(&bar, QStringLiteral("Vela"), QStringLiteral("ended")));
}

}  // namespace
}  // namespace vela
