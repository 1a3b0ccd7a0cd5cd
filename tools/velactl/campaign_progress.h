#pragma once

// Where a running campaign stands, counted from its tracker rows when it starts and from
// each change after: configured, failed, waiting (an SMS on its way or sent, the call
// awaited) and left (not yet woken), the SMS sent per minute and an estimate of the time
// to the end. The clock is passed in; printing is the caller's.
#include "campaign/campaign_engine.h"
#include "storage/campaign_records.h"

#include <QJsonObject>
#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace velactl {

struct ProgressFigures {
    int configured = 0;
    int failed = 0;
    int waiting = 0;
    int left = 0;
    double smsPerMinute = 0;
    std::optional<std::chrono::seconds> eta;  // none until one tracker has finished
};

class CampaignProgress {
public:
    using Clock = std::chrono::steady_clock;

    // The campaign's trackers as stored when it (re)starts.
    void Start(const std::vector<vela::CampaignTrackerRecord>& rows, Clock::time_point now);
    void Change(const vela::CampaignTrackerUpdate& update, Clock::time_point now);
    ProgressFigures Figures(Clock::time_point now) const;

    // "12 configured, 1 failed, 3 waiting, 84 left | 10.5 SMS/min | ETA 7m40s"
    static std::string Line(const ProgressFigures& figures);
    static QJsonObject Json(const ProgressFigures& figures);

private:
    void count(vela::CampaignTrackerState state, int by);

    // Kept as the states change: the figures are asked for after every event, and
    // counting a fleet's rows each time would cost its size per event.
    std::unordered_map<std::string, vela::CampaignTrackerState> states_;
    int configured_ = 0, failed_ = 0, waiting_ = 0, left_ = 0;
    Clock::time_point started_{};
    int smsSent_ = 0;
    int finishedSinceStart_ = 0;
};

}  // namespace velactl
