#include "campaign/campaign_events.h"

#include <array>
#include <utility>

namespace vela {

namespace {

constexpr std::array<std::pair<CampaignEvent, std::string_view>, 11> kEventWords{{
    {CampaignEvent::SmsSent, "sms-sent"},
    {CampaignEvent::SmsFailed, "sms-failed"},
    {CampaignEvent::SmsDelivered, "sms-delivered"},
    {CampaignEvent::SmsUndeliverable, "sms-undeliverable"},
    {CampaignEvent::Called, "called"},
    {CampaignEvent::Configured, "configured"},
    {CampaignEvent::Rejected, "rejected"},
    {CampaignEvent::HungUp, "hung-up"},
    {CampaignEvent::NoCall, "no-call"},
    {CampaignEvent::AnswerUnknown, "answer-unknown"},
    {CampaignEvent::Retry, "retry"},
}};

constexpr std::array<std::pair<CampaignTrackerState, std::string_view>, 5> kStateWords{{
    {CampaignTrackerState::Pending, "pending"},
    {CampaignTrackerState::Sending, "sending"},
    {CampaignTrackerState::Waiting, "waiting"},
    {CampaignTrackerState::Configured, "configured"},
    {CampaignTrackerState::Failed, "failed"},
}};

}  // namespace

std::string_view CampaignEventWord(CampaignEvent event) {
    for (const auto& [value, word] : kEventWords) {
        if (value == event) return word;
    }
    return "retry";
}

std::string_view CampaignTrackerStateWord(CampaignTrackerState state) {
    for (const auto& [value, word] : kStateWords) {
        if (value == state) return word;
    }
    return "failed";
}

std::optional<CampaignTrackerState> CampaignTrackerStateFromWord(std::string_view word) {
    for (const auto& [value, text] : kStateWords) {
        if (text == word) return value;
    }
    return std::nullopt;
}

}  // namespace vela
