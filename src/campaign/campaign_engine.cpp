#include "campaign/campaign_engine.h"

#include "campaign/campaign_journal.h"
#include "campaign/campaign_listener.h"
#include "config/config_reader.h"
#include "link/config_session.h"
#include "modem/push_message.h"
#include "modem/serial_port.h"
#include "modem/serial_trace.h"
#include "storage/campaign_store.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <queue>
#include <set>
#include <thread>
#include <unordered_map>

namespace vela {

namespace {

using std::chrono::milliseconds;

std::string joinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

bool isImei(const std::string& text) {
    return text.size() == kImeiLength &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int64_t unixMilliseconds(std::chrono::system_clock::time_point when) {
    return std::chrono::duration_cast<milliseconds>(when.time_since_epoch()).count();
}

std::string hexText(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<ConfigImage> imageFromHex(std::string_view hex) {
    if (hex.size() % 2 != 0 || hex.size() / 2 > ConfigImage::kCapacity) return std::nullopt;
    ConfigImage image;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        image.bytes[i / 2] = static_cast<uint8_t>(high * 16 + low);
    }
    image.length = static_cast<uint16_t>(hex.size() / 2);
    return image;
}

// "TYPE HEX" lines, one per device type.
std::map<int, ConfigImage> decodeImages(const std::string& text, std::string& error) {
    std::map<int, ConfigImage> images;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + at, end - at);
        at = end + 1;
        const std::size_t space = line.find(' ');
        int type = -1;
        if (space != std::string_view::npos && space > 0 && space < 4) {
            type = 0;
            for (char c : line.substr(0, space)) {
                type = (c >= '0' && c <= '9') ? type * 10 + (c - '0') : -1;
                if (type < 0) break;
            }
        }
        const std::optional<ConfigImage> image =
            type < 0 ? std::nullopt : imageFromHex(line.substr(space + 1));
        if (!image) {
            error = "the stored image of the campaign is damaged";
            return {};
        }
        images[type] = *image;
    }
    return images;
}

// The count that the answer reports (bytes 1 and 2), when it holds one.
std::optional<int64_t> answerCount(const ByteString& answer) {
    if (answer.size() < 3) return std::nullopt;
    return (static_cast<int64_t>(answer[1]) << 8) | answer[2];
}

int64_t imageCount(const ConfigImage& image) {
    return (static_cast<int64_t>(image.bytes[0]) << 8) | image.bytes[1];
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

std::string addressText(uint32_t ip, int port) {
    return formatIpv4(ip) + ":" + std::to_string(port);
}

bool processAlive(int64_t pid) {
    if (pid <= 0 || pid == ::getpid()) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

std::string_view CampaignEventWord(CampaignEvent event) {
    switch (event) {
        case CampaignEvent::SmsSent:
            return "sms-sent";
        case CampaignEvent::SmsFailed:
            return "sms-failed";
        case CampaignEvent::Called:
            return "called";
        case CampaignEvent::Configured:
            return "configured";
        case CampaignEvent::Rejected:
            return "rejected";
        case CampaignEvent::HungUp:
            return "hung-up";
        case CampaignEvent::NoCall:
            return "no-call";
        case CampaignEvent::Retry:
            break;
    }
    return "retry";
}

std::string_view CampaignTrackerStateWord(CampaignTrackerState state) {
    switch (state) {
        case CampaignTrackerState::Pending:
            return "pending";
        case CampaignTrackerState::Sending:
            return "sending";
        case CampaignTrackerState::Waiting:
            return "waiting";
        case CampaignTrackerState::Configured:
            return "configured";
        case CampaignTrackerState::Failed:
            break;
    }
    return "failed";
}

std::optional<CampaignTrackerState> CampaignTrackerStateFromWord(std::string_view word) {
    for (CampaignTrackerState state :
         {CampaignTrackerState::Pending, CampaignTrackerState::Sending,
          CampaignTrackerState::Waiting, CampaignTrackerState::Configured,
          CampaignTrackerState::Failed}) {
        if (CampaignTrackerStateWord(state) == word) return state;
    }
    return std::nullopt;
}

struct CampaignEngine::Impl : CampaignSessionHost {
    struct Slot {
        CampaignTrackerRecord row;
        CampaignTrackerState state = CampaignTrackerState::Pending;
        std::optional<TrackerEntry> entry;
        std::string pushMessage;
        std::string refusal;  // why no SMS can be built for it
        const ConfigImage* image = nullptr;
        bool inSession = false;
        bool queued = false;
        bool held = true;            // false once another station took it over
        uint64_t tenure = 0;         // counts the times this station took it on
        bool answerUnknown = false;  // the image went out before an interruption
        std::string avoidModem;      // the modem its last SMS failed on
        std::string attemptStartedAt;
        CampaignClock::time_point deadline;
        uint64_t deadlineGeneration = 0;
    };
    struct Deadline {
        CampaignClock::time_point when;
        std::size_t slot;
        uint64_t generation;
        bool operator>(const Deadline& other) const { return when > other.when; }
    };

    std::shared_ptr<const StorageEngine> store;
    std::shared_ptr<const CampaignStorage> campaigns;
    CampaignStationSettings stationSettings;
    CampaignStationInfo station;
    CampaignObserver* observer;
    CampaignLimits limits;
    std::atomic<bool> stopRequested{false};
    uint16_t boundPortWanted = 0;  // the settings' listening port
    std::atomic<uint16_t> boundPort{0};
    std::filesystem::path traceFile;
    int wakePipe[2] = {-1, -1};

    // The state of the run in progress; everything below is guarded by `mutex`.
    std::mutex mutex;
    std::condition_variable sendable;
    CampaignRecord campaign;
    ProgramSettings settings;  // with this station's address
    TrackerList trackerList;
    std::map<int, ConfigImage> images;
    std::deque<Slot> slots;  // grows as trackers are claimed; references stay valid
    std::unordered_map<std::string, std::size_t> byImei;
    std::deque<std::size_t> sendQueue;
    std::priority_queue<Deadline, std::vector<Deadline>, std::greater<>> deadlines;
    int heldOpen = 0;                      // held slots without a verdict
    std::atomic<int64_t> campaignOpen{0};  // trackers of the whole campaign without one
    int modemsInService = 0;
    int smsInFlight = 0;
    bool runEnded = false;
    CampaignClock::time_point runStarted;
    std::unique_ptr<CampaignJournal> journal;
    std::unique_ptr<CampaignClaims> claims;  // used by the keeper (or Run before it starts)
    std::mutex keeperMutex;
    std::condition_variable keeperWake;
    bool keeperStop = false;
    bool keeperNudged = false;  // claim (or look) again now, without waiting for the tick

    Impl(std::shared_ptr<const StorageEngine> storage,
         std::shared_ptr<const CampaignStorage> campaignStorage, CampaignObserver* watcher)
        : store(std::move(storage)), campaigns(std::move(campaignStorage)), observer(watcher) {
        if (::pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) wakePipe[0] = wakePipe[1] = -1;
    }
    ~Impl() override {
        for (int fd : wakePipe) {
            if (fd >= 0) ::close(fd);
        }
    }

    void wake() {
        if (wakePipe[1] >= 0) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
        }
    }

    // --- changes: applied in memory at once, saved and announced by the journal ---

    CampaignTrackerUpdate updateOf(const Slot& slot, CampaignEvent event) const {
        CampaignTrackerUpdate update;
        update.description = slot.row.tracker;
        update.event = event;
        update.detail = slot.row.detail;
        update.state = slot.state;
        update.attempts = static_cast<int>(slot.row.attempts);
        update.modemPort = slot.row.modemPort;
        update.callerAddress = slot.row.callerAddress;
        update.answer = slot.row.answer;
        update.verdict = slot.row.verdict;
        update.elapsed =
            std::chrono::duration_cast<milliseconds>(CampaignClock::now() - runStarted);
        return update;
    }

    HistoryRecord historyOf(const Slot& slot, Verdict verdict,
                            std::optional<int64_t> answerBytes) const {
        HistoryRecord record;
        record.startedAt =
            slot.attemptStartedAt.empty() ? HistoryTimestamp() : slot.attemptStartedAt;
        record.endedAt = HistoryTimestamp();
        record.kind = kRunKindCampaign;
        record.tracker = slot.row.tracker;
        record.phone = slot.row.phone;
        record.modemPort = slot.row.modemPort;
        record.configFile = campaign.configFile;
        record.configSha256 = campaign.configSha256;
        record.imageBytes = slot.image != nullptr ? imageCount(*slot.image) : 0;
        record.callerAddress = slot.row.callerAddress;
        record.callerImei = slot.row.callerImei;
        record.answerBytes = answerBytes;
        record.verdict = verdict;
        record.detail = slot.row.detail;
        record.campaignId = campaign.id;
        return record;
    }

    // Saves the slot's row (and a history row); announces `event` once saved.
    uint64_t record(Slot& slot, std::optional<CampaignEvent> event,
                    std::optional<HistoryRecord> history = std::nullopt) {
        slot.row.state = std::string(CampaignTrackerStateWord(slot.state));
        if (event) slot.row.lastEvent = std::string(CampaignEventWord(*event));
        slot.row.updatedAt = HistoryTimestamp();
        CampaignChange change;
        change.tracker = slot.row;
        change.history = std::move(history);
        std::function<void()> announce;
        if (event && observer != nullptr) {
            announce = [watcher = observer, update = updateOf(slot, *event)] {
                watcher->TrackerChanged(update);
            };
        }
        return journal->Push(std::move(change), std::move(announce));
    }

    void setFinal(Slot& slot, CampaignTrackerState state, Verdict verdict) {
        slot.state = state;
        slot.row.verdict = std::string(VerdictWord(verdict));
        if (--heldOpen == 0) nudgeKeeper();
    }

    void nudgeKeeper() {
        std::lock_guard lock(keeperMutex);
        keeperNudged = true;
        keeperWake.notify_all();
    }

    void setDeadline(std::size_t index, CampaignClock::time_point when) {
        Slot& slot = slots[index];
        slot.deadline = when;
        ++slot.deadlineGeneration;
        deadlines.push({when, index, slot.deadlineGeneration});
    }

    // After a failed SMS or a missed call: again, behind the others of this round, while
    // attempts are left; otherwise the verdict stands.
    void retryOrFail(std::size_t index, CampaignEvent event, Verdict verdict) {
        Slot& slot = slots[index];
        // A tracker that may hold the image already is never woken again: it would be
        // configured twice.
        const bool again =
            slot.row.attempts < campaign.attempts && slot.refusal.empty() && !slot.answerUnknown;
        if (slot.answerUnknown && event == CampaignEvent::NoCall) {
            slot.row.detail = "the image went out before an interruption; the answer is unknown";
        }
        if (!again)
            setFinal(slot, CampaignTrackerState::Failed, verdict);
        else
            slot.state = CampaignTrackerState::Pending;
        record(slot, event, historyOf(slot, verdict, std::nullopt));
        if (again) {
            slot.row.detail.clear();
            record(slot, CampaignEvent::Retry);
            slot.queued = true;
            sendQueue.push_back(index);
            sendable.notify_all();
        }
    }

    // Passed on in order with the changes; the caller holds `mutex`.
    void warn(const std::string& text) {
        if (observer == nullptr) return;
        journal->Push({}, [watcher = observer, text] { watcher->Warning(text); });
    }

    // --- the listener's side ---

    SaveState Saved(uint64_t ticket) override { return journal->StateOf(ticket); }

    // Another station holds the tracker now: this one lets it go without a word more.
    void Release(const CampaignTrackerRecord& row) {
        std::lock_guard lock(mutex);
        const auto found = byImei.find(row.tracker);
        if (found == byImei.end()) return;
        Slot& slot = slots[found->second];
        if (!slot.held) return;
        slot.held = false;
        if (slot.state != CampaignTrackerState::Configured &&
            slot.state != CampaignTrackerState::Failed) {
            if (--heldOpen == 0) nudgeKeeper();
        }
        sendable.notify_all();
    }

    Claim ClaimCaller(const std::string& imei, const std::string& address) override {
        std::lock_guard lock(mutex);
        const auto found = byImei.find(imei);
        Slot* slot = found == byImei.end() ? nullptr : &slots[found->second];
        if (slot == nullptr || !slot->held || slot->inSession || slot->image == nullptr ||
            slot->state == CampaignTrackerState::Configured ||
            slot->state == CampaignTrackerState::Failed) {
            if (observer != nullptr) {
                journal->Push({}, [watcher = observer, shown = displayImei(imei), address] {
                    watcher->CallerRefused(shown, address);
                });
            }
            return {};
        }
        slot->inSession = true;
        slot->row.callerAddress = address;
        slot->row.callerImei = imei;
        slot->row.detail = address;
        // Saved before the image goes out: a resumed campaign then knows that this
        // tracker may hold the image already.
        return {slot->image, record(*slot, CampaignEvent::Called)};
    }

    void FinishCall(const std::string& imei, CallEnd end, const ByteString& answer) override {
        std::lock_guard lock(mutex);
        const auto found = byImei.find(imei);
        if (found == byImei.end()) return;
        Slot& slot = slots[found->second];
        slot.inSession = false;
        if (!slot.held) return;
        const int64_t expected = imageCount(*slot.image);
        const std::optional<int64_t> count =
            end == CallEnd::Answered ? answerCount(answer) : std::nullopt;
        if (end == CallEnd::Answered) slot.row.answer = formatAnswer(answer, *slot.image);
        if (count) {
            slot.row.detail = std::to_string(*count) + " of " + std::to_string(expected) + " bytes";
        } else if (end == CallEnd::Answered) {
            slot.row.detail = "short answer (" + std::to_string(answer.size()) + " bytes)";
        }
        if (count && *count == expected) {
            setFinal(slot, CampaignTrackerState::Configured, Verdict::Configured);
            record(slot, CampaignEvent::Configured, historyOf(slot, Verdict::Configured, count));
        } else if (end == CallEnd::Answered) {
            setFinal(slot, CampaignTrackerState::Failed, Verdict::Rejected);
            record(slot, CampaignEvent::Rejected, historyOf(slot, Verdict::Rejected, count));
        } else {
            slot.row.detail = end == CallEnd::TimedOut ? "no answer in time" : "";
            setFinal(slot, CampaignTrackerState::Failed, Verdict::HungUp);
            record(slot, CampaignEvent::HungUp, historyOf(slot, Verdict::HungUp, std::nullopt));
        }
        sendable.notify_all();
    }

    Plan Due(CampaignClock::time_point now) override {
        std::lock_guard lock(mutex);
        Plan plan;
        plan.stopping = stopRequested.load() || journal->Failed();
        if (plan.stopping) sendable.notify_all();
        while (!deadlines.empty() && deadlines.top().when <= now) {
            const Deadline due = deadlines.top();
            deadlines.pop();
            Slot& slot = slots[due.slot];
            if (due.generation != slot.deadlineGeneration || !slot.held ||
                slot.state != CampaignTrackerState::Waiting || slot.inSession) {
                continue;
            }
            slot.row.detail.clear();
            retryOrFail(due.slot, CampaignEvent::NoCall, Verdict::NoCall);
        }
        // With no modem left, trackers still to be sent can never be.
        if (modemsInService == 0 && smsInFlight == 0 && !plan.stopping) {
            for (std::size_t index : sendQueue) {
                Slot& slot = slots[index];
                slot.queued = false;
                if (slot.state != CampaignTrackerState::Pending || slot.inSession || !slot.held)
                    continue;
                slot.row.detail = "no modem left in service";
                setFinal(slot, CampaignTrackerState::Failed, Verdict::SmsFailed);
                record(slot, CampaignEvent::SmsFailed,
                       historyOf(slot, Verdict::SmsFailed, std::nullopt));
            }
            sendQueue.clear();
        }
        plan.finished = heldOpen == 0 && (!campaigns->shared() || campaignOpen.load() == 0);
        if (!deadlines.empty()) plan.next = deadlines.top().when;
        return plan;
    }

    // --- the modems' side ---

    // The next tracker to send to, or nullopt when this modem is to stop.
    std::optional<std::size_t> nextToSend(std::unique_lock<std::mutex>& lock,
                                          const std::string& portName) {
        for (;;) {
            if (runEnded || stopRequested.load() || journal->Failed()) return std::nullopt;
            for (auto at = sendQueue.begin(); at != sendQueue.end();) {
                const std::size_t index = *at;
                Slot& slot = slots[index];
                // A tracker whose SMS failed on this modem goes through another one
                // while there is another.
                if (slot.avoidModem == portName && modemsInService > 1) {
                    ++at;
                    continue;
                }
                at = sendQueue.erase(at);
                slot.queued = false;
                // Claimed a batch ahead, so the modems never wait for the database.
                if (campaigns->shared() &&
                    static_cast<int>(sendQueue.size()) < 2 * modemsInService) {
                    nudgeKeeper();
                }
                // A tracker that called by itself meanwhile needs no SMS.
                if (slot.state == CampaignTrackerState::Pending && !slot.inSession && slot.held)
                    return index;
            }
            // Bounded, as a stop requested from a signal handler cannot notify.
            sendable.wait_for(lock, milliseconds(500));
        }
    }

    void RunModem(const std::string& portName, std::size_t modemIndex) {
        SerialPort port;
        // One trace per modem: FILE for the first, FILE.2, FILE.3... for the others.
        std::unique_ptr<SerialTrace> trace;
        if (!traceFile.empty()) {
            std::filesystem::path file = traceFile;
            if (modemIndex > 0) file += "." + std::to_string(modemIndex + 1);
            Result<std::unique_ptr<SerialTrace>> created = SerialTrace::Create(file);
            if (created) {
                trace = std::move(created).value();
                port.setTrace(trace.get());
            } else {
                std::lock_guard lock(mutex);
                warn("no trace of modem " + portName + ": " + created.message());
            }
        }
        int failuresInARow = 0;
        std::unique_lock lock(mutex);
        for (;;) {
            const std::optional<std::size_t> next = nextToSend(lock, portName);
            if (!next) break;
            Slot& slot = slots[*next];
            if (!slot.refusal.empty()) {
                slot.row.detail = slot.refusal;
                setFinal(slot, CampaignTrackerState::Failed, Verdict::SmsFailed);
                record(slot, CampaignEvent::SmsFailed,
                       historyOf(slot, Verdict::SmsFailed, std::nullopt));
                continue;
            }
            // "About to be sent" is saved before a byte goes to the modem.
            slot.state = CampaignTrackerState::Sending;
            ++slot.row.attempts;
            slot.row.modemPort = portName;
            slot.row.detail.clear();
            slot.attemptStartedAt = HistoryTimestamp();
            const uint64_t ticket = record(slot, std::nullopt);
            ++smsInFlight;
            const std::string message = slot.pushMessage;
            const uint64_t tenure = slot.tenure;
            lock.unlock();
            const bool saved = journal->WaitSaved(ticket, stopRequested);
            DialogueOutcome outcome;
            if (saved) {
                outcome = RunSmsDialogue(port, portName, message, limits.dialogue);
                port.Close();
            }
            const bool accepted = outcome.sent;
            const std::string error = outcome.reason.empty()
                                          ? outcome.failureText
                                          : outcome.failureText + ": " + outcome.reason;
            lock.lock();
            --smsInFlight;
            // Taken over by another station meanwhile: its rows are theirs now. An SMS that
            // went out stays counted there (the row said "sending"), also when the tracker
            // came back to this station meanwhile (then as a new tenure).
            if (!slot.held || slot.tenure != tenure) continue;
            if (!saved) {
                // Stopped before the SMS went out: the attempt is given back, and saved
                // so, lest a resumed campaign count an SMS that was never sent.
                slot.state = CampaignTrackerState::Pending;
                --slot.row.attempts;
                record(slot, std::nullopt);
                break;
            }
            if (accepted) {
                failuresInARow = 0;
                const bool stillOpen = slot.state == CampaignTrackerState::Sending;
                if (stillOpen) {
                    slot.state = CampaignTrackerState::Waiting;
                    const auto wait = std::chrono::seconds(campaign.waitSeconds);
                    slot.row.waitUntilMs =
                        unixMilliseconds(std::chrono::system_clock::now() + wait);
                    setDeadline(*next, CampaignClock::now() + wait);
                }
                slot.row.detail = portName;
                record(slot, CampaignEvent::SmsSent);
                wake();
                continue;
            }
            slot.row.detail = error;
            slot.avoidModem = portName;
            // Before the message itself went to the modem nothing can have been sent: the
            // attempt is given back. A failure after it may hide an SMS that went out.
            if (outcome.stage != DialogueStage::AfterPrompt) --slot.row.attempts;
            if (slot.state == CampaignTrackerState::Sending) {
                slot.state = CampaignTrackerState::Pending;
                retryOrFail(*next, CampaignEvent::SmsFailed, Verdict::SmsFailed);
            } else {
                record(slot, CampaignEvent::SmsFailed);
            }
            if (++failuresInARow >= limits.modemFailuresToRetire) {
                warn("modem " + portName + " taken out of service: " + error);
                break;
            }
        }
        --modemsInService;
        sendable.notify_all();
        wake();
    }

    // --- set-up ---

    // The campaign, its images, and the settings and trackers its SMS are built from.
    Status Load(int64_t id) {
        Result<CampaignRecord> found = campaigns->campaign(id);
        if (!found) return found.status();
        campaign = found.value();
        if (!campaigns->shared() && processAlive(campaign.runnerPid) &&
            campaign.state == kCampaignRunning) {
            return Status::Fail("campaign " + std::to_string(id) + " is being run by process " +
                                std::to_string(campaign.runnerPid));
        }
        std::string error;
        images = decodeImages(campaign.images, error);
        if (!error.empty()) return Status::Fail(error);

        settings = ProgramSettings();
        if (Status loaded = store->loadSettings(settings); !loaded) return loaded;
        trackerList = TrackerList();
        TrackerListStamp stamp;
        if (Status loaded = store->loadTrackers(trackerList, stamp); !loaded) return loaded;
        if (stationSettings.externalIp) settings.externalIp = *stationSettings.externalIp;
        if (stationSettings.externalPort) settings.externalPort = *stationSettings.externalPort;
        if (stationSettings.listenPort) settings.localPort = *stationSettings.listenPort;
        if (!stationSettings.modemPorts.empty()) campaign.modemPorts = stationSettings.modemPorts;
        if (settings.localPort < 0 || settings.localPort > 65535) {
            return Status::Fail("the listening port of the settings (" +
                                std::to_string(settings.localPort) + ") is not a port");
        }
        boundPortWanted = static_cast<uint16_t>(settings.localPort);
        station.name = stationSettings.name.empty() ? hostName() + ":" + std::to_string(::getpid())
                                                    : stationSettings.name;
        station.address = addressText(settings.externalIp, settings.externalPort);
        slots.clear();
        byImei.clear();
        heldOpen = 0;
        return Status::Ok();
    }

    // Takes on claimed rows where they stand. An SMS whose outcome was not saved may have
    // been accepted: it counts as sent, and the tracker gets the full wait. The caller
    // holds `mutex`.
    void Adopt(std::vector<CampaignTrackerRecord>& rows) {
        const auto nowSteady = CampaignClock::now();
        const int64_t nowUnix = unixMilliseconds(std::chrono::system_clock::now());
        for (CampaignTrackerRecord& row : rows) {
            const auto known = byImei.find(row.tracker);
            if (known != byImei.end() && slots[known->second].held) continue;
            std::size_t index = slots.size();
            if (known != byImei.end()) {
                index = known->second;  // given back to this station after a takeover
                const uint64_t tenure = slots[index].tenure + 1;
                slots[index] = Slot();
                slots[index].tenure = tenure;
            } else {
                slots.emplace_back();
                byImei.emplace(row.tracker, index);
            }
            Slot& slot = slots[index];
            slot.row = std::move(row);
            slot.state = CampaignTrackerStateFromWord(slot.row.state)
                             .value_or(CampaignTrackerState::Pending);
            const int at = trackerList.findByDescription(slot.row.tracker);
            if (at < 0) {
                slot.refusal = "the tracker is no longer in the tracker list";
            } else {
                slot.entry = trackerList.at(at);
                const auto image = images.find(slot.entry->deviceType);
                if (image != images.end()) slot.image = &image->second;
                Result<std::string> pdu = BuildPushMessage(*slot.entry, settings);
                if (pdu)
                    slot.pushMessage = pdu.value();
                else
                    slot.refusal = pdu.message();
                if (slot.image == nullptr) slot.refusal = "no image for the tracker's device type";
            }
            const bool open = slot.state != CampaignTrackerState::Configured &&
                              slot.state != CampaignTrackerState::Failed;
            if (!open) continue;
            ++heldOpen;
            if (slot.row.lastEvent == CampaignEventWord(CampaignEvent::Called)) {
                // Its session was cut short after the image may have gone out: it may
                // call again within its wait, but gets no new SMS.
                slot.answerUnknown = true;
                if (slot.state != CampaignTrackerState::Waiting) {
                    slot.state = CampaignTrackerState::Sending;  // handled as below
                }
            }
            switch (slot.state) {
                case CampaignTrackerState::Configured:
                case CampaignTrackerState::Failed:
                    break;
                case CampaignTrackerState::Pending:
                    slot.queued = true;
                    sendQueue.push_back(index);
                    break;
                case CampaignTrackerState::Sending: {
                    slot.state = CampaignTrackerState::Waiting;
                    const auto wait = std::chrono::seconds(campaign.waitSeconds);
                    slot.row.waitUntilMs =
                        nowUnix + std::chrono::duration_cast<milliseconds>(wait).count();
                    slot.row.detail = "SMS outcome unknown, counted as sent";
                    setDeadline(index, nowSteady + wait);
                    record(slot, std::nullopt);
                    break;
                }
                case CampaignTrackerState::Waiting:
                    setDeadline(index, nowSteady + milliseconds(std::max<int64_t>(
                                                       0, slot.row.waitUntilMs - nowUnix)));
                    break;
            }
        }
    }

    // How many more trackers to claim: enough to keep every modem busy. The caller holds
    // `mutex`.
    int ClaimRoom() const {
        if (stopRequested.load() || runEnded || modemsInService == 0) return 0;
        return std::max(0, 8 * modemsInService - static_cast<int>(sendQueue.size()));
    }

    // The station's keeper in a shared database: renews the leases, claims trackers as the
    // modems need them, and follows how many trackers of the campaign are still open. While
    // the database is out of reach it claims nothing and tries again.
    void Keep() {
        const milliseconds interval =
            std::clamp<milliseconds>(limits.lease / 3, milliseconds(50), milliseconds(1000));
        bool outage = false;
        // Said at once: the journal may be waiting for the same database.
        auto tell = [&](const std::string& text) {
            if (observer != nullptr) journal->AnnounceNow([&] { observer->Warning(text); });
        };
        auto reportOutage = [&](const Status& failure) {
            if (outage) return;
            outage = true;
            tell("the database is out of reach; no more trackers are claimed: " +
                 failure.message());
        };
        CampaignClock::time_point renewedAt;
        for (;;) {
            // Renewed once a tick; a nudge from the modems only claims.
            Result<int64_t> renewed = int64_t{0};
            if (outage || CampaignClock::now() - renewedAt >= interval) {
                renewed = claims->renew();
                renewedAt = CampaignClock::now();
            }
            if (!renewed) {
                reportOutage(renewed.status());
            } else {
                if (outage) {
                    outage = false;
                    tell("the database is reachable again; claiming goes on");
                }
                int room = 0;
                {
                    std::lock_guard lock(mutex);
                    room = ClaimRoom();
                }
                if (room > 0) {
                    Result<std::vector<CampaignTrackerRecord>> rows = claims->claim(room);
                    if (!rows) {
                        reportOutage(rows.status());
                    } else if (!rows.value().empty()) {
                        std::lock_guard lock(mutex);
                        Adopt(rows.value());
                        sendable.notify_all();
                    }
                }
                if (Result<int64_t> open = claims->openCount(); open) campaignOpen = open.value();
                wake();
            }
            std::unique_lock lock(keeperMutex);
            keeperWake.wait_for(lock, interval, [&] { return keeperStop || keeperNudged; });
            if (keeperStop) return;
            keeperNudged = false;
        }
    }

    CampaignSummary Summary(int64_t id, bool finished) const {
        CampaignSummary summary;
        summary.id = id;
        // The whole campaign's counts, as the database has them now.
        if (Result<CampaignRecord> stored = campaigns->campaign(id); stored) {
            summary.total = static_cast<int>(stored.value().total);
            summary.configured = static_cast<int>(stored.value().configured);
            summary.failed = static_cast<int>(stored.value().failed);
        } else {
            for (const Slot& slot : slots) {
                if (slot.state == CampaignTrackerState::Configured) ++summary.configured;
                if (slot.state == CampaignTrackerState::Failed) ++summary.failed;
            }
            summary.total = static_cast<int>(slots.size());
        }
        if (summary.configured == summary.total)
            summary.end = CampaignEnd::AllConfigured;
        else if (!finished)
            summary.end = CampaignEnd::Interrupted;
        else
            summary.end = CampaignEnd::SomeFailed;
        return summary;
    }

    Result<CampaignSummary> Run(int64_t id) {
        if (wakePipe[0] < 0) return Result<CampaignSummary>::Fail("cannot create the wake-up pipe");
        {
            std::lock_guard lock(mutex);
            runEnded = false;
            sendQueue.clear();
            deadlines = {};
            if (Status loaded = Load(id); !loaded) return loaded;
        }
        // Listening comes first: a tracker is never woken towards a port that is not ours.
        Result<CampaignListener> listener = CampaignListener::Bind(boundPortWanted);
        if (!listener)
            return Result<CampaignSummary>::Fail("cannot listen on " + listener.message());
        boundPort = listener.value().port();

        Result<std::unique_ptr<CampaignClaims>> joined =
            campaigns->openClaims(id, station, limits.lease);
        if (!joined) return joined.status();
        claims = std::move(joined).value();
        Result<std::unique_ptr<CampaignWriter>> writer = campaigns->openWriter(id, station);
        if (!writer) return writer.status();
        CampaignJournal::Callbacks callbacks;
        callbacks.onSaved = [this] { wake(); };
        callbacks.onRefused = [this](const CampaignTrackerRecord& row) { Release(row); };
        callbacks.onOutage = [this](const std::string& reason) {
            if (observer == nullptr) return;
            observer->Warning(reason.empty() ? "saving goes on"
                                             : "cannot save, trying again: " + reason);
        };
        journal = std::make_unique<CampaignJournal>(std::move(writer).value(), campaigns->shared(),
                                                    std::move(callbacks));
        runStarted = CampaignClock::now();
        modemsInService = static_cast<int>(campaign.modemPorts.size());
        // The first trackers are claimed before any modem starts: all of them when this
        // station is alone with the campaign.
        Result<std::vector<CampaignTrackerRecord>> first =
            claims->claim(campaigns->shared() ? std::max(1, 8 * modemsInService)
                                              : std::numeric_limits<int>::max());
        if (!first) {
            (void)journal->Close();
            journal.reset();
            (void)claims->leave();
            return first.status();
        }
        if (Result<int64_t> open = claims->openCount(); open) campaignOpen = open.value();
        {
            std::lock_guard lock(mutex);
            CampaignChange running;
            running.campaignState = kCampaignRunning;
            running.campaignId = id;
            running.runnerPid = ::getpid();
            std::function<void()> started;
            if (observer != nullptr) {
                started = [watcher = observer, id, total = static_cast<int>(campaign.total)] {
                    watcher->CampaignStarted(id, total);
                };
            }
            journal->Push(std::move(running), std::move(started));
            Adopt(first.value());
        }

        keeperStop = false;
        std::thread keeper;
        if (campaigns->shared()) keeper = std::thread([this] { Keep(); });
        std::vector<std::thread> modems;
        for (std::size_t index = 0; index < campaign.modemPorts.size(); ++index) {
            modems.emplace_back([this, index] { RunModem(campaign.modemPorts[index], index); });
        }
        ListenerLimits listenerLimits;
        listenerLimits.maxSessions = limits.maxSessions;
        listenerLimits.identifyLimit = limits.identifyLimit;
        listenerLimits.sessionLimit = limits.sessionLimit;
        listenerLimits.stopGrace = limits.stopGrace;
        listener.value().Serve(*this, listenerLimits, wakePipe[0]);
        {
            std::lock_guard lock(mutex);
            runEnded = true;
            sendable.notify_all();
        }
        for (std::thread& modem : modems) modem.join();
        {
            std::lock_guard lock(keeperMutex);
            keeperStop = true;
            keeperWake.notify_all();
        }
        if (keeper.joinable()) keeper.join();

        bool finished = false;
        {
            std::lock_guard lock(mutex);
            finished = heldOpen == 0 && (!campaigns->shared() || campaignOpen.load() == 0);
            if (finished) {
                CampaignChange end;
                end.campaignState = kCampaignFinished;
                end.campaignId = id;
                journal->Push(std::move(end), {});
            }
        }
        Status saved = journal->Close(limits.stopGrace);
        journal.reset();
        // Trackers still open are given back at once for the other stations (or a later
        // resume) to take on.
        Status left = claims->leave();
        claims.reset();
        if (!saved)
            return Result<CampaignSummary>::Fail("cannot save the campaign: " + saved.message());
        if (!left)
            return Result<CampaignSummary>::Fail("cannot leave the campaign: " + left.message());
        return Summary(id, finished);
    }
};

CampaignEngine::CampaignEngine(std::filesystem::path dataDirectory, CampaignObserver* observer)
    : CampaignEngine(std::make_shared<SqliteStorage>(dataDirectory),
                     std::make_shared<CampaignStore>(dataDirectory), observer) {}

CampaignEngine::CampaignEngine(std::shared_ptr<const StorageEngine> store,
                               std::shared_ptr<const CampaignStorage> campaigns,
                               CampaignObserver* observer)
    : impl_(std::make_unique<Impl>(std::move(store), std::move(campaigns), observer)) {}

void CampaignEngine::setStation(const CampaignStationSettings& station) {
    impl_->stationSettings = station;
}

CampaignEngine::~CampaignEngine() = default;

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
    impl_->wake();
}

Result<CampaignSummary> CampaignEngine::Run(int64_t id) {
    // A stop asked for before the run began is honoured; it is cleared only once the
    // run is over, so that a later Run starts afresh.
    Result<CampaignSummary> summary = impl_->Run(id);
    impl_->stopRequested.store(false);
    return summary;
}

Result<int64_t> CampaignEngine::Create(const CampaignRequest& request) {
    ProgramSettings settings;
    if (Status loaded = impl_->store->loadSettings(settings); !loaded) return loaded;
    TrackerList list;
    TrackerListStamp stamp;
    if (Status loaded = impl_->store->loadTrackers(list, stamp); !loaded) return loaded;

    std::vector<std::string> chosen;
    std::set<std::string> seen;
    auto choose = [&](const std::string& description) {
        if (seen.insert(description).second) chosen.push_back(description);
    };
    if (request.allTrackers) {
        for (int i = 0; i < list.count(); ++i) choose(list.at(i).description);
    } else {
        for (const std::string& description : request.trackers) choose(description);
    }
    if (chosen.empty()) return Result<int64_t>::Fail("no tracker chosen");

    std::vector<std::string> unknown;
    std::vector<std::string> notImei;
    std::vector<std::string> unsendable;
    std::vector<CampaignTrackerRecord> rows;
    std::set<int> deviceTypes;
    for (const std::string& description : chosen) {
        const int at = list.findByDescription(description);
        if (at < 0) {
            unknown.push_back(description);
            continue;
        }
        if (!isImei(description)) notImei.push_back(description);
        const TrackerEntry& entry = list.at(at);
        if (Result<std::string> pdu = BuildPushMessage(entry, settings); !pdu) {
            unsendable.push_back(description + " (" + pdu.message() + ")");
        }
        deviceTypes.insert(entry.deviceType);
        CampaignTrackerRecord row;
        row.position = static_cast<int64_t>(rows.size());
        row.tracker = description;
        row.phone = entry.phone;
        rows.push_back(std::move(row));
    }
    std::string refusal;
    auto refuse = [&](const char* what, const std::vector<std::string>& names) {
        if (!names.empty())
            refusal += (refusal.empty() ? "" : "; ") + std::string(what) + joinNames(names);
    };
    refuse("unknown trackers: ", unknown);
    refuse("descriptions that are not IMEIs (15 digits): ", notImei);
    refuse("no wake-up SMS can be built for: ", unsendable);
    if (!refusal.empty()) return Result<int64_t>::Fail(refusal);

    CampaignRecord campaign;
    std::error_code ec;
    const std::filesystem::path fullPath = std::filesystem::absolute(request.configFile, ec);
    campaign.configFile = (ec ? request.configFile : fullPath).string();
    // The image is encoded once per device type and kept with the campaign.
    for (int type : deviceTypes) {
        auto image = std::make_unique<ConfigImage>();
        if (Status read = ReadConfigFile(request.configFile, type, *image); !read) {
            return Result<int64_t>::Fail(std::string(kErrorInXmlFile) +
                                         (read.message().empty() ? "" : " " + read.message()));
        }
        campaign.images += (campaign.images.empty() ? "" : "\n") + std::to_string(type) + " " +
                           hexText(image->view());
    }
    campaign.configSha256 = request.configSha256;
    campaign.createdAt = HistoryTimestamp();
    campaign.state = kCampaignInterrupted;  // not running until Run takes it
    campaign.modemPorts = request.modemPorts;
    if (campaign.modemPorts.empty()) campaign.modemPorts.push_back(settings.modemPort);
    campaign.waitSeconds = request.wait.count();
    campaign.attempts = request.attempts;
    return impl_->campaigns->create(campaign, rows);
}

}  // namespace vela
