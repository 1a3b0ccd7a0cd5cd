#pragma once

// The words of a campaign: what happens to a tracker, where it stands, and how one
// caller's session ended. Shared by the campaign's rules, its engine, its listener and
// the programs that show it.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vela {

using CampaignClock = std::chrono::steady_clock;

// What happened to one tracker; each is announced once per change.
enum class CampaignEvent {
    SmsSent,
    SmsFailed,
    SmsDelivered,      // the network reported the SMS delivered
    SmsUndeliverable,  // the network reported that it will not arrive
    Called,
    Configured,
    Rejected,
    HungUp,
    NoCall,
    AnswerUnknown,
    Retry
};

// Where a tracker stands. `Sending` is the window between "SMS about to be sent" and the
// modem's verdict; a campaign resumed from it counts the SMS as sent.
enum class CampaignTrackerState { Pending, Sending, Waiting, Configured, Failed };

// "sms-sent", "sms-failed", "sms-delivered", "sms-undeliverable", "called", "configured",
// "rejected", "hung-up", "no-call", "answer-unknown", "retry".
std::string_view CampaignEventWord(CampaignEvent event);
// "pending", "sending", "waiting", "configured", "failed".
std::string_view CampaignTrackerStateWord(CampaignTrackerState state);
std::optional<CampaignTrackerState> CampaignTrackerStateFromWord(std::string_view word);

// How a served caller's session ended.
enum class CallEnd {
    Answered,  // its answer came
    HungUp,    // it went away after the whole image had been written to it
    TimedOut,  // the whole image went out, no answer came in time
    Cut,       // the session ended before the whole image was written (the caller went
               // away, or the station stopped): it cannot hold the image
};

// One change of one tracker, as the live table shows it.
struct CampaignTrackerUpdate {
    std::string description;
    CampaignEvent event = CampaignEvent::SmsSent;
    std::string detail;  // the modem's text, the answer, the caller... may be empty
    CampaignTrackerState state = CampaignTrackerState::Pending;
    int attempts = 0;                      // SMS attempts started so far
    std::string modemPort;                 // the modem of the last attempt
    std::string callerAddress;             // "a.b.c.d:port" of the last caller
    std::string answer;                    // the answer as "%.2X%.2X (%.2X%.2X) Bytes", once there
    std::string verdict;                   // the verdict word once the tracker is done, else empty
    std::chrono::milliseconds elapsed{0};  // since the campaign (or its resumption) began
};

}  // namespace vela
