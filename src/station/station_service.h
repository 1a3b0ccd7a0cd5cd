#pragma once

// An unattended station: a long-running service that takes campaigns of its group from
// the queue of a shared database, highest priority first and never before their time,
// and runs each as one more station beside the others (claims, leases, take-overs as
// `campaign join` has them). Between campaigns it checks its modems again (a modem
// unplugged and plugged back is used again) and waits for the database while it is out
// of reach. A heartbeat thread writes the station's row, its modems' figures and the
// metrics file. A stop lets the campaign in hand stop as `campaign run` does, gives its
// trackers back and leaves.

#include "campaign/campaign_engine.h"
#include "station/station_config.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace vela {

struct StationTiming {
    std::chrono::milliseconds poll{2000};      // how often an idle station looks at the queue
    std::chrono::milliseconds backOff{30000};  // a campaign that could not go on is left so long
    CampaignLimits limits;                     // lease and SMS spacing come from the config
};

class StationService {
public:
    // `log` receives one line per thing worth telling (without a time stamp).
    StationService(StationConfig config, StationTiming timing,
                   std::function<void(const std::string&)> log);
    ~StationService();
    StationService(const StationService&) = delete;
    StationService& operator=(const StationService&) = delete;

    // Serves until RequestStop; false when the station could not start at all.
    Status Serve();
    // Safe from a signal handler: no new campaign is taken, the one in hand stops.
    void RequestStop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The node_exporter textfile of a station's figures (name="..." label on each).
std::string MetricsText(const std::string& station, const std::map<std::string, int64_t>& campaigns,
                        const std::map<std::string, int64_t>& trackers, int64_t smsSent,
                        int64_t smsFailed, int64_t callersRefused);

// Refused, with the reason, when a queued campaign's images cannot be sent: none, a
// line that is not "TYPE HEX", or an image that contradicts itself.
Status CheckQueuedImages(const std::string& images);

}  // namespace vela
