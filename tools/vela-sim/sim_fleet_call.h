#pragma once

#include "sim_fleet.h"
#include "sim_tracker_connection.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace velasim {

struct CallPlan {
    std::string host;
    uint16_t port = 0;
    std::string imei;  // what the caller claims to be
    FleetRole role = FleetRole::Normal;
    bool secondCall = false;  // the repeat of a duplicate caller
    std::chrono::seconds timeout{30};
    std::chrono::milliseconds answerDelay{0};          // from the whole image to the answer
    std::optional<std::span<const uint8_t>> expected;  // the image the tracker must get
};

// What became of a call: a word for the fleet's report and a detail.
// answered, answered-wrong, hung-up, turned-away (closed without an image, as a foreign
// or repeated caller should be), got-image (one that should not have), bad-image, failed.
struct CallOutcome {
    std::string word;
    std::string detail;
};

// Places the call and plays it through; every wait is bounded by the plan's timeout.
CallOutcome PlaceCall(const CallPlan& plan);

}  // namespace velasim
