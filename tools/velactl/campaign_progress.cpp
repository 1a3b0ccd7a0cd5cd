#include "campaign_progress.h"

#include <cmath>
#include <cstdio>

namespace velactl {

namespace {

bool finished(vela::CampaignTrackerState state) {
    return state == vela::CampaignTrackerState::Configured ||
           state == vela::CampaignTrackerState::Failed;
}

}  // namespace

void CampaignProgress::count(vela::CampaignTrackerState state, int by) {
    switch (state) {
        case vela::CampaignTrackerState::Configured:
            configured_ += by;
            break;
        case vela::CampaignTrackerState::Failed:
            failed_ += by;
            break;
        case vela::CampaignTrackerState::Sending:
        case vela::CampaignTrackerState::Waiting:
            waiting_ += by;
            break;
        case vela::CampaignTrackerState::Pending:
            left_ += by;
            break;
    }
}

void CampaignProgress::Start(const std::vector<vela::CampaignTrackerRecord>& rows,
                             Clock::time_point now) {
    states_.clear();
    configured_ = failed_ = waiting_ = left_ = 0;
    states_.reserve(rows.size());
    for (const vela::CampaignTrackerRecord& row : rows) {
        const auto state = vela::CampaignTrackerStateFromWord(row.state).value_or(
            vela::CampaignTrackerState::Pending);
        const auto [at, added] = states_.try_emplace(row.tracker, state);
        if (!added) {
            count(at->second, -1);
            at->second = state;
        }
        count(state, 1);
    }
    started_ = now;
    smsSent_ = 0;
    finishedSinceStart_ = 0;
}

void CampaignProgress::Change(const vela::CampaignTrackerUpdate& update, Clock::time_point) {
    if (update.event == vela::CampaignEvent::SmsSent) ++smsSent_;
    const auto [at, added] =
        states_.try_emplace(update.description, vela::CampaignTrackerState::Pending);
    if (added) count(at->second, 1);
    vela::CampaignTrackerState& state = at->second;
    if (!finished(state) && finished(update.state)) ++finishedSinceStart_;
    if (finished(state) && !finished(update.state)) --finishedSinceStart_;
    count(state, -1);
    count(update.state, 1);
    state = update.state;
}

ProgressFigures CampaignProgress::Figures(Clock::time_point now) const {
    ProgressFigures figures;
    figures.configured = configured_;
    figures.failed = failed_;
    figures.waiting = waiting_;
    figures.left = left_;
    const double minutes = std::chrono::duration<double>(now - started_).count() / 60.0;
    if (minutes > 0) figures.smsPerMinute = smsSent_ / minutes;
    // The pace of this run so far, applied to what is not finished.
    if (finishedSinceStart_ > 0 && minutes > 0) {
        const double perMinute = finishedSinceStart_ / minutes;
        figures.eta =
            std::chrono::seconds(std::lround((figures.waiting + figures.left) / perMinute * 60.0));
    }
    return figures;
}

std::string CampaignProgress::Line(const ProgressFigures& figures) {
    char eta[32] = "--";
    if (figures.eta) {
        const long long seconds = figures.eta->count();
        if (seconds >= 3600)
            std::snprintf(eta, sizeof eta, "%lldh%02lldm", seconds / 3600, seconds % 3600 / 60);
        else
            std::snprintf(eta, sizeof eta, "%lldm%02llds", seconds / 60, seconds % 60);
    }
    char line[160];
    std::snprintf(line, sizeof line,
                  "%d configured, %d failed, %d waiting, %d left | %.1f SMS/min | ETA %s",
                  figures.configured, figures.failed, figures.waiting, figures.left,
                  figures.smsPerMinute, eta);
    return line;
}

QJsonObject CampaignProgress::Json(const ProgressFigures& figures) {
    return {{"configured", figures.configured},
            {"failed", figures.failed},
            {"waiting", figures.waiting},
            {"left", figures.left},
            {"sms_per_minute", std::round(figures.smsPerMinute * 10) / 10},
            {"eta_seconds", figures.eta ? QJsonValue(static_cast<qint64>(figures.eta->count()))
                                        : QJsonValue(QJsonValue::Null)}};
}

}  // namespace velactl
