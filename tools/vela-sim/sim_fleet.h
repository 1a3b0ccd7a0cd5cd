#pragma once

#include "common/result.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// `vela-sim fleet`: many simulated trackers behind several simulated modems.
namespace velasim {

// How a simulated tracker reacts to its wake-up SMS.
enum class FleetRole {
    Normal,       // calls, takes the image, answers with its length
    NeverCalls,   // ignores every SMS
    Rejects,      // answers with a wrong length
    HangsUp,      // takes the image and closes without answering
    Foreign,      // calls with an IMEI that belongs to no tracker of the fleet
    Duplicate,    // behaves normally, then calls a second time
    Undelivered,  // its SMS never arrives: the modems report it undeliverable
};

std::string_view RoleName(FleetRole role);

struct FleetTracker {
    std::string imei;
    std::string phone;
    FleetRole role = FleetRole::Normal;
};

// Shares of the fleet in percent; whatever is left over behaves normally.
struct FleetShares {
    int neverCalls = 0;
    int rejects = 0;
    int hangsUp = 0;
    int foreign = 0;
    int duplicate = 0;
    int undelivered = 0;
};

struct FleetOptions {
    std::size_t trackers = 10;
    std::size_t modems = 1;
    std::string firstImei = "350000000000000";
    std::string firstPhone = "37060000000";
    FleetShares shares;
    std::chrono::milliseconds delayMin{0};
    std::chrono::milliseconds delayMax{2000};
    uint64_t seed = 0;
    bool seedGiven = false;
    std::string linkPrefix;              // modem K (from 1) also at PREFIX + K
    std::vector<std::string> modemArgs;  // handed to every `vela-sim modem`
    std::size_t failModem = 1;           // which modem --fail-after stops
    std::size_t failAfter = 0;           // 0: no modem fails
    std::chrono::seconds callTimeout{20};
    std::chrono::milliseconds answerDelay{0};  // from the whole image to the answer
    std::chrono::seconds lifetime{0};          // 0: until SIGINT or SIGTERM
    std::string csvFile;                       // the fleet as a tracker CSV file
    std::string expectXml;
    std::size_t workers = 32;  // concurrent calls
};

// The fleet's trackers: IMEIs and phone numbers counted up from the first ones, roles
// dealt by the shares in an order shuffled by the seed. Fails when the numbers would
// run out of digits or the shares exceed the whole.
vela::Result<std::vector<FleetTracker>> PlanFleet(const FleetOptions& options);

// The IMEI a foreign caller of tracker `index` uses: 15 digits that the fleet's own
// numbering never reaches.
std::string ForeignImei(const FleetOptions& options, std::size_t index);

}  // namespace velasim
