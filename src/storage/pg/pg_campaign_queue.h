#pragma once

// The campaign queue of a shared PostgreSQL database, and the stations that work it. A
// fleet system (or `velactl campaign submit`) inserts a campaign in state "queued" with
// its image and its trackers; stations of the campaign's group take it by priority once
// its time has come, share it as any campaign is shared, and give it back to the queue
// when the last of them stops before it is done. Every station writes a heartbeat row
// with its modems' figures.

#include "common/result.h"
#include "storage/campaign_storage.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vela {

namespace pg {
class Connection;
}

// Campaign states of the queue, beside running, interrupted and finished.
inline constexpr const char* kCampaignQueued = "queued";
inline constexpr const char* kCampaignRefused = "refused";  // its image cannot be used

// Where a submitted campaign stands in the queue.
struct QueuePlace {
    int priority = 0;          // higher first
    std::string notBefore;     // a time PostgreSQL reads ("2026-12-08T06:00:00Z"); empty: now
    std::string stationGroup;  // the stations that take it ("" is the default group)
};

// One modem of a station, as its heartbeat reports it.
struct StationModemFigures {
    std::string port;
    bool open = false;
    int64_t smsSent = 0;
    int64_t smsFailed = 0;
    std::string lastError;
};

// A station's heartbeat.
struct StationBeat {
    std::string name;
    std::string group;
    std::string address;  // "a.b.c.d:port" its trackers call
    std::string host;
    int64_t pid = 0;
    std::string startedAt;
    std::string state;     // "idle", "running", "waiting for a modem", "stopping"
    int64_t campaign = 0;  // the campaign it works on, 0 when none
    int64_t callersRefused = 0;
    std::vector<StationModemFigures> modems;
};

// A station as `station status` shows it.
struct StationRecord {
    StationBeat beat;
    std::string seenAt;
    bool live = false;    // its heartbeat is recent
    int64_t claimed = 0;  // trackers it holds without a verdict
};

// What a monitoring system counts.
struct QueueFigures {
    std::map<std::string, int64_t> campaignsByState;
    std::map<std::string, int64_t> trackersByState;  // of campaigns not finished
};

// One connection, opened on first use and again after it broke; used by one thread.
class CampaignQueue {
public:
    explicit CampaignQueue(std::string url);
    ~CampaignQueue();
    CampaignQueue(const CampaignQueue&) = delete;
    CampaignQueue& operator=(const CampaignQueue&) = delete;

    // The campaign and its trackers, queued in one transaction.
    Result<int64_t> submit(const CampaignRecord& campaign,
                           const std::vector<CampaignTrackerRecord>& trackers,
                           const QueuePlace& place);
    // The campaign of `group` that station `station` should work on now: queued or
    // running, its time come, with a tracker no live station holds (or one of
    // `station`'s own), highest priority first, then oldest; none when there is none.
    // Campaigns in `skip` are passed over.
    Result<std::optional<int64_t>> next(const std::string& group, const std::string& station,
                                        const std::vector<int64_t>& skip);
    // Takes a queued campaign out of the queue for good, with the reason.
    Status refuse(int64_t id, const std::string& reason);

    // Holds the name `station` for this process while its connection lives (a session
    // lock: the server lets go of it when the process dies). False while another live
    // process holds it.
    Result<bool> holdName(const std::string& station);

    // Writes the station's heartbeat; it counts as live for `lease` more.
    Status beat(const StationBeat& beat, std::chrono::milliseconds lease);
    // The station stopped: it is no longer live.
    Status retire(const std::string& name);
    // Every station that ever beat, by name, with its modems and claims.
    Result<std::vector<StationRecord>> stations();
    Result<QueueFigures> figures();

private:
    Result<pg::Connection*> open();
    template <typename Work>
    auto attempt(Work work) -> decltype(work(std::declval<pg::Connection&>()));

    std::string url_;
    std::unique_ptr<pg::Connection> connection_;
};

// The campaigns of a shared database, whose new campaigns go to the queue at `place`
// instead: `CreateCampaign` checks and encodes them as ever, and they wait there.
std::unique_ptr<CampaignStorage> QueueingCampaignStorage(std::string url, QueuePlace place);

}  // namespace vela
