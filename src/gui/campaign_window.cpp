#include "gui/campaign_window.h"

#include "app/config_digest.h"
#include "campaign/campaign_retry.h"
#include "common/file_access.h"
#include "gui/campaign_window_model.h"
#include "gui/outcome_bar.h"
#include "gui/remembered_settings.h"
#include "gui/screen_fit.h"
#include "modem/push_message.h"
#include "storage/campaign_store.h"
#include "storage/pg/storage_choice.h"
#include "storage/program_settings.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QSplitter>
#include <QStandardItemModel>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimeZone>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

namespace vela {

// Hands the engine's reports, made on its thread, to the window's thread. A queued call
// to a window that is gone is dropped by Qt.
class CampaignWindow::Bridge : public CampaignObserver {
public:
    explicit Bridge(CampaignWindow* window) : window_(window) {}

    void CampaignStarted(int64_t id, int trackerCount) override {
        Post([id, trackerCount](CampaignWindow* w) {
            w->Log(QStringLiteral("Campaign %1: %2 trackers").arg(id).arg(trackerCount));
        });
    }
    void TrackerChanged(const CampaignTrackerUpdate& update) override {
        Post([update](CampaignWindow* w) { w->OnTrackerChanged(update); });
    }
    void CallerRefused(const std::string& imei, const std::string& address) override {
        Post([imei, address](CampaignWindow* w) {
            w->Log(QStringLiteral("Refused caller %1 from %2")
                       .arg(QString::fromStdString(imei), QString::fromStdString(address)));
        });
    }
    void Warning(const std::string& text) override {
        Post([text](CampaignWindow* w) { w->Log(QString::fromStdString(text)); });
    }

    template <typename F>
    void Post(F&& action) {
        CampaignWindow* window = window_;
        QMetaObject::invokeMethod(
            window, [window, action = std::forward<F>(action)] { action(window); },
            Qt::QueuedConnection);
    }

private:
    CampaignWindow* window_;
};

namespace {

QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

// Fifteen digits: a campaign tells its trackers apart by the IMEI they call with.
bool IsImei(const std::string& text) {
    return text.size() == 15 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Why a campaign would refuse this tracker; empty when it would take it.
QString RefusalReason(const TrackerEntry& entry, const ProgramSettings& settings) {
    if (!IsImei(entry.description)) {
        return QStringLiteral(
            "Not in a campaign: the description is not a 15-digit IMEI, so "
            "its call could not be told apart");
    }
    if (Result<std::string> pdu = BuildPushMessage(entry, settings); !pdu) {
        return QStringLiteral("Not in a campaign: no wake-up SMS can be made (%1)")
            .arg(QString::fromStdString(pdu.message()));
    }
    return {};
}

// A stored UTC time ("YYYY-MM-DD HH:MM:SS") in the operator's local time.
QString LocalTime(const std::string& stored) {
    QDateTime time = QDateTime::fromString(QString::fromStdString(stored).left(19),
                                           QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!time.isValid()) {
        time = QDateTime::fromString(QString::fromStdString(stored).left(19), Qt::ISODate);
    }
    if (!time.isValid()) return QString::fromStdString(stored);
    time.setTimeZone(QTimeZone::utc());
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

// Ports separated by commas or blanks.
std::vector<std::string> SplitPorts(const QString& text) {
    std::vector<std::string> ports;
    for (const QString& port :
         text.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
        ports.push_back(port.toStdString());
    }
    return ports;
}

}  // namespace

CampaignWindow::CampaignWindow(std::filesystem::path dataDirectory, MessageSink& messages,
                               QWidget* parent, std::optional<std::string> databaseUrl)
    : QDialog(parent),
      dataDirectory_(std::move(dataDirectory)),
      store_(OpenStorage(dataDirectory_, databaseUrl)),
      campaigns_(OpenCampaignStorage(dataDirectory_, databaseUrl)),
      messages_(messages),
      table_(new CampaignTableModel(this)),
      bridge_(std::make_unique<Bridge>(this)) {
    setObjectName(QStringLiteral("campaignWindow"));
    setWindowTitle(QStringLiteral("Vela - Campaign"));
    setSizeGripEnabled(true);
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    configChooser_ = [this](QWidget* owner) -> std::optional<QString> {
        // Opens where the chosen file is (the last one, remembered across starts).
        const QString folder = configFile_->text().isEmpty()
                                   ? QString()
                                   : QFileInfo(configFile_->text()).absolutePath();
        const QString file =
            QFileDialog::getOpenFileName(owner, QStringLiteral("Configuration file"), folder,
                                         QStringLiteral("XML files (*.xml);;All files (*)"));
        if (file.isEmpty()) return std::nullopt;
        return file;
    };
    reportChooser_ = [](QWidget* owner) -> std::optional<QString> {
        const QString file = QFileDialog::getSaveFileName(
            owner, QStringLiteral("Export report"), QStringLiteral("campaign.csv"),
            QStringLiteral("CSV files (*.csv);;All files (*)"));
        if (file.isEmpty()) return std::nullopt;
        return file;
    };
    BuildControls();
    LoadTrackers();
    ProgramSettings settings;
    if (store_->loadSettings(settings)) {
        modemPorts_->setText(QString::fromStdString(settings.modemPort));
    }
    RestoreSetup();
    LoadCampaigns();
    SetRunning(false);
    UpdateProgress();
}

CampaignWindow::~CampaignWindow() {
    RememberWindowSize(*this);
    // One request is enough: the engine honours a stop asked for before its run began.
    if (worker_.active()) engine_->RequestStop();
    worker_.join();
}

void CampaignWindow::BuildControls() {
    // Left: the trackers to configure.
    auto* trackerBox = new QGroupBox(QStringLiteral("&Trackers"), this);
    filter_ = new QLineEdit(trackerBox);
    filter_->setObjectName(QStringLiteral("trackerFilter"));
    filter_->setPlaceholderText(QStringLiteral("Search"));
    filter_->setClearButtonEnabled(true);
    trackers_ = new QStandardItemModel(this);
    shownTrackers_ = new QSortFilterProxyModel(this);
    shownTrackers_->setSourceModel(trackers_);
    shownTrackers_->setFilterCaseSensitivity(Qt::CaseInsensitive);
    trackerList_ = new QListView(trackerBox);
    trackerList_->setObjectName(QStringLiteral("trackerList"));
    trackerList_->setModel(shownTrackers_);
    trackerList_->setUniformItemSizes(true);
    auto* selectAll = Button(QStringLiteral("Select &all"), "selectAllButton", trackerBox);
    auto* selectNone = Button(QStringLiteral("Select &none"), "selectNoneButton", trackerBox);
    auto* selectFound = Button(QStringLiteral("Select &found"), "selectFoundButton", trackerBox);
    selectionCount_ = new QLabel(trackerBox);
    selectionCount_->setObjectName(QStringLiteral("selectionCount"));
    auto* selectRow = new QHBoxLayout;
    selectRow->addWidget(selectAll);
    selectRow->addWidget(selectNone);
    selectRow->addWidget(selectFound);
    auto* trackerLayout = new QVBoxLayout(trackerBox);
    trackerLayout->addWidget(filter_);
    trackerLayout->addWidget(trackerList_, 1);
    trackerLayout->addLayout(selectRow);
    trackerLayout->addWidget(selectionCount_);
    connect(filter_, &QLineEdit::textChanged, shownTrackers_,
            &QSortFilterProxyModel::setFilterFixedString);
    connect(selectAll, &QPushButton::clicked, this, [this] { SetChecks(true, false); });
    connect(selectNone, &QPushButton::clicked, this, [this] { SetChecks(false, false); });
    connect(selectFound, &QPushButton::clicked, this, [this] { SetChecks(true, true); });
    connect(trackers_, &QStandardItemModel::itemChanged, this,
            &CampaignWindow::UpdateSelectionCount);

    // Right, top: what to send and through which modems.
    auto* setupBox = new QGroupBox(QStringLiteral("Campaign"), this);
    configFile_ = new QLineEdit(setupBox);
    configFile_->setObjectName(QStringLiteral("configFile"));
    browseButton_ = Button(QStringLiteral("&Browse..."), "browseButton", setupBox);
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(configFile_, 1);
    fileRow->addWidget(browseButton_);
    modemPorts_ = new QLineEdit(setupBox);
    modemPorts_->setObjectName(QStringLiteral("modemPorts"));
    modemPorts_->setToolTip(QStringLiteral("One or more modem ports, separated by commas"));
    wait_ = new QSpinBox(setupBox);
    wait_->setObjectName(QStringLiteral("waitSeconds"));
    wait_->setRange(1, 86400);
    wait_->setValue(300);
    wait_->setSuffix(QStringLiteral(" s"));
    attempts_ = new QSpinBox(setupBox);
    attempts_->setObjectName(QStringLiteral("attempts"));
    attempts_->setRange(1, 20);
    attempts_->setValue(2);
    auto* form = new QFormLayout(setupBox);
    auto* fileLabel = new QLabel(QStringLiteral("Configuration &file:"), setupBox);
    fileLabel->setBuddy(configFile_);
    form->addRow(fileLabel, fileRow);
    form->addRow(QStringLiteral("&Modem ports:"), modemPorts_);
    form->addRow(QStringLiteral("&Wait for call:"), wait_);
    form->addRow(QStringLiteral("Atte&mpts:"), attempts_);
    connect(browseButton_, &QPushButton::clicked, this, &CampaignWindow::OnBrowse);

    startButton_ = Button(QStringLiteral("&Start"), "startButton", this);
    stopButton_ = Button(QStringLiteral("St&op"), "stopButton", this);
    resumeButton_ = Button(QStringLiteral("&Resume"), "resumeButton", this);
    resumeButton_->setToolTip(QStringLiteral("Go on with the campaign stopped here"));
    exportButton_ = Button(QStringLiteral("&Export report..."), "exportButton", this);
    closeButton_ = Button(QStringLiteral("&Close"), "closeButton", this);
    connect(startButton_, &QPushButton::clicked, this, &CampaignWindow::OnStart);
    connect(stopButton_, &QPushButton::clicked, this, &CampaignWindow::OnStop);
    connect(resumeButton_, &QPushButton::clicked, this, &CampaignWindow::OnResume);
    connect(exportButton_, &QPushButton::clicked, this, &CampaignWindow::OnExport);
    connect(closeButton_, &QPushButton::clicked, this, &QDialog::close);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(startButton_);
    buttonRow->addWidget(stopButton_);
    buttonRow->addWidget(resumeButton_);
    buttonRow->addStretch(1);
    buttonRow->addWidget(exportButton_);
    buttonRow->addWidget(closeButton_);

    // Right, below: the live table and the overall progress.
    progress_ = new OutcomeBar(this);
    progress_->setObjectName(QStringLiteral("campaignProgress"));
    counts_ = new QLabel(this);
    counts_->setObjectName(QStringLiteral("campaignCounts"));
    failedOnly_ = new QCheckBox(QStringLiteral("&Failed only"), this);
    failedOnly_->setObjectName(QStringLiteral("failedOnly"));
    shownRows_ = new QSortFilterProxyModel(this);
    shownRows_->setSourceModel(table_);
    shownRows_->setFilterKeyColumn(CampaignTableModel::State);
    connect(failedOnly_, &QCheckBox::toggled, this, [this](bool only) {
        shownRows_->setFilterRegularExpression(only ? QStringLiteral("^failed$") : QString());
    });
    tableView_ = new QTableView(this);
    tableView_->setObjectName(QStringLiteral("campaignTable"));
    tableView_->setModel(shownRows_);
    tableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableView_->setAlternatingRowColors(true);
    tableView_->horizontalHeader()->setStretchLastSection(true);
    // Widths for the usual contents, set once: measuring thousands of rows would not pay.
    const char* samples[CampaignTableModel::Count] = {
        "000000000000000",      "configured",     "Attempts",  "127.000.000.000:00000",
        "00000 of 00000 bytes", "answer-unknown", "00000.0 s", "configured"};
    const int icon = style()->pixelMetric(QStyle::PM_SmallIconSize) + 6;  // the state's
    for (int column = 0; column < CampaignTableModel::Count; ++column) {
        tableView_->setColumnWidth(
            column, fontMetrics().horizontalAdvance(QString::fromLatin1(samples[column])) + 16 +
                        (column == CampaignTableModel::State ? icon : 0));
    }
    tableView_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    log_ = new QPlainTextEdit(this);
    log_->setObjectName(QStringLiteral("campaignLog"));
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(2000);
    log_->setFixedHeight(fontMetrics().height() * 4 + 10);

    auto* right = new QWidget(this);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->addWidget(setupBox);
    rightLayout->addLayout(buttonRow);
    auto* progressRow = new QHBoxLayout;
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(counts_);
    progressRow->addWidget(failedOnly_);
    rightLayout->addLayout(progressRow);
    // The live table, and beside it the campaigns kept in the database.
    auto* campaignsPage = new QWidget(this);
    campaignList_ = new QTableWidget(0, 7, campaignsPage);
    campaignList_->setObjectName(QStringLiteral("campaignList"));
    campaignList_->setHorizontalHeaderLabels({QStringLiteral("ID"), QStringLiteral("Created"),
                                              QStringLiteral("State"), QStringLiteral("Configured"),
                                              QStringLiteral("Failed"), QStringLiteral("Trackers"),
                                              QStringLiteral("Configuration")});
    campaignList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    campaignList_->setSelectionMode(QAbstractItemView::SingleSelection);
    campaignList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    campaignList_->verticalHeader()->hide();
    campaignList_->horizontalHeader()->setStretchLastSection(true);
    openCampaignButton_ = Button(QStringLiteral("&Open"), "openCampaignButton", campaignsPage);
    openCampaignButton_->setToolTip(
        QStringLiteral("Show the campaign's trackers; an interrupted one can then be resumed"));
    retryButton_ = Button(QStringLiteral("Retry &failed"), "retryFailedButton", campaignsPage);
    retryButton_->setToolTip(QStringLiteral(
        "A new campaign of the trackers not configured, with the same file and options"));
    auto* refresh = Button(QStringLiteral("Re&fresh"), "refreshCampaignsButton", campaignsPage);
    auto* campaignButtons = new QHBoxLayout;
    campaignButtons->addWidget(openCampaignButton_);
    campaignButtons->addWidget(retryButton_);
    campaignButtons->addStretch(1);
    campaignButtons->addWidget(refresh);
    auto* campaignsLayout = new QVBoxLayout(campaignsPage);
    campaignsLayout->addWidget(campaignList_, 1);
    campaignsLayout->addLayout(campaignButtons);
    connect(openCampaignButton_, &QPushButton::clicked, this, &CampaignWindow::OnOpenCampaign);
    connect(campaignList_, &QTableWidget::cellDoubleClicked, this, [this] { OnOpenCampaign(); });
    connect(retryButton_, &QPushButton::clicked, this, &CampaignWindow::OnRetryFailed);
    connect(refresh, &QPushButton::clicked, this, &CampaignWindow::LoadCampaigns);
    connect(campaignList_, &QTableWidget::itemSelectionChanged, this,
            [this] { SetRunning(running()); });
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("campaignTabs"));
    tabs_->addTab(tableView_, QStringLiteral("&Progress"));
    tabs_->addTab(campaignsPage, QStringLiteral("C&ampaigns"));
    rightLayout->addWidget(tabs_, 1);
    rightLayout->addWidget(log_);

    auto* splitter = new QSplitter(this);
    splitter->addWidget(trackerBox);
    splitter->addWidget(right);
    splitter->setStretchFactor(1, 3);
    splitter->setChildrenCollapsible(false);
    const int character = fontMetrics().averageCharWidth();
    splitter->setSizes({character * 30, character * 140});
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(splitter);

    setupControls_ = {trackerBox, setupBox};
    resize(character * 175, fontMetrics().height() * 36);
    RestoreWindowSize(*this);
    FitToScreen(*this);
}

void CampaignWindow::LoadTrackers() {
    std::set<QString> checked;
    for (const std::string& description : CheckedTrackers()) {
        checked.insert(QString::fromStdString(description));
    }
    TrackerList list;
    TrackerListStamp stamp;
    if (auto loaded = store_->loadTrackers(list, stamp); !loaded) {
        messages_.ShowMessage(this, QString::fromStdString(loaded.message()),
                              MessageIcon::Exclamation);
    }
    ProgramSettings settings;
    (void)store_->loadSettings(settings);  // the defaults tell as much when there are none
    QList<QStandardItem*> items;
    for (const TrackerEntry& entry : list.entries()) {
        const QString description = QString::fromStdString(entry.description);
        auto* item = new QStandardItem(description);
        item->setCheckable(true);
        item->setEditable(false);
        const QString refusal = RefusalReason(entry, settings);
        if (refusal.isEmpty()) {
            item->setCheckState(checked.count(description) ? Qt::Checked : Qt::Unchecked);
            item->setToolTip(QString::fromStdString(entry.phone));
        } else {
            item->setEnabled(false);
            item->setCheckState(Qt::Unchecked);
            item->setToolTip(refusal);
        }
        items.append(item);
    }
    // One insertion for the whole list, however long it is.
    trackers_->clear();
    if (!items.isEmpty()) trackers_->appendColumn(items);
    UpdateSelectionCount();
}

void CampaignWindow::SetChecks(bool checked, bool onlyShown) {
    {
        const QSignalBlocker quiet(trackers_);
        for (int row = 0; row < trackers_->rowCount(); ++row) {
            QStandardItem* item = trackers_->item(row);
            const bool shown = shownTrackers_->mapFromSource(item->index()).isValid();
            if ((onlyShown && !shown) || !item->isEnabled()) continue;
            item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
        }
    }
    // One notice for the whole change instead of one per item.
    if (trackers_->rowCount() > 0) {
        emit trackers_->dataChanged(trackers_->index(0, 0),
                                    trackers_->index(trackers_->rowCount() - 1, 0));
    }
    UpdateSelectionCount();
}

std::vector<std::string> CampaignWindow::CheckedTrackers() const {
    std::vector<std::string> checked;
    for (int row = 0; row < trackers_->rowCount(); ++row) {
        const QStandardItem* item = trackers_->item(row);
        if (item->checkState() == Qt::Checked) checked.push_back(item->text().toStdString());
    }
    return checked;
}

void CampaignWindow::UpdateSelectionCount() {
    selectionCount_->setText(QStringLiteral("%1 of %2 selected")
                                 .arg(CheckedTrackers().size())
                                 .arg(trackers_->rowCount()));
}

void CampaignWindow::UpdateProgress() {
    const int total = table_->total();
    progress_->setCounts(table_->configured(), table_->failed(), total);
    counts_->setText(QStringLiteral("%1 configured, %2 failed, %3 trackers")
                         .arg(table_->configured())
                         .arg(table_->failed())
                         .arg(total));
}

void CampaignWindow::SetRunning(bool running) {
    for (QWidget* control : setupControls_) control->setEnabled(!running);
    startButton_->setEnabled(!running);
    stopButton_->setEnabled(running);
    resumeButton_->setEnabled(!running && resumable_.has_value());
    exportButton_->setEnabled(!running && table_->total() > 0);
    const std::optional<CampaignRecord> selected = SelectedCampaign();
    openCampaignButton_->setEnabled(!running && selected.has_value());
    retryButton_->setEnabled(!running && selected.has_value() && selected->failed > 0 &&
                             selected->state != kCampaignRunning);
}

void CampaignWindow::Log(const QString& text) {
    log_->appendPlainText(text);
}

void CampaignWindow::OnBrowse() {
    if (const auto file = configChooser_(this)) configFile_->setText(*file);
}

void CampaignWindow::OnStart() {
    if (running()) return;
    CampaignRequest request;
    request.configFile = configFile_->text().toStdString();
    request.configSha256 = ConfigFileSha256(request.configFile);
    request.trackers = CheckedTrackers();
    request.modemPorts = SplitPorts(modemPorts_->text());
    request.wait = std::chrono::seconds(wait_->value());
    request.attempts = attempts_->value();

    engine_ = std::make_unique<CampaignEngine>(store_, campaigns_, bridge_.get());
    if (limits_) engine_->setLimits(*limits_);
    const Result<int64_t> created = engine_->Create(request);
    if (!created) {
        engine_.reset();
        messages_.ShowMessage(this, QString::fromStdString(created.message()), MessageIcon::Stop);
        emit campaignFinished();
        return;
    }
    RememberSetup();
    table_->reset(request.trackers);
    UpdateProgress();
    log_->clear();
    StartWorker(created.value());
    LoadCampaigns();
}

void CampaignWindow::OnResume() {
    if (running() || !resumable_) return;
    engine_ = std::make_unique<CampaignEngine>(store_, campaigns_, bridge_.get());
    if (limits_) engine_->setLimits(*limits_);
    StartWorker(*resumable_);
}

void CampaignWindow::StartWorker(int64_t id) {
    resumable_.reset();
    table_->setStopped(false);
    currentId_ = id;
    worker_.start<Result<CampaignSummary>>(
        this, [engine = engine_.get(), id] { return engine->Run(id); },
        [this](const Result<CampaignSummary>& result) { OnFinished(result); });
    SetRunning(true);
}

void CampaignWindow::OnStop() {
    if (!running()) return;
    stopButton_->setEnabled(false);
    Log(QStringLiteral("Stopping: no new SMS; calls in progress are finished."));
    engine_->RequestStop();
}

void CampaignWindow::OnTrackerChanged(const CampaignTrackerUpdate& update) {
    table_->apply(update);
    UpdateProgress();
}

void CampaignWindow::OnFinished(const Result<CampaignSummary>& result) {
    worker_.join();
    engine_.reset();
    UpdateProgress();
    if (!result) {
        resumable_ = currentId_;  // nothing was lost: the campaign stays as it was saved
        Log(QString::fromStdString(result.message()));
        messages_.ShowMessage(this, QString::fromStdString(result.message()), MessageIcon::Stop);
    } else {
        const CampaignSummary& summary = result.value();
        const bool interrupted = summary.end == CampaignEnd::Interrupted;
        if (interrupted) resumable_ = summary.id;
        table_->setStopped(interrupted);
        const QString how =
            interrupted ? QStringLiteral("stopped, can be resumed") : QStringLiteral("finished");
        Log(QStringLiteral("Campaign %1 %2: %3 configured, %4 failed, %5 trackers")
                .arg(summary.id)
                .arg(how)
                .arg(summary.configured)
                .arg(summary.failed)
                .arg(summary.total));
    }
    LoadCampaigns();
    SetRunning(false);
    if (NotifyInBackground(this, QStringLiteral("Vela - Campaign"),
                           counts_->text().isEmpty()
                               ? QStringLiteral("The campaign ended")
                               : QStringLiteral("Campaign ended: ") + counts_->text())) {
        ++backgroundNotices_;
    }
    emit campaignFinished();
    if (closeWhenStopped_) close();
}

void CampaignWindow::RememberSetup() const {
    const std::unique_ptr<QSettings> remembered = RememberedSettings();
    remembered->setValue(QStringLiteral("campaign/configFile"), configFile_->text());
    remembered->setValue(QStringLiteral("campaign/modemPorts"), modemPorts_->text());
    remembered->setValue(QStringLiteral("campaign/waitSeconds"), wait_->value());
    remembered->setValue(QStringLiteral("campaign/attempts"), attempts_->value());
}

void CampaignWindow::RestoreSetup() {
    const std::unique_ptr<QSettings> remembered = RememberedSettings();
    const auto restore = [&](const char* key, const auto& apply) {
        const QVariant value = remembered->value(QString::fromLatin1(key));
        if (value.isValid()) apply(value);
    };
    restore("campaign/configFile",
            [this](const QVariant& v) { configFile_->setText(v.toString()); });
    restore("campaign/modemPorts",
            [this](const QVariant& v) { modemPorts_->setText(v.toString()); });
    restore("campaign/waitSeconds", [this](const QVariant& v) { wait_->setValue(v.toInt()); });
    restore("campaign/attempts", [this](const QVariant& v) { attempts_->setValue(v.toInt()); });
}

void CampaignWindow::LoadCampaigns() {
    const std::optional<CampaignRecord> selected = SelectedCampaign();
    Result<std::vector<CampaignRecord>> listed = campaigns_->list();
    if (!listed) {
        Log(QString::fromStdString(listed.message()));
        return;
    }
    listed_ = std::move(listed).value();
    std::sort(listed_.begin(), listed_.end(),
              [](const CampaignRecord& a, const CampaignRecord& b) { return a.id > b.id; });
    const QSignalBlocker quiet(campaignList_);
    campaignList_->setRowCount(static_cast<int>(listed_.size()));
    for (int row = 0; row < static_cast<int>(listed_.size()); ++row) {
        const CampaignRecord& campaign = listed_[static_cast<std::size_t>(row)];
        const QStringList cells = {QString::number(campaign.id),
                                   LocalTime(campaign.createdAt),
                                   QString::fromStdString(campaign.state),
                                   QString::number(campaign.configured),
                                   QString::number(campaign.failed),
                                   QString::number(campaign.total),
                                   QString::fromStdString(campaign.configFile)};
        for (int column = 0; column < cells.size(); ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            if (column == 6) item->setToolTip(cells[column]);
            if (column == 4 && campaign.failed > 0) item->setForeground(QColor(0x8b, 0, 0));
            campaignList_->setItem(row, column, item);
        }
        if (selected && selected->id == campaign.id) campaignList_->selectRow(row);
    }
    campaignList_->resizeColumnsToContents();
    SetRunning(running());
}

std::optional<CampaignRecord> CampaignWindow::SelectedCampaign() const {
    if (campaignList_ == nullptr) return std::nullopt;
    const int row = campaignList_->currentRow();
    const QList<QTableWidgetItem*> selected = campaignList_->selectedItems();
    if (row < 0 || selected.isEmpty() || row >= static_cast<int>(listed_.size())) {
        return std::nullopt;
    }
    return listed_[static_cast<std::size_t>(row)];
}

void CampaignWindow::ShowCampaign(int64_t id) {
    Result<std::vector<CampaignTrackerRecord>> rows = campaigns_->trackers(id);
    if (!rows) {
        messages_.ShowMessage(this, QString::fromStdString(rows.message()), MessageIcon::Stop);
        return;
    }
    table_->load(rows.value());
    currentId_ = id;
    UpdateProgress();
    tabs_->setCurrentIndex(0);
}

void CampaignWindow::OnOpenCampaign() {
    const std::optional<CampaignRecord> campaign = SelectedCampaign();
    if (running() || !campaign) return;
    ShowCampaign(campaign->id);
    // Not finished: the engine goes on from where it was saved (a campaign another
    // station still runs is shared with it).
    if (campaign->state != kCampaignFinished) {
        resumable_ = campaign->id;
        table_->setStopped(true);
    } else {
        resumable_.reset();
    }
    Log(QStringLiteral("Campaign %1 (%2): %3")
            .arg(campaign->id)
            .arg(QString::fromStdString(campaign->state),
                 QString::fromStdString(campaign->configFile)));
    SetRunning(false);
}

void CampaignWindow::OnRetryFailed() {
    const std::optional<CampaignRecord> campaign = SelectedCampaign();
    if (running() || !campaign) return;
    const Result<int64_t> created = CreateRetryCampaign(*campaigns_, campaign->id);
    if (!created) {
        messages_.ShowMessage(this, QString::fromStdString(created.message()), MessageIcon::Stop);
        return;
    }
    ShowCampaign(created.value());
    log_->clear();
    Log(QStringLiteral("Campaign %1 retries the trackers campaign %2 did not configure")
            .arg(created.value())
            .arg(campaign->id));
    engine_ = std::make_unique<CampaignEngine>(store_, campaigns_, bridge_.get());
    if (limits_) engine_->setLimits(*limits_);
    StartWorker(created.value());
    LoadCampaigns();
}

void CampaignWindow::OnExport() {
    const auto path = reportChooser_(this);
    if (!path) return;
    const Status written = WritePrivateFile(path->toStdString(), table_->reportCsv());
    if (!written) {
        messages_.ShowMessageWithDetails(this, QStringLiteral("Could not write the report"),
                                         MessageIcon::Stop,
                                         QString::fromStdString(written.message()));
        return;
    }
    Log(QStringLiteral("Report saved to %1").arg(*path));
}

void CampaignWindow::StopAndClose() {
    if (!running()) {
        QDialog::reject();
        return;
    }
    closeWhenStopped_ = true;
    OnStop();
}

bool CampaignWindow::ConfirmStopAndClose(QWidget* parent, MessageSink& messages) {
    return messages.AskToProceed(parent, QStringLiteral("Stop the campaign and close?"),
                                 QStringLiteral("Stop and close"), QStringLiteral("Cancel"));
}

void CampaignWindow::reject() {
    if (running()) {
        if (!closeWhenStopped_ && ConfirmStopAndClose(this, messages_)) StopAndClose();
        return;
    }
    QDialog::reject();
}

void CampaignWindow::closeEvent(QCloseEvent* event) {
    if (running()) {
        // The campaign is not ended by a stray click: the operator is asked first.
        event->ignore();
        reject();
        return;
    }
    QDialog::closeEvent(event);
}

}  // namespace vela
