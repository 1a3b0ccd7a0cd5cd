#include "app/main_dialog.h"

#include "app/modem_step.h"
#include "app/run_texts.h"
#include "config/config_reader.h"
#include "link/port_check.h"
#include "link/test_server_socket.h"
#include "modem/push_message.h"
#include "storage/pg/storage_choice.h"

#include <QFileInfo>
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

constexpr std::array<RunButton, 3> kRunButtons = {RunButton::LetsGo, RunButton::Listen,
                                                  RunButton::CheckPort};

}  // namespace

MainDialog::MainDialog(MainDialogView& view, std::filesystem::path workingDirectoryPath,
                       QObject* parent)
    : QObject(parent),
      workingDirectory(std::move(workingDirectoryPath)),
      installationTag(QString::fromStdString(vela::installationTag())),
      view_(view),
      configReader_([](const std::filesystem::path& path, int deviceType, ConfigImage& target) {
          return vela::ReadConfigFile(path, deviceType, target);
      }) {}

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
    const std::unique_ptr<StorageEngine> stored = storage();
    // The stores report their own errors through the reporter; the window opens anyway.
    (void)stored->loadSettings(settings);
    const Status loaded = stored->loadTrackers(trackers, loadedTrackersStamp_);
    std::error_code ignored;
    // A database that does not exist yet holds nothing to lose; one that is locked or
    // damaged (or a server that cannot be reached) does.
    storedTrackersUnread_ =
        !loaded && (databaseUrl_.has_value() ||
                    std::filesystem::exists(workingDirectory / kDatabaseFileName, ignored));
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
    const std::unique_ptr<StorageEngine> stored = storage();
    if (!databaseUrl_) {
        if (stored->saveTrackers(trackers)) storedTrackersUnread_ = false;
    } else {
        // Several operators share the list: a save never overwrites a change made since
        // this window loaded it.
        bool changedMeanwhile = false;
        const Status saved =
            storedTrackersUnread_
                ? stored->saveTrackers(trackers)
                : stored->saveTrackersIfUnchanged(trackers, loadedTrackersStamp_, changedMeanwhile);
        if (saved) {
            storedTrackersUnread_ = false;
            loadedTrackersStamp_ = StampOf(trackers);
        } else if (changedMeanwhile) {
            offerTrackerReload();
        }
    }
    fillTrackerChoice();
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
    if (!view_.RunSettingsDialog(settings, serialPort)) return;
    (void)storage()->saveSettings(settings);
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
    const std::optional<std::string> selected = view_.SelectedTracker();
    if (!selected) return std::nullopt;
    receivedData.clear();
    const int index = trackers.findByDescription(*selected);
    if (index < 0) return std::nullopt;
    PreparedRun prepared{trackers.at(index), QString()};
    const std::optional<QString> chosen = view_.ChooseConfigFile();
    if (!chosen) return std::nullopt;
    prepared.configPath = *chosen;
    view_.SetFileText(QString::fromLatin1(texts::kConfigurationFile) +
                      QFileInfo(*chosen).fileName());
    if (const Status read = ReadConfigFile(*chosen, prepared.tracker.deviceType); !read) {
        view_.ShowMessageWithReason(
            QString::fromLatin1(kErrorInXmlFile.data(),
                                static_cast<qsizetype>(kErrorInXmlFile.size())),
            BoxIcon::Stop, QString::fromStdString(read.message()));
        return std::nullopt;
    }
    return prepared;
}

bool MainDialog::BeginWaiting(RunButton run) {
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
        return false;
    }
    view_.SetRunCaption(run, QString::fromLatin1(texts::kStopCaption));
    activeFlag(run) = true;
    setOtherRunsEnabled(run, false);
    listeningRun_ = RunTicket{run, ++runSerial_};
    return true;
}

void MainDialog::OnLetsGo() {
    HandlerScope scope(handlerDepth_);
    const std::optional<PreparedRun> prepared = PrepareRun(RunButton::LetsGo);
    if (!prepared) return;
    view_.SetProgress(0);
    view_.SetProgressVisible(true);
    view_.SetStatusText(QString::fromLatin1(texts::kStartingPushSms));
    view_.RepaintNow();
    const Result<std::string> message = BuildPushMessage(prepared->tracker, settings);
    if (!message) {
        // A message that cannot be one SMS is refused before the modem is touched.
        view_.ShowMessage(fromBytes(message.message()), BoxIcon::Stop);
        endWithoutSms();
        return;
    }
    view_.Pause(pauses_.sms);
    view_.SetProgress(25);
    view_.SetStatusText(QString::fromLatin1(texts::kPushSmsSending));
    view_.RepaintNow();
    const bool sent = SendPushSmsKeepingWindowPainted(view_, serialPort, settings.modemPort,
                                                      *message, dialogueLimits_);
    if (!sent) {
        endWithoutSms();
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
    const auto endAtReady = [this](const QString& message) {
        view_.ShowMessage(message, BoxIcon::Stop);
        portCheckActive = false;
        view_.SetRunCaption(RunButton::CheckPort, restCaption(RunButton::CheckPort));
        view_.SetProgressVisible(false);
        view_.SetStatusText(QString::fromLatin1(texts::kIdle));
    };

    view_.SetFileText(QString());
    view_.SetProgress(0);
    view_.SetProgressVisible(true);
    const TestServerAddress server = readTestServerIni(workingDirectory);
    view_.SetStatusText(QString::fromLatin1(texts::kSendingTestMessage) + fromBytes(server.host) +
                        QLatin1Char(':') + fromBytes(server.portText));
    view_.RepaintNow();

    TestServerSocket connection;
    // No file, no host or no port number: there is nobody to connect to.
    if (!server.usable() || !connection.Connect(fromBytes(server.host), server.port)) {
        endAtReady(QString::fromLatin1(texts::kTestServerDown));
        return;
    }
    // The listener is up before the message goes out, so a server that calls back at
    // once finds the port open; a port that cannot be had gets no call-back at all.
    if (const Status listening = StartListening(); !listening) {
        endAtReady(QString::fromLatin1(texts::kCannotListen)
                       .arg(settings.localPort)
                       .arg(QString::fromStdString(listening.message())));
        return;
    }
    listeningRun_ = RunTicket{RunButton::CheckPort, ++runSerial_};
    // A send that fails is not examined: no call comes, and the operator stops the wait.
    (void)connection.Send(formatTestMessage(settings.externalIp, settings.externalPort,
                                            installationTag.toLatin1().toStdString()));
    view_.Pause(pauses_.portCheck);
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
    // The earlier run's listener goes; the one accepted connection stays until replaced.
    listenSocket = std::make_unique<ListenSocket>();
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
    return Status::Ok();
}

void MainDialog::StopListening() {
    if (listenSocket) listenSocket->Close();
}

quint16 MainDialog::listeningPort() const {
    return listenSocket && listenSocket->IsListening() ? listenSocket->Port() : 0;
}

void MainDialog::AcceptTracker() {
    if (!listenSocket) return;
    std::unique_ptr<TrackerSocket> accepted = listenSocket->Accept();
    // A run serves one connection: later callers find no listener and are refused.
    listenSocket->Close();
    if (!accepted) return;
    trackerSocket = std::move(accepted);
    // Each connection is a session of its own; bytes of an earlier one do not count.
    receivedData.clear();
    sessionRun_ = listeningRun_;
    TrackerSocket* socket = trackerSocket.get();
    connect(socket, &TrackerSocket::ReceiveReady, this,
            [this, socket] { ReceiveFromTracker(*socket); });
    connect(socket, &TrackerSocket::Ended, this, [this, socket] { onTrackerEnded(*socket); });
    // Bytes that came with the connection are handled like any later ones.
    if (socket->HasReceived()) ReceiveFromTracker(*socket);
}

void MainDialog::ReceiveFromTracker(TrackerSocket& socket) {
    if (handlerDepth_ > 0 && &socket == trackerSocket.get()) {
        // Raised inside another handler (its pause or flush, or the nested loop of a
        // dialog or box it opened): the session's own handler reads on when it resumes;
        // any other one does not, so the notification comes again after it.
        socket.NotifyLater();
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

void MainDialog::identifyCaller(TrackerSocket& socket) {
    view_.SetProgress(75);
    const std::string imei = callerImei(receivedData);
    const QString shown = fromBytes(displayImei(imei));
    view_.SetStatusText(QString::fromLatin1(texts::kWelcome) + shown +
                        QString::fromLatin1(texts::kWelcomeEnd));
    view_.SetDeviceText(QString::fromLatin1(texts::kDeviceImei) + shown);
    if (isTestServer(imei)) {
        socket.Close();
        view_.SetProgressVisible(false);
        finishSessionRun();
        view_.SetStatusText(QString::fromLatin1(texts::kTestCompleted));
        view_.SetDeviceText(QString());
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
    // After an answer "Let's Go" reads its rest caption, whichever run was waiting; a
    // waiting "Let's Go" gets it from the end of its own run.
    if (!goActive) {
        view_.SetRunCaption(RunButton::LetsGo, QString::fromLatin1(texts::kLetsGoRestCaption));
    }
    finishSessionRun();
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
    // The run stays waiting: its "Stop!!!" returns it to Ready as before.
    view_.SetStatusText(text);
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
