#include "app/main_dialog.h"

#include "app/config_digest.h"
#include "app/modem_step.h"
#include "app/run_texts.h"
#include "common/file_access.h"
#include "common/imei.h"
#include "common/terminal_text.h"
#include "config/config_reader.h"
#include "link/port_check.h"
#include "link/test_server_socket.h"
#include "modem/push_message.h"
#include "storage/pg/storage_choice.h"

#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <array>

namespace vela {

namespace {

QString fromBytes(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// Counts the handlers running, so that a notification raised inside one (a write
// error found by a flush) waits for that handler to finish.
class HandlerScope {
public:
    explicit HandlerScope(int& depth) : depth_(depth) { ++depth_; }
    ~HandlerScope() { --depth_; }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

private:
    int& depth_;
};

constexpr const char* kReloadChangedTrackers =
    "The tracker list was changed by another operator since this window loaded it, so "
    "it was not saved.\n\nReload the stored list? The changes made here are then lost.";
constexpr const char* kChangedTrackersKept =
    "The tracker list was not saved: the stored list, changed by another operator, is "
    "kept as it is.";
constexpr const char* kReloadChangedSettings =
    "The settings were changed by another operator since this window loaded them, so "
    "they were not saved.\n\nReload the stored settings? The changes made here are then lost.";
constexpr const char* kChangedSettingsKept =
    "The settings were not saved: the stored settings, changed by another operator, are "
    "kept as they are.";

constexpr const char* kStoredValuesUnusable =
    "No run can start: a stored value cannot be used as it stands. Correct it in Settings "
    "or in the tracker list, and save.";

constexpr std::array<RunButton, 3> kRunButtons = {RunButton::LetsGo, RunButton::Listen,
                                                  RunButton::CheckPort};

// The length the image gives itself in its first two bytes (what the tracker's answer
// counts).
int imageLengthField(const ConfigImage& image) {
    return image.bytes[0] * 256 + image.bytes[1];
}

QString peerText(const TrackerSocket& socket) {
    return socket.PeerAddress();
}

// Closes a caller's connection and lets the socket go once control is back in the event
// loop: the signal that led here may still be running inside it.
void retire(std::unique_ptr<TrackerSocket> socket) {
    if (!socket) return;
    socket->Close();
    socket.release()->deleteLater();
}

}  // namespace

MainDialog::MainDialog(MainDialogView& view, std::filesystem::path workingDirectoryPath,
                       QObject* parent)
    : QObject(parent),
      workingDirectory(std::move(workingDirectoryPath)),
      installationTag(QString::fromStdString(vela::installationTag())),
      view_(view),
      configReader_([](const std::filesystem::path& path, int deviceType, ConfigImage& target) {
          return vela::ReadConfigFile(path, deviceType, target);
      }) {
    silenceTimer_.setInterval(std::chrono::milliseconds(250));
    connect(&silenceTimer_, &QTimer::timeout, this, &MainDialog::checkSilentCallers);
}

MainDialog::~MainDialog() = default;

void MainDialog::reportStorageError(const std::string& message) {
    view_.ShowMessage(QString::fromStdString(message), BoxIcon::Exclamation);
}

std::unique_ptr<StorageEngine> MainDialog::storage() {
    return OpenStorage(workingDirectory, databaseUrl_,
                       [this](const std::string& message) { reportStorageError(message); });
}

void MainDialog::OnInitDialog() {
    settings = ProgramSettings{};
    std::vector<std::string> reports;
    const std::unique_ptr<StorageEngine> stored =
        OpenStorage(workingDirectory, databaseUrl_,
                    [&reports](const std::string& message) { reports.push_back(message); });
    // The stores report their own errors through the reporter; the window opens anyway.
    // A load that succeeded with reports replaced a stored value.
    auto problemsSince = [&reports](std::size_t first, bool loaded) {
        std::string joined;
        for (std::size_t i = first; loaded && i < reports.size(); ++i)
            joined += (joined.empty() ? "" : "\n") + reports[i];
        return joined;
    };
    settingsProblem_ = problemsSince(0, static_cast<bool>(stored->loadSettings(settings)));
    loadedSettings_ = settings;
    options = StationOptions{};
    if (const Status read = stored->loadOptions(options); !read) optionsProblem_ = read.message();
    const std::size_t beforeTrackers = reports.size();
    const Status loaded = stored->loadTrackers(trackers, loadedTrackersStamp_);
    trackersProblem_ = problemsSince(beforeTrackers, static_cast<bool>(loaded));
    for (const std::string& report : reports) reportStorageError(report);
    std::error_code ignored;
    // A database that does not exist yet holds nothing to lose; one that is locked or
    // damaged (or a server that cannot be reached) does.
    storedTrackersUnread_ =
        !loaded && (databaseUrl_.has_value() ||
                    std::filesystem::exists(workingDirectory / kDatabaseFileName, ignored));
    // No database yet: the empty list is what the first save expects to find.
    if (!loaded && !storedTrackersUnread_) loadedTrackersStamp_ = StampOf(trackers);
    fillTrackerChoice();
    view_.SetStatusText(QString::fromLatin1(texts::kIdle));
}

void MainDialog::fillTrackerChoice() {
    std::vector<std::string> descriptions;
    for (const TrackerEntry& entry : trackers.entries()) descriptions.push_back(entry.description);
    view_.FillTrackerChoice(descriptions);
}

void MainDialog::OnEditTrackers() {
    view_.RunTrackerListDialog(trackers);
    if (storedTrackersUnread_ &&
        !view_.AskToConfirm(
            QString::fromLatin1(texts::kReplaceUnreadTrackers).arg(trackers.count()))) {
        view_.ShowMessage(QString::fromLatin1(texts::kTrackersNotSaved), BoxIcon::Exclamation);
        fillTrackerChoice();
        return;
    }
    // The list may be shared (a database several operators use, or a file velactl
    // writes too): a save never overwrites a change made since this window loaded it.
    const bool editedHere = StampOf(trackers) != loadedTrackersStamp_;
    std::vector<std::string> reports;
    const std::unique_ptr<StorageEngine> stored =
        OpenStorage(workingDirectory, databaseUrl_,
                    [&reports](const std::string& message) { reports.push_back(message); });
    bool changedMeanwhile = false;
    const Status saved =
        storedTrackersUnread_
            ? stored->saveTrackers(trackers)
            : stored->saveTrackersIfUnchanged(trackers, loadedTrackersStamp_, changedMeanwhile);
    if (!changedMeanwhile || editedHere) {
        for (const std::string& report : reports) reportStorageError(report);
    }
    if (saved) {
        storedTrackersUnread_ = false;
        trackersProblem_.clear();
        loadedTrackersStamp_ = StampOf(trackers);
    } else if (changedMeanwhile && !editedHere) {
        // Nothing of this window's is lost: the stored list is simply taken in.
        reloadTrackersQuietly();
    } else if (changedMeanwhile) {
        offerTrackerReload();
    }
    fillTrackerChoice();
}

void MainDialog::reloadTrackersQuietly() {
    TrackerList reloaded;
    TrackerListStamp stamp = 0;
    if (!storage()->loadTrackers(reloaded, stamp)) return;  // reported; this list stays
    trackers = std::move(reloaded);
    loadedTrackersStamp_ = stamp;
}

void MainDialog::offerTrackerReload() {
    if (!view_.AskToConfirm(QString::fromLatin1(kReloadChangedTrackers))) {
        view_.ShowMessage(QString::fromLatin1(kChangedTrackersKept), BoxIcon::Exclamation);
        return;
    }
    TrackerList reloaded;
    TrackerListStamp stamp = 0;
    if (!storage()->loadTrackers(reloaded, stamp)) return;  // reported; this list stays
    trackers = std::move(reloaded);
    loadedTrackersStamp_ = stamp;
}

void MainDialog::OnSettings() {
    ProgramSettings edited = settings;
    StationOptions editedOptions = options;
    if (!view_.RunSettingsDialog(edited, editedOptions, serialPort)) return;
    // The stored row is compared with the one this window read: another operator's
    // settings are not overwritten unnoticed.
    ProgramSettings current = ProgramSettings{};
    const std::unique_ptr<StorageEngine> quiet = OpenStorage(workingDirectory, databaseUrl_, {});
    if (quiet->loadSettings(current) && current != loadedSettings_) {
        if (view_.AskToConfirm(QString::fromLatin1(kReloadChangedSettings))) {
            settings = current;
            loadedSettings_ = current;
        } else {
            view_.ShowMessage(QString::fromLatin1(kChangedSettingsKept), BoxIcon::Exclamation);
        }
        return;
    }
    settings = edited;
    const std::unique_ptr<StorageEngine> stored = storage();
    if (stored->saveSettings(settings)) {
        loadedSettings_ = settings;
        settingsProblem_.clear();
    }
    if (editedOptions != options || !optionsProblem_.empty()) {
        options = editedOptions;
        if (stored->saveOptions(options)) optionsProblem_.clear();
    }
}

void MainDialog::overrideAllowFrom(AddressAllowList allowFrom) {
    options.allowFrom = std::move(allowFrom);
    optionsProblem_.clear();
}

bool& MainDialog::activeFlag(RunButton run) {
    switch (run) {
        case RunButton::LetsGo:
            return goActive;
        case RunButton::Listen:
            return listenActive;
        case RunButton::CheckPort:
            break;
    }
    return portCheckActive;
}

QString MainDialog::restCaption(RunButton run) {
    switch (run) {
        case RunButton::LetsGo:
            return QString::fromLatin1(texts::kLetsGoRestCaption);
        case RunButton::Listen:
            return QString::fromLatin1(texts::kListenCaption);
        case RunButton::CheckPort:
            break;
    }
    return QString::fromLatin1(texts::kCheckPortCaption);
}

void MainDialog::setOtherRunsEnabled(RunButton run, bool enabled) {
    for (RunButton other : kRunButtons) {
        if (other != run) view_.SetRunEnabled(other, enabled);
    }
}

void MainDialog::StopRun(RunButton run) {
    if (run == RunButton::CheckPort) {
        activeFlag(run) = false;
        view_.SetRunCaption(run, restCaption(run));
        view_.SetStatusText(QString::fromLatin1(texts::kIdle));
    } else {
        view_.SetRunCaption(run, restCaption(run));
        activeFlag(run) = false;
    }
    StopListening();
    view_.SetProgressVisible(false);
    setOtherRunsEnabled(run, true);
    endRecord(runRecord_, Verdict::NoCall, QString::fromLatin1(texts::kStoppedByOperator), true);
}

void MainDialog::AbandonRun(const QString& detail) {
    if (runRecord_) {
        endRecord(runRecord_, Verdict::NoCall, detail, true);
    } else if (sessionRecord_) {
        endRecord(sessionRecord_, Verdict::HungUp, QString::fromLatin1(texts::kNoAnswerBeforeEnd),
                  true);
    }
    for (RunButton run : kRunButtons) {
        if (activeFlag(run)) {
            activeFlag(run) = false;
            view_.SetRunCaption(run, restCaption(run));
        }
    }
    StopListening();
}

void MainDialog::beginRecord(RunButton run, const TrackerEntry* tracker,
                             const QString& configPath) {
    HistoryRecord record;
    record.startedAt = HistoryTimestamp();
    switch (run) {
        case RunButton::LetsGo:
            record.kind = kRunKindGo;
            record.modemPort = settings.modemPort;
            break;
        case RunButton::Listen:
            record.kind = kRunKindListen;
            break;
        case RunButton::CheckPort:
            record.kind = kRunKindCheckPort;
            break;
    }
    if (tracker != nullptr) {
        record.tracker = tracker->description;
        record.phone = tracker->phone;
    }
    record.configFile = configPath.toStdString();
    runRecord_ = std::move(record);
    runTracker_ = tracker != nullptr ? tracker->description : std::string();
    // A new run never shows an old caller or an old verdict.
    view_.SetDeviceText(QString());
    view_.ClearVerdict();
}

void MainDialog::endRecord(std::optional<HistoryRecord>& record, Verdict verdict,
                           const QString& detail, bool show) {
    if (!record) return;
    HistoryRecord ended = std::move(*record);
    record.reset();
    ended.endedAt = HistoryTimestamp();
    ended.verdict = verdict;
    ended.detail = detail.toStdString();
    if (show) view_.ShowVerdict(verdict, detail);
    writeHistory(ended);
    // Only the run being shown ends here (a wrong caller or a stopped run's late session
    // leaves the current run waiting).
    if (show) emit RunEnded(verdict);
}

void MainDialog::writeHistory(const HistoryRecord& record) {
    // The run's own result stands whatever happens to its record: a failed write is a
    // warning, never the run's failure.
    (void)storage()->appendHistory(record);
}

std::optional<MainDialog::PreparedRun> MainDialog::PrepareRun(RunButton run) {
    if (activeFlag(run)) {
        StopRun(run);
        return std::nullopt;
    }
    // The runs share one listening slot: while one waits the others are not started.
    for (RunButton other : kRunButtons) {
        if (other != run && activeFlag(other)) return std::nullopt;
    }
    for (const std::string* problem : {&settingsProblem_, &trackersProblem_, &optionsProblem_}) {
        if (problem->empty()) continue;
        view_.ShowMessageWithReason(QString::fromLatin1(kStoredValuesUnusable), BoxIcon::Stop,
                                    QString::fromStdString(*problem));
        return std::nullopt;
    }
    const std::optional<std::string> selected = view_.SelectedTracker();
    if (!selected) return std::nullopt;
    receivedData.clear();
    const int index = trackers.findByDescription(*selected);
    if (index < 0) return std::nullopt;
    PreparedRun prepared{trackers.at(index), QString()};
    const std::optional<QString> chosen = view_.ChooseConfigFile();
    if (!chosen) return std::nullopt;
    prepared.configPath = *chosen;
    beginRecord(run, &prepared.tracker, QFileInfo(*chosen).absoluteFilePath());
    view_.SetFileText(QString::fromLatin1(texts::kConfigurationFile) +
                      QFileInfo(*chosen).fileName());
    if (const Status read = ReadConfigFile(*chosen, prepared.tracker.deviceType); !read) {
        const QString box = QString::fromLatin1(kErrorInXmlFile.data(),
                                                static_cast<qsizetype>(kErrorInXmlFile.size()));
        view_.ShowMessageWithReason(box, BoxIcon::Stop, QString::fromStdString(read.message()));
        endRecord(runRecord_, Verdict::FileRefused, QString::fromStdString(read.message()), true);
        return std::nullopt;
    }
    runRecord_->configSha256 = ConfigFileSha256(std::filesystem::path(chosen->toStdString()));
    runRecord_->imageBytes = imageLengthField(image);
    return prepared;
}

bool MainDialog::listenForRun(RunButton run) {
    const Status listening = StartListening();
    if (!listening) {
        view_.ShowMessage(QString::fromLatin1(texts::kCannotListen)
                              .arg(settings.localPort)
                              .arg(QString::fromStdString(listening.message())),
                          BoxIcon::Stop);
        view_.SetProgressVisible(false);
        view_.SetStatusText(QString::fromLatin1(texts::kIdle));
        // The caption still reads what it did before the press; the run stays Ready.
        activeFlag(run) = false;
        endRecord(runRecord_, Verdict::ListenFailed, QString::fromStdString(listening.message()),
                  true);
        return false;
    }
    listeningRun_ = RunTicket{run, ++runSerial_};
    return true;
}

bool MainDialog::BeginWaiting(RunButton run) {
    const bool alreadyListening = listeningRun_ && listeningRun_->run == run &&
                                  listeningRun_->serial == runSerial_ && listeningPort() != 0;
    if (!alreadyListening && !listenForRun(run)) return false;
    view_.SetRunCaption(run, QString::fromLatin1(texts::kStopCaption));
    activeFlag(run) = true;
    setOtherRunsEnabled(run, false);
    return true;
}

void MainDialog::OnLetsGo() {
    if (modemStepActive_) {
        // "Stop!!!" during the modem step: the dialogue ends at its next look (ESC
        // written when past the prompt) and the run ends there.
        modemCancel_.store(true);
        view_.SetRunEnabled(RunButton::LetsGo, false);
        return;
    }
    HandlerScope scope(handlerDepth_);
    const std::optional<PreparedRun> prepared = PrepareRun(RunButton::LetsGo);
    if (!prepared) return;
    view_.SetProgress(0);
    view_.SetProgressVisible(true);
    view_.SetStatusText(QString::fromLatin1(texts::kStartingPushSms));
    view_.RepaintNow();
    Result<std::string> message = BuildPushMessage(prepared->tracker, settings);
    if (!message) {
        // A message that cannot be one SMS is refused before the modem is touched.
        view_.ShowMessage(fromBytes(message.message()), BoxIcon::Stop);
        endWithoutSms();
        endRecord(runRecord_, Verdict::SmsFailed, fromBytes(message.message()), true);
        return;
    }
    // The port is ours before the tracker is woken: a tracker sent to a port that is
    // not ours could not be configured, and its SMS would be paid for nothing.
    if (!listenForRun(RunButton::LetsGo)) return;
    if (settings.externalPort == 0) {
        // No port told to trackers: the one bound here (the system's choice when the local
        // port is 0 too), so the SMS names where this run really listens.
        ProgramSettings bound = settings;
        bound.externalPort = listeningPort();
        message = BuildPushMessage(prepared->tracker, bound);
    }
    view_.Pause(pauses_.sms);
    view_.SetProgress(25);
    view_.SetStatusText(QString::fromLatin1(texts::kPushSmsSending));
    view_.RepaintNow();
    std::string modemError;
    bool cancelled = false;
    DialogueLimits limits = dialogueLimits_;
    limits.cancel = &modemCancel_;
    modemCancel_.store(false);
    modemStepActive_ = true;
    view_.SetRunCaption(RunButton::LetsGo, QString::fromLatin1(texts::kStopCaption));
    setOtherRunsEnabled(RunButton::LetsGo, false);
    const bool sent = SendPushSmsKeepingWindowPainted(view_, serialPort, settings.modemPort,
                                                      *message, limits, &modemError, &cancelled);
    modemStepActive_ = false;
    if (modemCancel_.load()) view_.SetRunEnabled(RunButton::LetsGo, true);
    if (!sent) {
        StopListening();
        listenSocket.reset();
        dropPendingCallers();
        view_.SetRunCaption(RunButton::LetsGo, restCaption(RunButton::LetsGo));
        setOtherRunsEnabled(RunButton::LetsGo, true);
        endWithoutSms();
        endRecord(
            runRecord_, Verdict::SmsFailed,
            cancelled ? QString::fromLatin1(texts::kStoppedByOperator) : fromBytes(modemError),
            true);
        return;
    }
    view_.SetProgress(50);
    view_.SetStatusText(QString::fromLatin1(texts::kWaitingForConnection));
    view_.RepaintNow();
    BeginWaiting(RunButton::LetsGo);
}

void MainDialog::endWithoutSms() {
    view_.SetProgressVisible(false);
    view_.SetStatusText(QString::fromLatin1(texts::kIdle));
    view_.RepaintNow();
}

void MainDialog::OnCheckPort() {
    if (activeFlag(RunButton::CheckPort)) {
        StopRun(RunButton::CheckPort);
        return;
    }
    // The runs share one listening slot: while another waits the check is not started.
    for (RunButton other : kRunButtons) {
        if (other != RunButton::CheckPort && activeFlag(other)) return;
    }
    HandlerScope scope(handlerDepth_);
    // A check that cannot wait for the call ends at Ready after its box.
    // The reason, when there is one beside the fixed text, goes with the box.
    const auto endAtReady = [this](const QString& message, Verdict verdict, const QString& detail,
                                   bool detailIsReason = false) {
        if (detailIsReason) {
            view_.ShowMessageWithReason(message, BoxIcon::Stop, detail);
        } else {
            view_.ShowMessage(message, BoxIcon::Stop);
        }
        portCheckActive = false;
        view_.SetRunCaption(RunButton::CheckPort, restCaption(RunButton::CheckPort));
        view_.SetProgressVisible(false);
        view_.SetStatusText(QString::fromLatin1(texts::kIdle));
        endRecord(runRecord_, verdict, detail, true);
    };

    view_.SetFileText(QString());
    beginRecord(RunButton::CheckPort, nullptr, QString());
    view_.SetProgress(0);
    view_.SetProgressVisible(true);
    const TestServerAddress server = readTestServerIni(workingDirectory);
    const QString serverText =
        fromBytes(server.host) + QLatin1Char(':') + fromBytes(server.portText);
    view_.SetStatusText(QString::fromLatin1(texts::kSendingTestMessage) + serverText);
    view_.RepaintNow();

    TestServerSocket connection;
    // No file, no host or no port number: there is nobody to connect to.
    const Status connected = server.usable()
                                 ? connection.Connect(fromBytes(server.host), server.port)
                                 : Status::Fail(server.problem);
    if (!connected) {
        endAtReady(QString::fromLatin1(texts::kTestServerDown), Verdict::PortCheckFailed,
                   server.usable() ? serverText + QStringLiteral(": ") +
                                         QString::fromStdString(connected.message())
                                   : fromBytes(server.problem),
                   true);
        return;
    }
    // The listener is up before the message goes out, so a server that calls back at
    // once finds the port open; a port that cannot be had gets no call-back at all.
    if (const Status listening = StartListening(); !listening) {
        endAtReady(QString::fromLatin1(texts::kCannotListen)
                       .arg(settings.localPort)
                       .arg(QString::fromStdString(listening.message())),
                   Verdict::ListenFailed, QString::fromStdString(listening.message()));
        return;
    }
    listeningRun_ = RunTicket{RunButton::CheckPort, ++runSerial_};
    // A send that fails is not examined: no call comes, and the operator stops the wait.
    (void)connection.Send(formatTestMessage(settings.externalIp, settings.externalPort,
                                            installationTag.toLatin1().toStdString()));
    view_.Pause(pauses_.portCheck);
    // A server that refused the request (too many from this address) calls nobody back:
    // the check ends here rather than waiting for a call that cannot come.
    if (const auto refusal = connection.TakeRefusal()) {
        StopListening();
        listeningRun_.reset();
        endAtReady(QString::fromLatin1(texts::kTestServerDown), Verdict::PortCheckFailed,
                   QStringLiteral("the test server refused the check: ") +
                       QString::fromStdString(EscapeForTerminal(*refusal)),
                   true);
        return;
    }
    view_.SetProgress(50);
    view_.SetStatusText(QString::fromLatin1(texts::kWaitingForConnection));
    view_.RepaintNow();
    view_.SetRunCaption(RunButton::CheckPort, QString::fromLatin1(texts::kStopCaption));
    portCheckActive = true;
    setOtherRunsEnabled(RunButton::CheckPort, false);
    connection.Close();
}

void MainDialog::OnListen() {
    HandlerScope scope(handlerDepth_);
    if (!PrepareRun(RunButton::Listen)) return;
    view_.SetProgress(0);
    view_.SetProgressVisible(true);
    view_.SetStatusText(QString::fromLatin1(texts::kSkippingPushSms));
    view_.RepaintNow();
    view_.SetProgress(50);
    view_.SetStatusText(QString::fromLatin1(texts::kWaitingForConnection));
    view_.RepaintNow();
    BeginWaiting(RunButton::Listen);
}

Status MainDialog::ReadConfigFile(const QString& path, int deviceType) {
    return configReader_(std::filesystem::path(path.toStdString()), deviceType, image);
}

Status MainDialog::StartListening() {
    // The earlier run's listener goes (with its unidentified callers); the one
    // connection being served stays until replaced.
    dropPendingCallers();
    listenSocket = std::make_unique<ListenSocket>();
    CallerPolicy policy;
    policy.allowFrom = options.allowFrom;
    listenSocket->SetCallerPolicy(std::move(policy));
    if (settings.localPort < 0 || settings.localPort > 65535) {
        listenSocket.reset();
        return Status::Fail("not a TCP port");
    }
    if (Status listening = listenSocket->Listen(static_cast<quint16>(settings.localPort));
        !listening) {
        listenSocket.reset();
        return listening;
    }
    connect(listenSocket.get(), &ListenSocket::AcceptReady, this, &MainDialog::AcceptTracker);
    connect(listenSocket.get(), &ListenSocket::Note, this, [this](const QString& line) {
        view_.SetStatusText(line);
        if (listeningPort() != 0) {
            view_.SetStatusText(QString::fromLatin1(texts::kWaitingForConnection));
        }
    });
    return Status::Ok();
}

void MainDialog::StopListening() {
    if (listenSocket) listenSocket->Close();
    dropPendingCallers();
}

quint16 MainDialog::listeningPort() const {
    return listenSocket && listenSocket->IsListening() ? listenSocket->Port() : 0;
}

void MainDialog::AcceptTracker() {
    if (!listenSocket) return;
    if (handlerDepth_ > 0) {
        // A caller that connects while a handler runs (the window waiting for the modem,
        // a box's nested loop) is taken once that handler is done.
        QTimer::singleShot(50, this, &MainDialog::AcceptTracker);
        return;
    }
    // The listener stays open until a caller has identified itself: a stray that
    // connects and closes, or says nothing, does not lock the tracker out.
    std::vector<TrackerSocket*> accepted;
    while (std::unique_ptr<TrackerSocket> socket = listenSocket->Accept()) {
        if (pendingCallers_.size() >= kMaxPendingCallers) {
            retire(std::move(pendingCallers_.front().socket));
            pendingCallers_.erase(pendingCallers_.begin());
            view_.SetStatusText(QString::fromLatin1(texts::kCallerDropped));
            view_.SetStatusText(QString::fromLatin1(texts::kWaitingForConnection));
        }
        TrackerSocket* raw = socket.get();
        connect(raw, &TrackerSocket::ReceiveReady, this, [this, raw] { ReceiveFromTracker(*raw); });
        connect(raw, &TrackerSocket::Ended, this, [this, raw] { onTrackerEnded(*raw); });
        pendingCallers_.push_back({std::move(socket), {}, std::chrono::steady_clock::now()});
        accepted.push_back(raw);
    }
    if (!pendingCallers_.empty()) silenceTimer_.start();
    // Bytes that came with the connection are handled like any later ones.
    for (TrackerSocket* socket : accepted) {
        const auto stillPending = std::any_of(
            pendingCallers_.begin(), pendingCallers_.end(),
            [socket](const PendingCaller& caller) { return caller.socket.get() == socket; });
        if (stillPending && (socket->HasReceived() || socket->HasEnded())) {
            ReceiveFromTracker(*socket);
        }
    }
}

void MainDialog::dropPendingCallers() {
    for (PendingCaller& caller : pendingCallers_) retire(std::move(caller.socket));
    pendingCallers_.clear();
    silenceTimer_.stop();
}

void MainDialog::dropStray(std::size_t index, const QString& note) {
    retire(std::move(pendingCallers_[index].socket));
    pendingCallers_.erase(pendingCallers_.begin() + static_cast<std::ptrdiff_t>(index));
    if (pendingCallers_.empty()) silenceTimer_.stop();
    // Strays are common on an open port: a note, no box, and the run waits on.
    view_.SetStatusText(note);
    view_.SetStatusText(QString::fromLatin1(texts::kWaitingForConnection));
}

void MainDialog::checkSilentCallers() {
    if (handlerDepth_ > 0) return;  // looked at again on the next tick
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < pendingCallers_.size();) {
        if (now - pendingCallers_[i].acceptedAt >= pauses_.identify) {
            const auto seconds =
                std::chrono::duration_cast<std::chrono::seconds>(pauses_.identify).count();
            dropStray(i, QString::fromLatin1(texts::kCallerSilent).arg(seconds));
        } else {
            ++i;
        }
    }
}

std::optional<std::string> MainDialog::expectedImei(RunButton run) const {
    if (run == RunButton::CheckPort) return std::string(kTestServerImei);
    // An IMEI as the description names one tracker, and only that one is served.
    if (IsImei(runTracker_)) return runTracker_;
    return std::nullopt;
}

void MainDialog::ReceiveFromTracker(TrackerSocket& socket) {
    const auto pending = std::find_if(
        pendingCallers_.begin(), pendingCallers_.end(),
        [&socket](const PendingCaller& caller) { return caller.socket.get() == &socket; });
    const bool isPending = pending != pendingCallers_.end();
    if (handlerDepth_ > 0 && (isPending || &socket == trackerSocket.get())) {
        // Raised inside another handler (its pause or flush, or the nested loop of a
        // dialog or box it opened): the session's own handler reads on when it resumes;
        // any other one does not, so the notification comes again after it.
        socket.NotifyLater();
        return;
    }
    if (isPending) {
        receiveFromPending(static_cast<std::size_t>(pending - pendingCallers_.begin()));
        return;
    }
    HandlerScope scope(handlerDepth_);
    std::array<uint8_t, kReceiveChunk> chunk{};
    while (!socket.IsClosed() && socket.HasReceived()) {
        const std::size_t count = socket.Receive(chunk.data(), chunk.size());
        switch (
            appendReceived(receivedData, std::span(chunk.data(), count), socket.answerPending)) {
            case ReceiveStep::WaitForMore:
                break;
            case ReceiveStep::Identify:
                identifyCaller(socket);
                break;
            case ReceiveStep::Answer:
                takeAnswer(socket);
                break;
        }
    }
    if (!socket.IsClosed() && socket.HasEnded()) reportSessionEnd(socket);
}

void MainDialog::receiveFromPending(std::size_t index) {
    PendingCaller& caller = pendingCallers_[index];
    std::array<uint8_t, kReceiveChunk> chunk{};
    while (caller.socket->HasReceived()) {
        const std::size_t count = caller.socket->Receive(chunk.data(), chunk.size());
        if (appendReceived(caller.received, std::span(chunk.data(), count), false) ==
            ReceiveStep::Identify) {
            identifyPending(index);
            return;
        }
    }
    if (caller.socket->HasEnded()) {
        dropStray(index, QString::fromLatin1(texts::kClosedBeforeIdentified));
    }
}

void MainDialog::identifyPending(std::size_t index) {
    const std::string imei = callerImei(pendingCallers_[index].received);
    const RunButton run = listeningRun_ ? listeningRun_->run : RunButton::Listen;
    const std::optional<std::string> expected = expectedImei(run);
    const bool right = expected ? imei == *expected : !isTestServer(imei);
    if (!right) {
        const QString shown = fromBytes(displayImei(imei));
        const QString waitingFor = expected ? fromBytes(*expected) : fromBytes(runTracker_);
        // An address that keeps guessing is slowed and summed up in one line instead.
        const bool alone =
            !listenSocket || listenSocket->UnknownCaller(*pendingCallers_[index].socket);
        if (runRecord_ && alone) {
            // Recorded as a row of its own; the run itself waits on.
            std::optional<HistoryRecord> wrong = runRecord_;
            wrong->callerAddress = peerText(*pendingCallers_[index].socket).toStdString();
            wrong->callerImei = displayImei(imei);
            endRecord(wrong, Verdict::WrongCaller, QString::fromLatin1("waiting for ") + waitingFor,
                      false);
        }
        retire(std::move(pendingCallers_[index].socket));
        pendingCallers_.erase(pendingCallers_.begin() + static_cast<std::ptrdiff_t>(index));
        if (pendingCallers_.empty()) silenceTimer_.stop();
        if (alone) {
            view_.SetStatusText(
                QString::fromLatin1(texts::kUnexpectedCaller).arg(shown, waitingFor));
        }
        return;
    }
    // The run has its caller: the listener closes, so later callers are refused, and the
    // others that have not identified themselves go.
    PendingCaller served = std::move(pendingCallers_[index]);
    pendingCallers_.erase(pendingCallers_.begin() + static_cast<std::ptrdiff_t>(index));
    if (listenSocket) listenSocket->Close();
    dropPendingCallers();
    trackerSocket = std::move(served.socket);
    receivedData = std::move(served.received);
    sessionRun_ = listeningRun_;
    sessionRecord_ = std::move(runRecord_);
    runRecord_.reset();
    if (sessionRecord_) {
        sessionRecord_->callerAddress = peerText(*trackerSocket).toStdString();
        sessionRecord_->callerImei = displayImei(imei);
    }
    TrackerSocket& socket = *trackerSocket;
    HandlerScope scope(handlerDepth_);
    identifyCaller(socket);
    // Bytes that followed the identification are the answer (or its start).
    if (!socket.IsClosed()) {
        std::array<uint8_t, kReceiveChunk> chunk{};
        while (!socket.IsClosed() && socket.HasReceived()) {
            const std::size_t count = socket.Receive(chunk.data(), chunk.size());
            if (appendReceived(receivedData, std::span(chunk.data(), count),
                               socket.answerPending) == ReceiveStep::Answer) {
                takeAnswer(socket);
            }
        }
        if (!socket.IsClosed() && socket.HasEnded()) reportSessionEnd(socket);
    }
}

void MainDialog::identifyCaller(TrackerSocket& socket) {
    view_.SetProgress(75);
    const std::string imei = callerImei(receivedData);
    const QString shown = fromBytes(displayImei(imei));
    view_.SetStatusText(QString::fromLatin1(texts::kWelcome) + shown +
                        QString::fromLatin1(texts::kWelcomeEnd));
    view_.SetDeviceText(QString::fromLatin1(texts::kDeviceImei) + shown);
    const bool current = sessionRun_ && sessionRun_->serial == runSerial_;
    if (sessionRun_ && sessionRun_->run == RunButton::CheckPort) {
        // Only the test server gets this far in a check; it never receives an image.
        socket.Close();
        view_.SetProgressVisible(false);
        finishSessionRun();
        view_.SetStatusText(QString::fromLatin1(texts::kTestCompleted));
        view_.SetDeviceText(QString());
        endRecord(sessionRecord_, Verdict::PortChecked, {}, current);
        emit SessionEnded(SessionOutcome::TestPassed);
        return;
    }
    receivedData.clear();
    socket.answerPending = true;
    socket.Send(image.view());
    view_.Pause(pauses_.session);
    socket.CheckConnection();
    if (socket.HasEnded()) {
        // The image did not get through: say so instead of the success text.
        reportSessionEnd(socket);
        return;
    }
    view_.SetStatusText(QString::fromLatin1(texts::kCatchNewConfig) +
                        QString::fromLatin1(formatImageLength(image)));
}

void MainDialog::takeAnswer(TrackerSocket& socket) {
    socket.Close();
    view_.SetStatusText(QString::fromLatin1(texts::kDoneReceivedAnswer) +
                        QString::fromLatin1(formatAnswer(receivedData, image)));
    view_.SetProgress(100);
    view_.Pause(pauses_.session);
    view_.SetProgressVisible(false);
    const bool current = sessionRun_ && sessionRun_->serial == runSerial_;
    // After an answer "Let's Go" reads its rest caption, whichever run was waiting; a
    // waiting "Let's Go" gets it from the end of its own run.
    if (!goActive) {
        view_.SetRunCaption(RunButton::LetsGo, QString::fromLatin1(texts::kLetsGoRestCaption));
    }
    finishSessionRun();
    const int expected = imageLengthField(image);
    if (receivedData.size() < 3) {
        endRecord(sessionRecord_, Verdict::Rejected,
                  QString::fromLatin1(texts::kShortAnswer).arg(receivedData.size()), current);
    } else {
        const int reported = receivedData[1] * 256 + receivedData[2];
        if (sessionRecord_) sessionRecord_->answerBytes = reported;
        endRecord(sessionRecord_, reported == expected ? Verdict::Configured : Verdict::Rejected,
                  QString::fromLatin1(texts::kAnswerCount).arg(reported).arg(expected), current);
    }
    emit SessionEnded(SessionOutcome::Answered);
}

void MainDialog::reportSessionEnd(TrackerSocket& socket) {
    const bool failed = socket.Failed();
    QString text;
    if (failed) {
        text = QString::fromLatin1(texts::kConnectionFailed) + socket.ErrorText();
    } else {
        text = QString::fromLatin1(socket.answerPending ? texts::kClosedBeforeAnswer
                                                        : texts::kClosedBeforeIdentified);
    }
    socket.Close();
    view_.SetStatusText(text);
    // A tracker that went away after identifying itself ends the run.
    const bool current = sessionRun_ && sessionRun_->serial == runSerial_;
    view_.SetProgressVisible(false);
    finishSessionRun();
    endRecord(sessionRecord_, Verdict::HungUp, text, current);
    emit SessionEnded(failed ? SessionOutcome::Failed : SessionOutcome::Closed);
}

void MainDialog::onTrackerEnded(TrackerSocket& socket) {
    if (handlerDepth_ > 0) {
        // The running handler may not be the session's: look again once it is done.
        socket.NotifyLater();
        return;
    }
    // Data that came before the close is handled first.
    ReceiveFromTracker(socket);
}

void MainDialog::finishSessionRun() {
    const std::optional<RunTicket> ticket = sessionRun_;
    sessionRun_.reset();
    if (!ticket || ticket->serial != runSerial_ || !activeFlag(ticket->run)) return;
    activeFlag(ticket->run) = false;
    view_.SetRunCaption(ticket->run, restCaption(ticket->run));
    setOtherRunsEnabled(ticket->run, true);
}

}  // namespace vela
