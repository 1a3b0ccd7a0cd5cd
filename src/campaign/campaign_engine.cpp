#include "campaign/campaign_engine.h"
#include "modem/modem_check.h"

#include "campaign/campaign_book.h"
#include "campaign/campaign_journal.h"
#include "campaign/campaign_keeper.h"
#include "campaign/campaign_listener.h"
#include "campaign/campaign_policy.h"
#include "campaign/campaign_setup.h"
#include "campaign/wake_pipe.h"
#include "modem/serial_port.h"
#include "modem/serial_trace.h"
#include "storage/campaign_store.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vela {

using std::chrono::milliseconds;

namespace {

// Trackers claimed and taken on at once before the first SMS.
constexpr int kClaimSlice = 4096;

}  // namespace

struct CampaignEngine::Impl : CampaignSessionHost {
    std::shared_ptr<const StorageEngine> store;
    std::shared_ptr<const CampaignStorage> campaigns;
    std::unique_ptr<CampaignPolicy> policy;
    CampaignStationSettings stationSettings;
    CampaignObserver* observer;
    CampaignLimits limits;
    std::atomic<bool> stopRequested{false};
    std::atomic<uint16_t> boundPort{0};
    std::filesystem::path traceFile;
    WakePipe wakePipe;
    std::mutex smsTurnMutex;  // guards nextSmsTurn
    CampaignClock::time_point nextSmsTurn{};

    // The run in progress; the book and everything below are guarded by `mutex`.
    std::mutex mutex;
    std::condition_variable sendable;
    std::optional<PreparedRun> run;
    std::optional<CampaignBook> book;
    bool runEnded = false;
    std::atomic<int64_t> campaignOpen{0};  // trackers of the whole campaign without a verdict
    std::unique_ptr<CampaignJournal> journal;
    std::unique_ptr<CampaignClaims> claims;  // used by the keeper (or Run before it starts)
    std::unique_ptr<CampaignKeeper> keeper;  // in a shared database

    Impl(std::shared_ptr<const StorageEngine> storage,
         std::shared_ptr<const CampaignStorage> campaignStorage, CampaignObserver* watcher)
        : store(std::move(storage)),
          campaigns(std::move(campaignStorage)),
          policy(MakeCampaignPolicy(*campaigns)),
          observer(watcher) {}

    // Hands what the book decided to the journal, in order; each announcement follows
    // its save. The ticket of the last save. The caller holds `mutex`.
    uint64_t Carry() {
        uint64_t ticket = 0;
        for (BookEntry& entry : book->TakeOutbox()) {
            std::function<void()> announce;
            if (entry.warning && observer != nullptr) {
                announce = [watcher = observer, text = *entry.warning] { watcher->Warning(text); };
            } else if (entry.update && observer != nullptr) {
                announce = [watcher = observer, update = std::move(*entry.update)] {
                    watcher->TrackerChanged(update);
                };
            }
            CampaignChange change;
            change.tracker = std::move(entry.row);
            change.history = std::move(entry.history);
            const bool saves = change.tracker.has_value();
            const uint64_t pushed = journal->Push(std::move(change), std::move(announce));
            if (saves) ticket = pushed;
        }
        // Claimed a batch ahead, so the modems never wait for the database.
        if (keeper && (book->wantsClaims() || book->open() == 0)) keeper->Nudge();
        sendable.notify_all();
        return ticket;
    }

    // --- the listener's side ---

    SaveState Saved(uint64_t ticket) override { return journal->StateOf(ticket); }

    Claim ClaimCaller(const std::string& imei, const std::string& address) override {
        std::lock_guard lock(mutex);
        const CallerDecision decision = book->CallerIdentified(imei, address, BookTime::Now());
        if (decision.image == nullptr) {
            if (observer != nullptr) {
                journal->Push({}, [watcher = observer, shown = displayImei(imei), address] {
                    watcher->CallerRefused(shown, address);
                });
            }
            return {};
        }
        return {decision.image, Carry()};
    }

    void FinishCall(const std::string& imei, CallEnd end, const ByteString& answer) override {
        std::lock_guard lock(mutex);
        book->CallEnded(imei, end, answer, BookTime::Now());
        Carry();
    }

    Plan Due(CampaignClock::time_point) override {
        std::lock_guard lock(mutex);
        Plan plan;
        if (stopRequested.load()) book->Stop();
        plan.next = book->Tick(BookTime::Now());
        Carry();
        plan.stopping = book->stopped() || book->halted() || journal->Failed();
        plan.finished = policy->finished(book->open(), campaignOpen.load());
        return plan;
    }

    void ListenerNote(const std::string& line) override {
        if (observer != nullptr) journal->AnnounceNow([&] { observer->Warning(line); });
    }

    // Another station holds the tracker now: this one lets it go without a word more.
    void Release(const CampaignTrackerRecord& row) {
        std::lock_guard lock(mutex);
        book->Release(row.tracker);
        Carry();
    }

    // --- the modems' side ---

    // The next order for this modem, or nothing when the modem is to stop.
    std::optional<SendOrder> NextOrder(std::unique_lock<std::mutex>& lock,
                                       const std::string& portName) {
        for (;;) {
            if (runEnded || stopRequested.load() || journal->Failed()) return std::nullopt;
            if (book->stopped() || book->halted() || !book->inService(portName))
                return std::nullopt;
            if (std::optional<SendOrder> order = book->NextToSend(portName, BookTime::Now()))
                return order;
            Carry();  // trackers that could not be sent at all got their verdict
            // Bounded, as a stop requested from a signal handler cannot notify.
            sendable.wait_for(lock, milliseconds(500));
        }
    }

    // Why the modem cannot send (its SIM, its registration, no answer at all), or nothing.
    std::string UnfitToSend(SerialPort& port, const std::string& portName) {
        if (Status opened = port.Open(portName); !opened || !port.IsOpen()) {
            return opened ? "the port did not open" : opened.message();
        }
        const ModemCheck check = CheckModem(port, limits.dialogue.shortStep);
        port.Close();
        return check.canSend ? std::string() : check.reason;
    }

    std::unique_ptr<SerialTrace> OpenTrace(SerialPort& port, const std::string& portName,
                                           std::size_t modemIndex) {
        if (traceFile.empty()) return nullptr;
        Result<std::unique_ptr<SerialTrace>> created = OpenModemTrace(traceFile, modemIndex, port);
        if (!created && observer != nullptr) {
            journal->AnnounceNow([&] {
                observer->Warning("no trace of modem " + portName + ": " + created.message());
            });
        }
        return created ? std::move(created).value() : nullptr;
    }

    // Waits for this station's next SMS turn under the rate limit; false when a stop
    // came first (the order is then not carried out).
    bool AwaitSmsTurn() {
        if (limits.smsSpacing.count() <= 0) return true;
        CampaignClock::time_point turn;
        {
            std::lock_guard lock(smsTurnMutex);
            turn = std::max(CampaignClock::now(), nextSmsTurn);
            nextSmsTurn = turn + limits.smsSpacing;
        }
        while (CampaignClock::now() < turn) {
            if (stopRequested.load()) return false;
            std::this_thread::sleep_for(
                std::min<CampaignClock::duration>(turn - CampaignClock::now(), milliseconds(100)));
        }
        return !stopRequested.load();
    }

    // One modem's thread: an SMS goes out only once its "sending" row is saved.
    void RunModem(const std::string& portName, std::size_t modemIndex) {
        SerialPort port;
        const std::unique_ptr<SerialTrace> trace = OpenTrace(port, portName, modemIndex);
        const std::string unfit = limits.checkModems ? UnfitToSend(port, portName) : "";
        std::unique_lock lock(mutex);
        if (!unfit.empty()) {
            book->LeaveOut(portName, unfit);
            Carry();
        }
        // Operators throttle SIMs that send too fast: SMS starts at least this far apart.
        const int perMinute = run->smsPerMinute;
        std::optional<CampaignClock::time_point> nextStart;
        for (;;) {
            while (perMinute > 0 && nextStart && CampaignClock::now() < *nextStart && !runEnded &&
                   !stopRequested.load()) {
                sendable.wait_until(lock,
                                    std::min(*nextStart, CampaignClock::now() + milliseconds(500)));
            }
            std::optional<SendOrder> order = NextOrder(lock, portName);
            if (!order) break;
            if (perMinute > 0) {
                nextStart =
                    CampaignClock::now() +
                    std::chrono::duration_cast<CampaignClock::duration>(std::chrono::minutes(1)) /
                        perMinute;
            }
            const uint64_t ticket = Carry();
            lock.unlock();
            const bool saved = journal->WaitSaved(ticket, stopRequested) && AwaitSmsTurn();
            DialogueOutcome outcome;
            if (saved) {
                outcome = RunSmsDialogue(port, portName, order->pushMessage, limits.dialogue);
                port.Close();
            }
            lock.lock();
            if (saved)
                book->SmsDone(*order, outcome, BookTime::Now());
            else
                book->SmsNotStarted(*order, BookTime::Now());
            Carry();
            wakePipe.wake();
        }
        sendable.notify_all();
        wakePipe.wake();
    }

    // --- the run ---

    // The journal that saves this station's changes, and what it tells.
    Status OpenJournal(int64_t id) {
        Result<std::unique_ptr<CampaignWriter>> writer =
            campaigns->openWriter(id, run->station, limits.lease);
        if (!writer) return writer.status();
        CampaignJournal::Callbacks callbacks;
        callbacks.onSaved = [this] { wakePipe.wake(); };
        callbacks.onRefused = [this](const CampaignTrackerRecord& row) { Release(row); };
        callbacks.onOutage = [this](const std::string& reason) {
            if (observer == nullptr) return;
            observer->Warning(reason.empty() ? "saving goes on"
                                             : "cannot save, trying again: " + reason);
        };
        journal =
            std::make_unique<CampaignJournal>(std::move(writer).value(), std::move(callbacks));
        return Status::Ok();
    }

    // Joins the campaign and takes on its first trackers; nothing is sent yet. The
    // campaign is marked running (and announced) before a modem starts.
    Status Join(int64_t id) {
        Result<std::unique_ptr<CampaignClaims>> joined =
            campaigns->openClaims(id, run->station, limits.lease);
        if (!joined) return joined.status();
        claims = std::move(joined).value();
        if (Status opened = OpenJournal(id); !opened) return opened;
        const std::vector<std::string>& modems = run->campaign.modemPorts;
        BookRules rules;
        rules.attempts = static_cast<int>(run->campaign.attempts);
        rules.wait = std::chrono::seconds(run->campaign.waitSeconds);
        rules.modemFailuresToRetire = limits.modemFailuresToRetire;
        // The first trackers are claimed before any modem starts: all of them when this
        // station is alone with the campaign, a slice at a time, so that a fleet is never
        // held twice over, as claimed rows and as the book's.
        {
            std::lock_guard lock(mutex);
            book.emplace(run->campaign, rules, modems, std::chrono::system_clock::now());
        }
        for (int left = policy->firstClaim(static_cast<int>(modems.size())); left > 0;) {
            const int asked = std::min(left, kClaimSlice);
            Result<std::vector<CampaignTrackerRecord>> slice = claims->claim(asked);
            if (!slice) return slice.status();
            const int taken = static_cast<int>(slice.value().size());
            std::lock_guard lock(mutex);
            book->Adopt(BookTrackersOf(*run, std::move(slice).value(), !policy->keeps()),
                        BookTime::Now());
            if (taken < asked) break;
            left -= taken;
        }
        if (Result<int64_t> open = claims->openCount(); open) campaignOpen = open.value();
        CampaignChange running;
        running.campaignState = kCampaignRunning;
        running.campaignId = id;
        running.runnerPid = ::getpid();
        std::function<void()> started;
        if (observer != nullptr) {
            started = [watcher = observer, id, total = static_cast<int>(run->campaign.total)] {
                watcher->CampaignStarted(id, total);
            };
        }
        const uint64_t runningTicket = journal->Push(std::move(running), std::move(started));
        {
            std::lock_guard lock(mutex);
            Carry();
        }
        // A station alone took every tracker: the wake-ups of the list's others are not
        // needed again.
        if (!policy->keeps()) run->wakeUps = {};
        if (Result<std::vector<std::string>> elsewhere = claims->heldElsewhere();
            elsewhere && !elsewhere.value().empty() && observer != nullptr) {
            journal->Push({}, [watcher = observer, text = HeldElsewhereText(elsewhere.value())] {
                watcher->Warning(text);
            });
        }
        if (!journal->WaitSaved(runningTicket, stopRequested) && journal->Failed()) {
            return journal->Close().withContext("cannot save the campaign: ");
        }
        return Status::Ok();
    }

    // Serves and sends until the campaign is done or stopped, then lets every thread go.
    std::unique_ptr<CampaignKeeper> StartKeeper() {
        CampaignKeeper::Station station;
        station.claimRoom = [this] {
            std::lock_guard lock(mutex);
            return book->claimRoom();
        };
        station.adopt = [this](std::vector<CampaignTrackerRecord> rows) {
            std::lock_guard lock(mutex);
            book->Adopt(BookTrackersOf(*run, std::move(rows), false), BookTime::Now());
            Carry();
        };
        station.campaignOpen = [this](int64_t open) { campaignOpen = open; };
        // Said at once: the journal may be waiting for the same database.
        station.warn = [this](const std::string& text) {
            if (observer != nullptr) journal->AnnounceNow([&] { observer->Warning(text); });
        };
        station.wake = [this] { wakePipe.wake(); };
        return std::make_unique<CampaignKeeper>(*claims, limits.lease, std::move(station));
    }

    void Work(CampaignListener& listener) {
        if (policy->keeps()) {
            std::lock_guard lock(mutex);  // Carry reads it
            keeper = StartKeeper();
        }
        std::vector<std::thread> modems;
        for (std::size_t index = 0; index < run->campaign.modemPorts.size(); ++index) {
            modems.emplace_back(
                [this, index] { RunModem(run->campaign.modemPorts[index], index); });
        }
        ListenerLimits listenerLimits;
        listenerLimits.maxSessions = limits.maxSessions;
        listenerLimits.identifyLimit = limits.identifyLimit;
        listenerLimits.sessionLimit = limits.sessionLimit;
        listenerLimits.stopGrace = limits.stopGrace;
        listenerLimits.callers.allowFrom = run->options.allowFrom;
        listener.Serve(*this, listenerLimits, wakePipe.readEnd());
        {
            std::lock_guard lock(mutex);
            runEnded = true;
            sendable.notify_all();
        }
        for (std::thread& modem : modems) modem.join();
        std::unique_ptr<CampaignKeeper> stopped;
        {
            std::lock_guard lock(mutex);
            stopped = std::move(keeper);
        }
        stopped.reset();  // joins its thread, outside the lock it takes
    }

    // Saves what is left, gives back what is still open (the last station out marks the
    // campaign finished or interrupted), and sums the campaign up.
    Result<CampaignSummary> Finish(int64_t id) {
        std::string reason;
        {
            std::lock_guard lock(mutex);
            if (book->halted()) reason = *book->halted();
        }
        Status saved = journal->Close(limits.stopGrace);
        journal.reset();
        if (reason.empty()) {
            if (Result<std::vector<std::string>> elsewhere = claims->heldElsewhere();
                elsewhere && !elsewhere.value().empty()) {
                reason = HeldElsewhereText(elsewhere.value());
            }
        }
        Status left = claims->leave();
        claims.reset();
        if (!saved) return saved.withContext("cannot save the campaign: ");
        if (!left) return left.withContext("cannot leave the campaign: ");
        std::lock_guard lock(mutex);
        return SummarizeCampaign(
            *campaigns, id, [this] { return book->rows(); }, std::move(reason));
    }

    Result<CampaignSummary> Run(int64_t id) {
        if (!wakePipe.ok()) return Result<CampaignSummary>::Fail("cannot create the wake-up pipe");
        {
            std::lock_guard lock(mutex);
            runEnded = false;
            book.reset();
        }
        Result<PreparedRun> prepared = PrepareRun(*store, *campaigns, id, stationSettings);
        if (!prepared) return prepared.status();
        run = std::move(prepared).value();
        if (Status free = policy->mayStart(run->campaign); !free) return free;
        if (Status opened = CheckModemsOpen(run->campaign.modemPorts); !opened) return opened;
        // Listening comes first: a tracker is never woken towards a port that is not ours.
        Result<CampaignListener> listener = CampaignListener::Bind(run->listenPort);
        if (!listener) return listener.status().withContext("cannot listen on ");
        boundPort = listener.value().port();
        if (Status joined = Join(id); !joined) {
            if (journal) (void)journal->Close();
            journal.reset();
            if (claims) (void)claims->leave();
            claims.reset();
            return joined;
        }
        Work(listener.value());
        return Finish(id);
    }
};

CampaignEngine::CampaignEngine(std::filesystem::path dataDirectory, CampaignObserver* observer)
    : CampaignEngine(std::make_shared<SqliteStorage>(dataDirectory),
                     std::make_shared<CampaignStore>(dataDirectory), observer) {}

CampaignEngine::CampaignEngine(std::shared_ptr<const StorageEngine> store,
                               std::shared_ptr<const CampaignStorage> campaigns,
                               CampaignObserver* observer)
    : impl_(std::make_unique<Impl>(std::move(store), std::move(campaigns), observer)) {}

CampaignEngine::~CampaignEngine() = default;

void CampaignEngine::setStation(const CampaignStationSettings& station) {
    impl_->stationSettings = station;
}

void CampaignEngine::setLimits(const CampaignLimits& limits) {
    impl_->limits = limits;
}

void CampaignEngine::setModemTrace(const std::filesystem::path& file) {
    impl_->traceFile = file;
}

uint16_t CampaignEngine::listeningPort() const {
    return impl_->boundPort.load();
}

void CampaignEngine::RequestStop() {
    impl_->stopRequested.store(true);
    impl_->wakePipe.wake();
}

Result<CampaignSummary> CampaignEngine::Run(int64_t id) {
    // A stop asked for before the run began is honoured; it is cleared only once the
    // run is over, so that a later Run starts afresh.
    Result<CampaignSummary> summary = impl_->Run(id);
    impl_->stopRequested.store(false);
    return summary;
}

Result<int64_t> CampaignEngine::Create(const CampaignRequest& request) {
    return CreateCampaign(*impl_->store, *impl_->campaigns, request);
}

}  // namespace vela
