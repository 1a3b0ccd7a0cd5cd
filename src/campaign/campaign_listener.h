#pragma once

// The campaign's one listening socket and its many sessions, served by one thread with
// poll(): a waiting campaign sleeps until a caller, a deadline or a wake-up comes.

#include "campaign/campaign_events.h"
#include "campaign/campaign_journal.h"
#include "common/result.h"
#include "config/config_image.h"
#include "link/config_session.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

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
};

struct ListenerLimits {
    int maxSessions = 512;
    std::chrono::milliseconds identifyLimit{30000};
    std::chrono::milliseconds sessionLimit{60000};
    std::chrono::milliseconds stopGrace{10000};
};

class CampaignListener {
public:
    // Binds `port` on every local address and listens; nothing is accepted before Serve.
    static Result<CampaignListener> Bind(uint16_t port);
    CampaignListener(CampaignListener&& other) noexcept;
    CampaignListener& operator=(CampaignListener&&) = delete;
    CampaignListener(const CampaignListener&) = delete;
    CampaignListener& operator=(const CampaignListener&) = delete;
    ~CampaignListener();

    uint16_t port() const { return port_; }

    // Serves callers until the host is finished (and no session is left) or stopping
    // (and the sessions ended or the grace ran out). A byte on `wakeFd` makes it ask the
    // host again at once.
    void Serve(CampaignSessionHost& host, const ListenerLimits& limits, int wakeFd);

private:
    CampaignListener(int fd, uint16_t port) : fd_(fd), port_(port) {}
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace vela
