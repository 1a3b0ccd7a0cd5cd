#pragma once

// The campaign's one listening socket and its many sessions, served by one thread with
// poll(): a waiting campaign sleeps until a caller, a deadline or a wake-up comes. Each
// kind of event has its handler; every wait is one entry in one ordered set of deadlines;
// accepting rests while descriptors run out.

#include "campaign/campaign_events.h"
#include "campaign/campaign_journal.h"
#include "common/result.h"
#include "common/unique_fd.h"
#include "config/config_image.h"
#include "link/caller_gate.h"
#include "link/config_session.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace vela {

// What the listener asks of the campaign.
class CampaignSessionHost {
public:
    virtual ~CampaignSessionHost() = default;
    struct Claim {
        const ConfigImage* image = nullptr;  // null: the caller gets nothing
        uint64_t ticket = 0;                 // the image goes out once this is saved
    };
    virtual Claim ClaimCaller(const std::string& imei, const std::string& address) = 0;
    // Where the change with `ticket` stands; a byte on the wake descriptor comes after
    // every save. A refused claim (another station holds the tracker now) gets nothing.
    virtual SaveState Saved(uint64_t ticket) = 0;
    // The end of a claimed caller's session; `answer` holds what came after the image.
    virtual void FinishCall(const std::string& imei, CallEnd end, const ByteString& answer) = 0;

    struct Plan {
        bool finished = false;  // every tracker is done: serve no one new
        bool stopping = false;  // stop requested: finish sessions within the grace
        std::optional<CampaignClock::time_point> next;  // the next deadline of the host
    };
    // Runs what is due at `now` and says what comes next. Called after every wake-up.
    virtual Plan Due(CampaignClock::time_point now) = 0;

    // A line for the operator about callers as a whole rather than one tracker: an
    // address slowed for naming unknown IMEIs ("127.0.0.1: 5,000 unknown IMEIs in 6 s,
    // slowed"), bytes that followed an identification, accepting paused for want of
    // descriptors. Called on the listener's thread.
    virtual void ListenerNote(const std::string& /*line*/) {}
};

struct ListenerLimits {
    // Sessions at once; fewer when the descriptor limit does not allow as many. When all
    // are taken the oldest caller that has not identified itself makes way.
    int maxSessions = 512;
    std::chrono::milliseconds firstByteLimit{5000};  // connect -> first byte
    std::chrono::milliseconds identifyLimit{5000};   // connect -> 17 bytes
    std::chrono::milliseconds sessionLimit{60000};
    std::chrono::milliseconds stopGrace{10000};
    // Who may call, sessions per address, how unknown IMEIs slow an address. A fleet
    // behind one address names IMEIs that are not awaited now and then (a tracker calling
    // before its SMS, again after its end), so a campaign slows an address later than a
    // single run does; a guesser names thousands.
    CallerPolicy callers = CampaignCallers();

    // A fleet's trackers often reach the station through a few addresses of the mobile
    // network's NAT, many calling within the same moment: a campaign lets more of them
    // identify themselves at once than a single run does.
    static CallerPolicy CampaignCallers() {
        CallerPolicy policy;
        policy.unknownBeforeSlowing = 20;
        policy.sessionsPerAddress = 64;
        return policy;
    }
};

class CampaignListener {
public:
    // Binds `port` on every local address and listens; nothing is accepted before Serve.
    static Result<CampaignListener> Bind(uint16_t port);
    CampaignListener(CampaignListener&& other) noexcept = default;
    CampaignListener& operator=(CampaignListener&&) = delete;
    CampaignListener(const CampaignListener&) = delete;
    CampaignListener& operator=(const CampaignListener&) = delete;

    uint16_t port() const { return port_; }

    // Serves callers until the host is finished (and no session is left) or stopping
    // (and the sessions ended or the grace ran out). A byte on `wakeFd` makes it ask the
    // host again at once.
    void Serve(CampaignSessionHost& host, const ListenerLimits& limits, int wakeFd);

private:
    CampaignListener(UniqueFd fd, uint16_t port) : fd_(std::move(fd)), port_(port) {}
    UniqueFd fd_;
    uint16_t port_ = 0;
};

}  // namespace vela
