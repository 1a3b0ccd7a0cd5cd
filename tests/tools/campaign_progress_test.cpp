// The figures of a running campaign, one table of changes and what they show.
#include "campaign_progress.h"

#include <gtest/gtest.h>

namespace velactl {
namespace {

using State = vela::CampaignTrackerState;
using Event = vela::CampaignEvent;
using namespace std::chrono_literals;

TEST(CampaignProgress, CountsPaceAndEstimate) {
    std::vector<vela::CampaignTrackerRecord> rows(4);
    rows[0].tracker = "A", rows[1].tracker = "B", rows[2].tracker = "C", rows[3].tracker = "D";
    rows[3].state = "configured";  // configured before a resumption: not this run's pace
    const CampaignProgress::Clock::time_point start{};
    CampaignProgress progress;
    progress.Start(rows, start);
    const struct {
        const char* tracker;
        Event event;
        State state;
        std::chrono::seconds at;
        const char* line;
    } steps[] = {
        {"A", Event::SmsSent, State::Waiting, 0s,
         "1 configured, 0 failed, 1 waiting, 2 left | 0.0 SMS/min | ETA --"},
        {"A", Event::Configured, State::Configured, 30s,
         "2 configured, 0 failed, 0 waiting, 2 left | 2.0 SMS/min | ETA 1m00s"},
        {"B", Event::SmsFailed, State::Failed, 60s,
         "2 configured, 1 failed, 0 waiting, 1 left | 1.0 SMS/min | ETA 0m30s"},
        // A failure that is tried again was not the end of the tracker.
        {"B", Event::Retry, State::Pending, 60s,
         "2 configured, 0 failed, 0 waiting, 2 left | 1.0 SMS/min | ETA 2m00s"},
        {"C", Event::SmsSent, State::Waiting, 7200s,
         "2 configured, 0 failed, 1 waiting, 1 left | 0.0 SMS/min | ETA 4h00m"},
    };
    for (const auto& step : steps) {
        vela::CampaignTrackerUpdate update;
        update.description = step.tracker;
        update.event = step.event;
        update.state = step.state;
        progress.Change(update, start + step.at);
        EXPECT_EQ(CampaignProgress::Line(progress.Figures(start + step.at)), step.line)
            << step.tracker << " at " << step.at.count();
    }
    const QJsonObject json = CampaignProgress::Json(progress.Figures(start + 7200s));
    EXPECT_EQ(json["eta_seconds"].toInteger(), 14400);
    EXPECT_EQ(json["left"].toInt(), 1);
}

}  // namespace
}  // namespace velactl
