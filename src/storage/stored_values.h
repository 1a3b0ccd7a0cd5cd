#pragma once

#include "storage/program_settings.h"
#include "storage/tracker_list.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vela {

// How a row read from any database engine becomes values the program can use. A number
// another tool stored out of range is replaced by its default, and the reason goes
// into `warnings` for the operator.

// The numbers of a Settings row as stored (IP as a signed 32-bit value or wider).
struct StoredSettingsNumbers {
    int64_t ip = 0;
    int64_t externalPort = 0;
    int64_t localPort = 0;
    int64_t timeoutSeconds = 0;
};
void ApplyStoredSettings(const StoredSettingsNumbers& stored, std::string modemPort,
                         ProgramSettings& settings, std::vector<std::string>& warnings);

// The Port column of a Trackers row; a port out of 0..65535 becomes 2001 (07D1).
int32_t StoredPushPort(int64_t stored, const std::string& description,
                       std::vector<std::string>& warnings);

// The IP as the Settings table keeps it: the 32 bits as a signed value
// (255.255.255.255 is -1).
inline int32_t StoredIp(uint32_t address) {
    return static_cast<int32_t>(address);
}

// A fingerprint of a tracker list's content and order. Two lists with the same
// fingerprint are, for every practical purpose, the same list; a window keeps the
// fingerprint of the list it loaded to tell whether the stored one changed since.
using TrackerListStamp = uint64_t;
TrackerListStamp StampOf(const TrackerList& list);

// Why a save that checked the stamp was refused.
inline constexpr const char* kTrackersChangedMeanwhile =
    "the stored tracker list was changed elsewhere since it was loaded";

}  // namespace vela
