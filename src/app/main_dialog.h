#pragma once

#include "app/main_dialog_view.h"
#include "common/address_range.h"
#include "common/result.h"
#include "config/config_image.h"
#include "link/config_session.h"
#include "link/listen_socket.h"
#include "link/tracker_socket.h"
#include "modem/serial_port.h"
#include "modem/sms_dialogue.h"
#include "storage/history_store.h"
#include "storage/program_settings.h"
#include "storage/storage_engine.h"
#include "storage/tracker_list.h"
#include "storage/verdict.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vela {

// The spine of the program: owns every long-lived object (settings, trackers, image,
// serial port, sockets, run flags), runs the button handlers and the configuration
// session, and reports only through its MainDialogView. The window and velactl are two
// faces of this one object.
class MainDialog : public QObject {
    Q_OBJECT
public:
    // How a configuration session ended.
    enum class SessionOutcome {
        Answered,    // the tracker answered after the image
        TestPassed,  // the test server of the port check called
        Closed,      // the peer closed the connection before its step
        Failed,      // the connection failed
    };

    // The fixed pauses of the runs; shortened only by tests.
    struct Pauses {
        std::chrono::milliseconds session{1000};  // after the image, after the answer
        std::chrono::milliseconds sms{2000};      // before the modem dialogue
        std::chrono::milliseconds portCheck{2000};
        // How long a caller may take to identify itself before it is dropped.
        std::chrono::milliseconds identify{5000};
    };

    // Callers that have not identified themselves yet, at most this many at once: a
    // newer one pushes out the oldest, so idle connections cannot lock the tracker out.
    static constexpr std::size_t kMaxPendingCallers = 16;

    // What a press of a run button carries past the steps it shares with the others.
    struct PreparedRun {
        TrackerEntry tracker;
        QString configPath;
    };

    using ConfigReader =
        std::function<Status(const std::filesystem::path&, int deviceType, ConfigImage&)>;

    // `workingDirectory` is taken once: the database and test-server.ini live there
    // whatever directory is current later.
    explicit MainDialog(MainDialogView& view,
                        std::filesystem::path workingDirectory = std::filesystem::current_path(),
                        QObject* parent = nullptr);
    ~MainDialog() override;

    // Settings and trackers in this shared PostgreSQL database instead of
    // settings.accdb in the working directory; set before OnInitDialog.
    void useDatabase(std::optional<std::string> url) { databaseUrl_ = std::move(url); }
    const std::optional<std::string>& databaseUrl() const { return databaseUrl_; }

    // Start-up: defaults, stored settings, stored trackers, the choice, "Idle...".
    void OnInitDialog();
    void fillTrackerChoice();
    // "...": the tracker list dialog, then the list is saved whatever closed it.
    void OnEditTrackers();
    // "Settings": the settings dialog, saved only when closed with OK.
    void OnSettings();
    // The run buttons. "Let's Go" is also the Enter key.
    void OnLetsGo();
    void OnListen();
    void OnCheckPort();

    // Rebuilds `image` from the XML file; the reason when the reader refused it.
    Status ReadConfigFile(const QString& path, int deviceType);
    // A new listening socket on settings.localPort in place of the earlier one. The
    // failure's message names the port and the system's reason.
    Status StartListening();
    void StopListening();
    // The accept notification: takes the one connection and closes the listener.
    void AcceptTracker();
    // The read notification of a connection.
    void ReceiveFromTracker(TrackerSocket& socket);

    // Steps shared by the three run buttons.
    // Steps 1 to 8 of a press: the stop of a waiting run, the tracker, the file, the
    // reader. Nothing when the press ended there (stopped, nothing chosen, refused).
    std::optional<PreparedRun> PrepareRun(RunButton run);
    // The listening step: StartListening, then "Stop!!!" and the run's flag, the other
    // run buttons disabled. On failure the stop box, and the run stays Ready.
    bool BeginWaiting(RunButton run);
    // The operator's stop of a waiting run.
    void StopRun(RunButton run);
    // The wait ends without the operator (velactl's --timeout, the window closed): the
    // run's verdict is no-call with `detail`, or hung-up when a tracker had identified
    // itself but not answered.
    void AbandonRun(const QString& detail = {});
    // The run's flag (goActive, listenActive, portCheckActive).
    bool& activeFlag(RunButton run);
    static QString restCaption(RunButton run);

    // The port the listener is bound to (0 when none listens); for tests and tools.
    quint16 listeningPort() const;
    const std::filesystem::path& workingDirectoryPath() const { return workingDirectory; }
    // Callers accepted that have not identified themselves yet.
    std::size_t pendingCallerCount() const { return pendingCallers_.size(); }
    // The bytes they have sent so far (what their identification step will read).
    std::size_t pendingCallerBytes() const {
        std::size_t total = 0;
        for (const PendingCaller& caller : pendingCallers_) total += caller.received.size();
        return total;
    }

    // Test seams: the XML reader and the pauses.
    void setConfigReader(ConfigReader reader) { configReader_ = std::move(reader); }
    void setPauses(Pauses pauses) { pauses_ = pauses; }
    const Pauses& pauses() const { return pauses_; }
    // The modem dialogue's time limits; shortened only by tests.
    void setDialogueLimits(DialogueLimits limits) { dialogueLimits_ = limits; }
    MainDialogView& view() { return view_; }

    // The long-lived objects, in declaration order.
    SerialPort serialPort;
    ProgramSettings settings;
    // The station's options: who may call the runs' listener (empty: everyone), and
    // whether SMS ask for delivery reports.
    StationOptions options;
    // Replaces the stored allow-list for this window's runs (velactl's --allow-from).
    void overrideAllowFrom(AddressAllowList allowFrom);
    const std::filesystem::path workingDirectory;
    TrackerList trackers;
    ByteString receivedData;
    std::unique_ptr<ListenSocket> listenSocket;
    std::unique_ptr<TrackerSocket> trackerSocket;
    ConfigImage image;
    bool goActive = false;
    bool listenActive = false;
    bool portCheckActive = false;
    // Sent with the port check's test message.
    QString installationTag;

signals:
    // A session ended (answer, test server, close, failure); emitted when its handler
    // is done with the window.
    void SessionEnded(vela::MainDialog::SessionOutcome outcome);
    // A run has its verdict (the window has shown it and the history has its row).
    // Not for wrong-caller: that run goes on waiting.
    void RunEnded(vela::Verdict verdict);

private:
    // A caller accepted by the listener that has not identified itself yet.
    struct PendingCaller {
        std::unique_ptr<TrackerSocket> socket;
        ByteString received;
        std::chrono::steady_clock::time_point acceptedAt;
    };

    void reportStorageError(const std::string& message);
    // The run's record: begun when the run starts, given its verdict once.
    void beginRecord(RunButton run, const TrackerEntry* tracker, const QString& configPath);
    void endRecord(std::optional<HistoryRecord>& record, Verdict verdict, const QString& detail,
                   bool show);
    void writeHistory(const HistoryRecord& record);
    // Binds the listener for `run`; on failure the box, "Idle..." and listen-failed.
    bool listenForRun(RunButton run);
    void receiveFromPending(std::size_t index);
    void identifyPending(std::size_t index);
    // Closes every caller that has not identified itself (the run stopped or found its
    // caller).
    void dropPendingCallers();
    // A caller that went away or stayed silent: a note, and the run waits on.
    void dropStray(std::size_t index, const QString& note);
    void checkSilentCallers();
    // What the run waits for: the IMEI a caller must give, or nothing when any will do.
    std::optional<std::string> expectedImei(RunButton run) const;
    void identifyCaller(TrackerSocket& socket);
    void takeAnswer(TrackerSocket& socket);
    void reportSessionEnd(TrackerSocket& socket);
    void onTrackerEnded(TrackerSocket& socket);
    // Returns the run that was waiting for this session to Ready (flag, caption, buttons).
    void finishSessionRun();
    void setOtherRunsEnabled(RunButton run, bool enabled);
    // A "Let's Go" whose SMS did not go out returns to Ready: bar hidden, "Idle...".
    void endWithoutSms();

    MainDialogView& view_;
    ConfigReader configReader_;
    Pauses pauses_;
    DialogueLimits dialogueLimits_;
    // While the modem dialogue runs, "Stop!!!" (the Let's Go button) sets the flag the
    // dialogue looks at.
    bool modemStepActive_ = false;
    std::atomic<bool> modemCancel_{false};
    // Which run listens, and which one the current session belongs to: a session ends
    // only the run whose listener accepted it, and only while that run still waits.
    struct RunTicket {
        RunButton run;
        unsigned serial;
    };
    unsigned runSerial_ = 0;
    std::optional<RunTicket> listeningRun_;
    std::optional<RunTicket> sessionRun_;
    int handlerDepth_ = 0;
    std::vector<PendingCaller> pendingCallers_;
    QTimer silenceTimer_;
    // The description of the tracker the waiting run was started for.
    std::string runTracker_;
    // The record of the run being prepared or waiting, and of the session being served
    // (a stopped run's session may still end while a new run waits).
    std::optional<HistoryRecord> runRecord_;
    std::optional<HistoryRecord> sessionRecord_;
    // Set when the stored trackers exist but could not be read at start-up: the list in
    // memory is then not the stored one, and saving it would replace the stored rows.
    bool storedTrackersUnread_ = false;
    // A shared database instead of settings.accdb; the stamp of the tracker list as it
    // was loaded or last saved, so that another operator's (or velactl's) change is not
    // overwritten, whichever database holds the list.
    std::optional<std::string> databaseUrl_;
    TrackerListStamp loadedTrackersStamp_ = 0;
    std::unique_ptr<StorageEngine> storage();
    // Offers to reload a tracker list that another operator changed meanwhile.
    void offerTrackerReload();
    // Takes in the stored list when it can be read; this one stays otherwise.
    void reloadTrackersQuietly();
    // The settings as loaded or last saved, against which a save checks the stored row.
    ProgramSettings loadedSettings_;
    // Why no run may start (empty when runs may): a stored value that was out of range
    // and replaced by its default (the SMS would carry a port nobody chose), or options
    // that could not be read (an allow-list that cannot be read must not let everyone
    // call). Each is cleared when the operator saves the values concerned.
    std::string settingsProblem_;
    std::string trackersProblem_;
    std::string optionsProblem_;
};

}  // namespace vela
