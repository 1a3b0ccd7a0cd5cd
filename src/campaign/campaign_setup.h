#pragma once

// What a campaign is made of before anything is sent: the checked request that creates
// it, and, for a run, the stored campaign with its images, the settings and trackers its
// SMS are built from, and this station's address. Everything that cannot work is refused
// here, naming the setting, before a modem is touched.

#include "campaign/campaign_book.h"
#include "campaign/campaign_engine.h"
#include "modem/serial_port.h"
#include "modem/serial_trace.h"
#include "storage/program_settings.h"
#include "storage/station_options.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

namespace vela {

// A campaign ready to run on this station.
struct PreparedRun {
    CampaignRecord campaign;  // with this station's modems
    std::map<int, ConfigImage> images;
    ProgramSettings settings;  // with this station's address
    StationOptions options;    // with this station's allow-list and delivery reports
    // What each tracker of the list is woken with, by description, built once: a
    // fleet's rows are looked up one by one as they are claimed (a search of the list
    // for each would grow with its square), and the list itself is not kept.
    struct WakeUp {
        int deviceType = 0;
        std::string pushMessage;  // the wake-up SMS, when one can be built
        std::string refusal;      // why none can
    };
    std::unordered_map<std::string, WakeUp> wakeUps;
    CampaignStationInfo station;
    uint16_t listenPort = 0;
    int smsPerMinute = 0;  // per modem; 0: no limit
};

// The images of a campaign as its Images column keeps them: "TYPE HEX" lines, one per
// device type. Refused as damaged when a line is not one.
Result<std::map<int, ConfigImage>> DecodeCampaignImages(const std::string& text);

// Checks a request and records the new campaign; sends nothing.
Result<int64_t> CreateCampaign(const StorageEngine& store, const CampaignStorage& campaigns,
                               const CampaignRequest& request);

// Reads campaign `id` and everything its SMS are built from, with `station` applied.
// Refused, naming the setting, when the external address is 0.0.0.0 or 255.255.255.255,
// a port is 0 or out of range, or no modem is given.
Result<PreparedRun> PrepareRun(const StorageEngine& store, const CampaignStorage& campaigns,
                               int64_t id, const CampaignStationSettings& station);

// Refused, naming the first, when a modem path does not open (a mistyped --modem, a
// modem unplugged or held by another program).
Status CheckModemsOpen(const std::vector<std::string>& modems);

// "trackers held by another running campaign, left for later: A (campaign 3), ...".
std::string HeldElsewhereText(const std::vector<std::string>& trackers);

// The whole campaign's counts as the database has them now (`rows`, this station's, when
// it cannot be read: asked for only then, as a fleet's rows are a copy of the book),
// ended as its stored state says.
CampaignSummary SummarizeCampaign(const CampaignStorage& campaigns, int64_t id,
                                  const std::function<std::vector<CampaignTrackerRecord>()>& rows,
                                  std::string reason);

// The trace of modem `modemIndex` (from 0): FILE for the first, FILE.2, FILE.3... for the
// others; `port` records into it.
Result<std::unique_ptr<SerialTrace>> OpenModemTrace(const std::filesystem::path& file,
                                                    std::size_t modemIndex, SerialPort& port);

// The book's view of claimed rows: their wake-up SMS, or why none can be built. With
// `once` (a station that claims every tracker a single time) each tracker's wake-up
// moves from `run` into the book instead of being copied.
std::vector<BookTracker> BookTrackersOf(PreparedRun& run, std::vector<CampaignTrackerRecord> rows,
                                        bool once);

}  // namespace vela
