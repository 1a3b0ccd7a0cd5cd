#include "station/station_service.h"

#include "campaign/campaign_setup.h"
#include "config/image_decoder.h"
#include "storage/history_store.h"
#include "storage/pg/pg_campaign_queue.h"
#include "storage/pg/storage_choice.h"
#include "storage/program_settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

namespace vela {

namespace {

using std::chrono::milliseconds;

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// A label value of the textfile format: backslash, quote and line break escaped.
std::string labelValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\' || c == '"') escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return escaped;
}

// Writes `text` beside `path` and renames it over: a reader sees the old file or the
// new one, never half of one.
Status writeWhole(const std::filesystem::path& path, const std::string& text) {
    const std::filesystem::path temporary = path.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Status::Unavailable("cannot write " + temporary.string());
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    const bool closed = ::close(fd) == 0;
    if (written != text.size() || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return Status::Unavailable("cannot write " + path.string());
    }
    return Status::Ok();
}

}  // namespace

std::string MetricsText(const std::string& station, const std::map<std::string, int64_t>& campaigns,
                        const std::map<std::string, int64_t>& trackers, int64_t smsSent,
                        int64_t smsFailed, int64_t callersRefused) {
    const std::string name = "station=\"" + labelValue(station) + "\"";
    std::string text;
    const auto family = [&](const char* metric, const char* type, const char* help) {
        text +=
            std::string("# HELP ") + metric + " " + help + "\n# TYPE " + metric + " " + type + "\n";
    };
    family("vela_campaigns", "gauge", "Campaigns of the shared database by state.");
    for (const auto& [state, count] : campaigns)
        text += "vela_campaigns{" + name + ",state=\"" + labelValue(state) + "\"} " +
                std::to_string(count) + "\n";
    family("vela_campaign_trackers", "gauge", "Trackers of every campaign by state.");
    for (const auto& [state, count] : trackers)
        text += "vela_campaign_trackers{" + name + ",state=\"" + labelValue(state) + "\"} " +
                std::to_string(count) + "\n";
    for (auto [metric, help, value] :
         {std::tuple{"vela_station_sms_sent_total", "Wake-up SMS this station sent.", smsSent},
          std::tuple{"vela_station_sms_failed_total", "Wake-up SMS this station failed to send.",
                     smsFailed},
          std::tuple{"vela_station_callers_refused_total", "Callers this station served nothing.",
                     callersRefused}}) {
        family(metric, "counter", help);
        text += std::string(metric) + "{" + name + "} " + std::to_string(value) + "\n";
    }
    return text;
}

Status CheckQueuedImages(const std::string& images) {
    Result<std::map<int, ConfigImage>> decoded = DecodeCampaignImages(images);
    if (!decoded) return decoded.status();
    if (decoded.value().empty()) return Status::Invalid("the campaign has no image");
    for (const auto& [type, image] : decoded.value()) {
        const DecodedImage walked = DecodeImage(image.view());
        if (!walked.consistent()) {
            return Status::Invalid("the image for device type " + std::to_string(type) +
                                   " contradicts itself: " + walked.problems.front());
        }
    }
    return Status::Ok();
}

// Counts what the engine tells, for the heartbeat and the metrics, and logs what matters.
class StationWatch final : public CampaignObserver {
public:
    explicit StationWatch(std::function<void(const std::string&)> log) : log_(std::move(log)) {}

    void setCampaign(int64_t id) {
        std::lock_guard lock(mutex_);
        campaign_ = id;
    }
    void CampaignStarted(int64_t id, int trackers) override {
        log_("campaign " + std::to_string(id) + ": joined, " + std::to_string(trackers) +
             " trackers");
    }
    void TrackerChanged(const CampaignTrackerUpdate& update) override {
        std::lock_guard lock(mutex_);
        if (update.event == CampaignEvent::SmsSent) ++modems_[update.modemPort].smsSent;
        if (update.event == CampaignEvent::SmsFailed) {
            StationModemFigures& modem = modems_[update.modemPort];
            ++modem.smsFailed;
            modem.lastError = update.detail;
        }
        if (!update.verdict.empty()) {
            log_("campaign " + std::to_string(campaign_) + ": tracker " + update.description + " " +
                 update.verdict);
        }
    }
    void CallerRefused(const std::string& imei, const std::string& address) override {
        std::lock_guard lock(mutex_);
        ++callersRefused_;
        log_("caller " + imei + " from " + address + " got nothing");
    }
    void Warning(const std::string& text) override { log_("warning: " + text); }

    // The figures of `ports`, with whether each opened when last tried.
    void fill(StationBeat& beat, const std::vector<std::string>& ports,
              const std::map<std::string, bool>& open, int64_t& sent, int64_t& failed) {
        std::lock_guard lock(mutex_);
        sent = failed = 0;
        for (const std::string& port : ports) {
            StationModemFigures figures = modems_[port];
            figures.port = port;
            const auto known = open.find(port);
            figures.open = known != open.end() && known->second;
            sent += figures.smsSent;
            failed += figures.smsFailed;
            beat.modems.push_back(std::move(figures));
        }
        beat.callersRefused = callersRefused_;
    }

private:
    std::function<void(const std::string&)> log_;
    std::mutex mutex_;
    int64_t campaign_ = 0;
    std::map<std::string, StationModemFigures> modems_;
    int64_t callersRefused_ = 0;
};

struct StationService::Impl {
    StationConfig config;
    StationTiming timing;
    std::function<void(const std::string&)> log;
    StationWatch watch;
    std::shared_ptr<const StorageEngine> store;
    std::shared_ptr<const CampaignStorage> campaigns;
    std::unique_ptr<CampaignEngine> engine;
    std::atomic<bool> stopRequested{false};
    std::string startedAt = HistoryTimestamp();

    // What the heartbeat reports, guarded by `mutex`.
    std::mutex mutex;
    std::condition_variable changed;
    std::string state = "starting";
    int64_t campaign = 0;
    std::map<std::string, bool> modemOpen;
    bool heartbeatStop = false;

    // Everything RequestStop touches is made here, before a signal can come.
    Impl(StationConfig c, StationTiming t, std::function<void(const std::string&)> l)
        : config(std::move(c)),
          timing(t),
          log(std::move(l)),
          watch(log),
          store(OpenStorage({}, config.database)),
          campaigns(OpenCampaignStorage({}, config.database)),
          engine(std::make_unique<CampaignEngine>(store, campaigns, &watch)) {}

    void setState(std::string now, int64_t id) {
        std::lock_guard lock(mutex);
        state = std::move(now);
        campaign = id;
        watch.setCampaign(id);
    }

    // Sleeps up to `how long`, less when a stop comes (a signal cannot notify: polled).
    void pause(milliseconds howLong) {
        const auto until = std::chrono::steady_clock::now() + howLong;
        while (!stopRequested.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(milliseconds(50));
    }

    StationBeat beatNow(int64_t& sent, int64_t& failed) {
        StationBeat beat;
        beat.name = config.name;
        beat.group = config.group;
        beat.address = formatIpv4(config.externalIp) + ":" + std::to_string(config.externalPort);
        beat.host = hostName();
        beat.pid = ::getpid();
        beat.startedAt = startedAt;
        std::map<std::string, bool> open;
        {
            std::lock_guard lock(mutex);
            beat.state = state;
            beat.campaign = campaign;
            open = modemOpen;
        }
        watch.fill(beat, config.modems, open, sent, failed);
        return beat;
    }

    // The heartbeat: the station's row and the metrics file, every third of a lease.
    void Heartbeat() {
        CampaignQueue queue(config.database);
        const milliseconds interval = std::max(milliseconds(300), milliseconds(config.lease) / 3);
        bool failing = false;
        std::unique_lock lock(mutex);
        while (!heartbeatStop) {
            lock.unlock();
            int64_t sent = 0;
            int64_t failed = 0;
            const StationBeat beat = beatNow(sent, failed);
            Status written = queue.beat(beat, config.lease);
            if (written && !config.metricsFile.empty()) {
                Result<QueueFigures> figures = queue.figures();
                written =
                    figures ? writeWhole(config.metricsFile,
                                         MetricsText(config.name, figures.value().campaignsByState,
                                                     figures.value().trackersByState, sent, failed,
                                                     beat.callersRefused))
                            : figures.status();
            }
            if (!written && !failing) log("heartbeat not written: " + written.message());
            failing = !written;
            lock.lock();
            changed.wait_for(lock, interval, [this] { return heartbeatStop; });
        }
        lock.unlock();
        (void)queue.retire(config.name);
    }

    // The configured modems that open now; says which came and went.
    std::vector<std::string> usableModems() {
        std::vector<std::string> usable;
        std::map<std::string, bool> open;
        for (const std::string& modem : config.modems) {
            const Status opened = CheckModemsOpen({modem});
            open[modem] = opened.ok();
            if (opened) usable.push_back(modem);
        }
        std::lock_guard lock(mutex);
        for (const auto& [modem, now] : open) {
            const auto before = modemOpen.find(modem);
            if (before == modemOpen.end() && now) continue;
            if (before == modemOpen.end() || before->second != now)
                log(now ? "modem " + modem + " is back" : "modem " + modem + " cannot be opened");
        }
        modemOpen = std::move(open);
        return usable;
    }

    // Runs campaign `id` with the modems that open; the campaign is passed over for a
    // while when it could not go on for a reason of its own.
    bool RunOne(int64_t id, const std::vector<std::string>& modems) {
        Result<CampaignRecord> record = campaigns->campaign(id);
        if (!record) {
            log("campaign " + std::to_string(id) + ": " + record.message());
            return false;
        }
        // Another station may have ended or refused it since the queue named it: a
        // campaign is taken only while it is queued or running, never brought back.
        if (record.value().state != kCampaignQueued && record.value().state != kCampaignRunning)
            return true;
        if (record.value().state == kCampaignQueued) {
            if (Status usable = CheckQueuedImages(record.value().images); !usable) {
                // Left in the queue, it would be taken and dropped again for ever.
                log("campaign " + std::to_string(id) + " refused: " + usable.message());
                if (Status refused = CampaignQueue(config.database).refuse(id, usable.message());
                    !refused) {
                    log("campaign " + std::to_string(id) + ": " + refused.message());
                    return false;
                }
                return true;
            }
        }
        CampaignStationSettings station;
        station.name = config.name;
        station.externalIp = config.externalIp;
        station.externalPort = config.externalPort;
        station.listenPort = config.listenPort;
        station.modemPorts = modems;
        // Without a list of its own, the stored options' list applies.
        if (!config.allowFrom.empty()) station.allowFrom = config.allowFrom;
        engine->setStation(station);
        setState("running", id);
        Result<CampaignSummary> summary = engine->Run(id);
        setState("idle", 0);
        if (!summary) {
            log("campaign " + std::to_string(id) + ": " + summary.message());
            return false;
        }
        const CampaignSummary& s = summary.value();
        log("campaign " + std::to_string(id) + ": " + std::to_string(s.configured) +
            " configured, " + std::to_string(s.failed) + " failed, " + std::to_string(s.total) +
            " trackers" + (s.end == CampaignEnd::Interrupted ? " (left unfinished)" : "") +
            (s.reason.empty() ? "" : ": " + s.reason));
        return s.end != CampaignEnd::Interrupted || stopRequested.load();
    }

    Status Serve() {
        CampaignLimits limits = timing.limits;
        limits.lease = config.lease;
        if (config.smsPerMinute > 0) limits.smsSpacing = milliseconds(60000 / config.smsPerMinute);
        engine->setLimits(limits);
        log("station " + config.name + " serves group '" + config.group + "' from " +
            campaigns->location());

        CampaignQueue queue(config.database);
        // Two processes under one name would share one heartbeat and refuse each other's
        // claims. A killed one's lock goes with its connection, which the server may take
        // a moment to notice.
        bool databaseAway = false;
        for (int refused = 0; !stopRequested.load();) {
            Result<bool> mine = queue.holdName(config.name);
            if (!mine) {
                if (!databaseAway) log("database out of reach, trying again: " + mine.message());
                databaseAway = true;
                pause(timing.poll);
                continue;
            }
            if (mine.value()) break;
            if (++refused == 10)
                return Status::Refused("station " + config.name + " is already serving elsewhere");
            pause(milliseconds(300));
        }
        std::thread heartbeat([this] { Heartbeat(); });
        std::map<int64_t, std::chrono::steady_clock::time_point> passedOver;
        bool noModem = false;
        while (!stopRequested.load()) {
            const std::vector<std::string> modems = usableModems();
            if (modems.empty()) {
                if (!noModem) log("no modem can be opened; waiting for one");
                noModem = true;
                setState("waiting for a modem", 0);
                pause(timing.poll);
                continue;
            }
            noModem = false;
            const auto now = std::chrono::steady_clock::now();
            std::vector<int64_t> skip;
            for (auto it = passedOver.begin(); it != passedOver.end();) {
                if (it->second <= now) {
                    it = passedOver.erase(it);
                } else {
                    skip.push_back(it->first);
                    ++it;
                }
            }
            Result<std::optional<int64_t>> next = queue.next(config.group, config.name, skip);
            if (!next) {
                if (!databaseAway) log("database out of reach, trying again: " + next.message());
                databaseAway = true;
                setState("waiting for the database", 0);
                pause(timing.poll);
                continue;
            }
            if (databaseAway) log("database reachable again");
            databaseAway = false;
            if (!next.value()) {
                setState("idle", 0);
                pause(timing.poll);
                continue;
            }
            const int64_t id = *next.value();
            if (!RunOne(id, modems))
                passedOver[id] = std::chrono::steady_clock::now() + timing.backOff;
        }
        setState("stopping", 0);
        {
            std::lock_guard lock(mutex);
            heartbeatStop = true;
        }
        changed.notify_all();
        heartbeat.join();
        log("station " + config.name + " stopped");
        return Status::Ok();
    }
};

StationService::StationService(StationConfig config, StationTiming timing,
                               std::function<void(const std::string&)> log)
    : impl_(std::make_unique<Impl>(std::move(config), timing, std::move(log))) {}

StationService::~StationService() = default;

Status StationService::Serve() {
    return impl_->Serve();
}

void StationService::RequestStop() {
    impl_->stopRequested.store(true);
    impl_->engine->RequestStop();
}

}  // namespace vela
