#pragma once

// Where campaigns are kept: settings.accdb of one data directory (one station runs a
// campaign), or a PostgreSQL database shared by several stations that run one campaign
// together. Each station claims trackers from the campaign's rows with a lease that it
// renews while it works; a station that dies leaves its claims to expire, and another
// one takes them over where they stood.

#include "common/result.h"
#include "storage/campaign_records.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vela {

// One station of a campaign: a process with its own modems and its own address.
struct CampaignStationInfo {
    std::string name;     // unique among the live stations of a campaign, e.g. "host:pid"
    std::string address;  // where its trackers call it, "a.b.c.d:port"; shown only
};

// One row of CampaignStations, as `campaign status` shows it.
struct CampaignStationRecord {
    int64_t campaignId = 0;
    std::string name;
    std::string address;
    std::string joinedAt;
    int64_t seenUntilMs = 0;  // end of its lease by the database's clock; 0 once it left
    bool live = false;        // its lease runs (filled when read)
};

// The station's connection for saving its changes, used by one thread.
class CampaignWriter {
public:
    virtual ~CampaignWriter() = default;
    // Saves `changes` in one transaction. A tracker change is saved only while this
    // station holds the tracker; the changes of trackers held by another station now
    // (and their history rows) are left out and their indexes come back. On failure
    // nothing is saved; a lost connection is opened again by the next call.
    virtual Result<std::vector<std::size_t>> save(const std::vector<CampaignChange>& changes) = 0;
};

// The station's claims on one campaign, used by one thread.
class CampaignClaims {
public:
    virtual ~CampaignClaims() = default;
    // Up to `limit` trackers that are not final and held by no live station, now held by
    // this one with a fresh lease; rows of a station that is gone keep their state (an
    // attempt in flight stays in flight). The first call also gives back the rows that
    // this station's name held before (a restart under the same name). A tracker that
    // another running campaign holds without a verdict is left out: a tracker is
    // configured by one campaign at a time.
    virtual Result<std::vector<CampaignTrackerRecord>> claim(int limit) = 0;
    // Renews the station's lease and the leases of the trackers it holds; the number of
    // trackers held. A lost connection is opened again by the next call.
    virtual Result<int64_t> renew() = 0;
    // How many trackers of the campaign, held or not, have no verdict yet.
    virtual Result<int64_t> openCount() = 0;
    // The trackers of this campaign without a verdict that another running campaign
    // holds now, as "TRACKER (campaign ID)".
    virtual Result<std::vector<std::string>> heldElsewhere() = 0;
    // The station leaves: the trackers it holds without a verdict are released at once.
    // The campaign is marked finished when no tracker is left without a verdict, else
    // interrupted when no other station is live.
    virtual Status leave() = 0;
};

class CampaignStorage {
public:
    virtual ~CampaignStorage() = default;

    // Where the campaigns are, as shown to the operator (the file, or the URL without its
    // password).
    virtual std::string location() const = 0;
    // True when several stations may run one campaign together.
    virtual bool shared() const = 0;

    // Creates the campaign and its tracker rows in one transaction; returns its ID.
    virtual Result<int64_t> create(const CampaignRecord& campaign,
                                   const std::vector<CampaignTrackerRecord>& trackers) const = 0;
    // "no campaign ID" when there is none.
    virtual Result<CampaignRecord> campaign(int64_t id) const = 0;
    // Newest first, with their counts.
    virtual Result<std::vector<CampaignRecord>> list() const = 0;
    // In campaign order, with the station holding each.
    virtual Result<std::vector<CampaignTrackerRecord>> trackers(int64_t id) const = 0;
    // The same rows handed to `take` one at a time, without holding them all: a fleet's
    // campaign is read in flat memory. Stops at the first failure (rows before it were
    // handed on).
    virtual Status eachTracker(
        int64_t id, const std::function<void(const CampaignTrackerRecord&)>& take) const {
        Result<std::vector<CampaignTrackerRecord>> rows = trackers(id);
        if (!rows) return rows.status();
        for (const CampaignTrackerRecord& row : rows.value()) take(row);
        return Status::Ok();
    }
    // Deletes history rows that ended before `historyBefore` and campaigns (with their
    // tracker rows and stations) finished before `campaignsBefore`, both timestamps as
    // HistoryTimestamp writes them; either may be left out. One transaction.
    struct PruneCounts {
        int64_t historyRows = 0;
        int64_t campaigns = 0;
        int64_t campaignTrackers = 0;
    };
    virtual Result<PruneCounts> prune(const std::optional<std::string>& historyBefore,
                                      const std::optional<std::string>& campaignsBefore) const = 0;
    // The stations that joined the campaign, in the order they joined.
    virtual Result<std::vector<CampaignStationRecord>> stations(int64_t id) const = 0;

    // A connection that saves the changes of `station` in campaign `id`; every tracker
    // it saves keeps `station`'s claim for `lease` more.
    virtual Result<std::unique_ptr<CampaignWriter>> openWriter(
        int64_t id, const CampaignStationInfo& station, std::chrono::milliseconds lease) const = 0;
    // Joins `station` to campaign `id` with leases of `lease`. Refused when a live station
    // of the same name is in the campaign already, or (one process per campaign in a
    // file) when another live process runs it.
    virtual Result<std::unique_ptr<CampaignClaims>> openClaims(
        int64_t id, const CampaignStationInfo& station, std::chrono::milliseconds lease) const = 0;
};

}  // namespace vela
