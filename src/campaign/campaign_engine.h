#pragma once

// The fleet campaign: many trackers configured in one run. Modems send the wake-up SMS
// in parallel (one thread each), one listener serves many callers at once, and every
// change of a tracker is written to the database before it is announced, so a campaign
// stopped or killed at any moment is resumed where it stood.

#include "campaign/campaign_events.h"
#include "common/address_range.h"
#include "common/result.h"
#include "modem/sms_dialogue.h"
#include "storage/campaign_storage.h"
#include "storage/storage_engine.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

enum class CampaignEnd { AllConfigured, SomeFailed, Interrupted };

struct CampaignSummary {
    int64_t id = 0;
    int configured = 0;
    int failed = 0;
    int total = 0;
    CampaignEnd end = CampaignEnd::SomeFailed;
    // Why an interrupted campaign stopped when the operator did not stop it (every modem
    // out of service, trackers held by another running campaign); empty otherwise.
    std::string reason;
};

// Receives the campaign's progress. Calls come from an engine thread, one at a time and
// never concurrently, always after the change they announce has been saved (warnings
// that the database is out of reach come at once). A window passes them on to its own
// thread.
class CampaignObserver {
public:
    virtual ~CampaignObserver() = default;
    virtual void CampaignStarted(int64_t /*id*/, int /*trackerCount*/) {}
    virtual void TrackerChanged(const CampaignTrackerUpdate& update) = 0;
    // A caller that got nothing: not in the campaign, not awaited (no SMS was sent to
    // it), already configured or already in a session. `imei` is shown as displayImei
    // does.
    virtual void CallerRefused(const std::string& /*imei*/, const std::string& /*address*/) {}
    // A warning that does not stop the campaign (a modem taken out of service...).
    virtual void Warning(const std::string& /*text*/) {}
};

// Bounds of a campaign; the defaults are the operator's, tests shorten them.
struct CampaignLimits {
    std::chrono::seconds wait{300};  // per tracker, after its SMS was accepted
    int attempts = 2;                // SMS attempts per tracker
    int maxSessions = 512;           // concurrent callers; later ones wait in the backlog
    std::chrono::milliseconds identifyLimit{5000};  // connect -> 17 bytes
    std::chrono::milliseconds sessionLimit{60000};  // connect -> answer
    std::chrono::milliseconds stopGrace{10000};     // sessions finished after a stop
    int modemFailuresToRetire = 2;  // failed dialogues in a row that take a modem out
    // How long a station's claim on its trackers lasts unless renewed (a third of it
    // apart) in a shared database; a station gone longer leaves them to the others.
    std::chrono::milliseconds lease{30000};
    // At least this long between two SMS of this station, whatever modem sends them (an
    // operator's contract with the network may cap the rate); 0: no spacing.
    std::chrono::milliseconds smsSpacing{0};
    DialogueLimits dialogue;
};

// Who this process is among the stations of a shared campaign, and where its trackers
// call it. Unset values come from the settings.
struct CampaignStationSettings {
    std::string name;                     // empty: "HOST:PID"
    std::optional<uint32_t> externalIp;   // in the push message
    std::optional<int> externalPort;      // in the push message
    std::optional<int> listenPort;        // bound locally
    std::vector<std::string> modemPorts;  // empty: the campaign's
    // Who may call this station (empty: everyone); unset: the stored options' list.
    std::optional<AddressAllowList> allowFrom;
};

// A new campaign as the operator asks for it.
struct CampaignRequest {
    std::filesystem::path configFile;
    bool allTrackers = false;
    std::vector<std::string> trackers;    // descriptions, when not allTrackers
    std::vector<std::string> modemPorts;  // empty: the modem port of the settings
    std::chrono::seconds wait{300};
    int attempts = 2;
    // The SHA-256 of the configuration file in hexadecimal, kept with the campaign and
    // its history rows; computed by the caller (the core has no hash of its own).
    std::string configSha256;
};

// Drives campaigns: alone over settings.accdb of one data directory, or as one of the
// stations of a campaign in a shared database.
class CampaignEngine {
public:
    explicit CampaignEngine(std::filesystem::path dataDirectory,
                            CampaignObserver* observer = nullptr);
    // Settings and trackers from `store`, campaigns in `campaigns`.
    CampaignEngine(std::shared_ptr<const StorageEngine> store,
                   std::shared_ptr<const CampaignStorage> campaigns,
                   CampaignObserver* observer = nullptr);
    ~CampaignEngine();
    CampaignEngine(const CampaignEngine&) = delete;
    CampaignEngine& operator=(const CampaignEngine&) = delete;

    // Checks and records a new campaign; sends nothing. Refused, naming them, when
    // trackers are unknown or their descriptions are not 15-digit IMEIs, when the
    // configuration file is refused, or when no tracker is chosen.
    Result<int64_t> Create(const CampaignRequest& request);

    // Runs campaign `id` (new, interrupted, or run by other stations too) until every
    // tracker has its verdict or a stop was requested. The listening port is bound before
    // the first SMS; when it cannot be, nothing is sent and the reason is returned.
    // `limits.wait` and `limits.attempts` are taken from the stored campaign. In a shared
    // database the station claims trackers a few at a time and stays until the whole
    // campaign is done, taking over the trackers of stations that are gone.
    Result<CampaignSummary> Run(int64_t id);

    // Before Run: who this station is and where its trackers call it.
    void setStation(const CampaignStationSettings& station);

    // Stops sending, lets sessions in progress finish within the grace bound, saves and
    // makes Run return with CampaignEnd::Interrupted. Asked once; safe from any thread
    // and from a signal handler, and Run notices it within half a second.
    void RequestStop();

    // Records every modem's serial bytes: FILE for the first modem, FILE.2, FILE.3...
    // for the others (owner-only files; the SMS carries passwords).
    void setModemTrace(const std::filesystem::path& file);

    // Only tests and benchmarks change these.
    void setLimits(const CampaignLimits& limits);
    // The port actually bound by the last Run (useful when the settings say 0).
    uint16_t listeningPort() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vela
