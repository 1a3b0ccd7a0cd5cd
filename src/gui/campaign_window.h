#pragma once

#include "campaign/campaign_engine.h"
#include "gui/message_sink.h"
#include "gui/off_thread_task.h"

#include <QDialog>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

class QCloseEvent;
class QLabel;
class QLineEdit;
class QListView;
class QPlainTextEdit;
class QCheckBox;
class QTabWidget;
class QTableWidget;
class QPushButton;
class QSortFilterProxyModel;
class QSpinBox;
class QStandardItemModel;
class QTableView;

namespace vela {

class CampaignTableModel;
class OutcomeBar;

// The campaign window: choose trackers, a configuration file and modems, run the
// campaign and watch every tracker in a live table. The engine runs on a thread of its
// own; its reports come back to the window's thread through queued calls.
class CampaignWindow : public QDialog {
    Q_OBJECT
public:
    // Picks a file: the configuration to send, or where to save the report.
    using FileChooser = std::function<std::optional<QString>(QWidget* parent)>;

    // Settings, trackers and campaigns in settings.accdb of `dataDirectory`, or in the
    // shared PostgreSQL database at `databaseUrl`.
    CampaignWindow(std::filesystem::path dataDirectory, MessageSink& messages,
                   QWidget* parent = nullptr, std::optional<std::string> databaseUrl = {});
    ~CampaignWindow() override;

    void setConfigChooser(FileChooser chooser) { configChooser_ = std::move(chooser); }
    void setReportChooser(FileChooser chooser) { reportChooser_ = std::move(chooser); }
    // Only tests shorten the engine's bounds.
    void setLimits(const CampaignLimits& limits) { limits_ = limits; }

    bool running() const { return worker_.active(); }
    const CampaignTableModel& table() const { return *table_; }

    // Reloads the tracker list from the database, keeping the checks that still apply.
    // Trackers a campaign would refuse are greyed out, the reason as their tooltip.
    void LoadTrackers();
    // Reloads the list of the campaigns kept in the database.
    void LoadCampaigns();

    // How many times the end of a campaign was told to an operator looking elsewhere.
    int backgroundNotices() const { return backgroundNotices_; }

signals:
    // The campaign ended (all done, some failed, stopped, or refused at its start).
    void campaignFinished();

public slots:
    // Escape and the close box: while a campaign runs, the operator is asked whether to
    // stop it and close; the window goes once the engine is done.
    void reject() override;
    // Stops the running campaign and closes the window once the engine is done.
    void StopAndClose();
    // "Stop the campaign and close?" with Stop and close / Cancel; true for the former.
    static bool ConfirmStopAndClose(QWidget* parent, MessageSink& messages);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class Bridge;

    void BuildControls();
    void SetChecks(bool checked, bool onlyShown);
    std::vector<std::string> CheckedTrackers() const;
    void UpdateSelectionCount();
    void UpdateProgress();
    void SetRunning(bool running);
    void Log(const QString& text);

    void OnBrowse();
    void OnStart();
    void OnResume();
    void StartWorker(int64_t id);
    void OnStop();
    void OnExport();
    void OnOpenCampaign();
    void OnRetryFailed();
    // The campaign of the list's current row, when there is one.
    std::optional<CampaignRecord> SelectedCampaign() const;
    void ShowCampaign(int64_t id);
    void RememberSetup() const;
    void RestoreSetup();
    void OnTrackerChanged(const CampaignTrackerUpdate& update);
    void OnFinished(const Result<CampaignSummary>& result);

    std::filesystem::path dataDirectory_;
    std::shared_ptr<const StorageEngine> store_;
    std::shared_ptr<const CampaignStorage> campaigns_;
    MessageSink& messages_;
    FileChooser configChooser_;
    FileChooser reportChooser_;
    std::optional<CampaignLimits> limits_;

    QStandardItemModel* trackers_ = nullptr;
    QSortFilterProxyModel* shownTrackers_ = nullptr;
    QLineEdit* filter_ = nullptr;
    QListView* trackerList_ = nullptr;
    QLabel* selectionCount_ = nullptr;
    QLineEdit* configFile_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QLineEdit* modemPorts_ = nullptr;
    QSpinBox* wait_ = nullptr;
    QSpinBox* attempts_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QPushButton* stopButton_ = nullptr;
    QPushButton* resumeButton_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    OutcomeBar* progress_ = nullptr;
    QCheckBox* failedOnly_ = nullptr;
    QSortFilterProxyModel* shownRows_ = nullptr;
    QLabel* counts_ = nullptr;
    QTableView* tableView_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QTableWidget* campaignList_ = nullptr;
    QPushButton* openCampaignButton_ = nullptr;
    QPushButton* retryButton_ = nullptr;
    std::vector<CampaignRecord> listed_;
    QPlainTextEdit* log_ = nullptr;
    QList<QWidget*> setupControls_;

    CampaignTableModel* table_ = nullptr;
    std::unique_ptr<Bridge> bridge_;
    std::unique_ptr<CampaignEngine> engine_;
    // Last of the members the engine's run uses: it is joined before they go.
    OffThreadTask worker_;
    int64_t currentId_ = 0;
    std::optional<int64_t> resumable_;  // the campaign this window stopped
    bool closeWhenStopped_ = false;
    int backgroundNotices_ = 0;
};

}  // namespace vela
