#pragma once

#include "storage/tracker_list.h"

#include <array>
#include <string>
#include <string_view>
#include <unordered_set>

namespace vela {

// The tracker list dialog's messages for incomplete input; the command line uses the
// same checks and texts.
inline constexpr const char* kTrackerNeedsDescription = "Please type description of device";
inline constexpr const char* kTrackerNeedsPhone = "Please type phone number";
inline constexpr const char* kTrackerNeedsApn = "Please type apn";
inline constexpr const char* kTrackerDescriptionUsed = "This description is used already!";

// What the command line says of values its options cannot produce but a file can.
inline constexpr const char* kTrackerPhoneDigitsOnly = "the phone number takes digits only";
inline constexpr const char* kTrackerPushPortRange = "the push port is not between 0 and 65535";
inline constexpr const char* kTrackerAuthRange =
    "the authentication is not 0 (none), 1 (CHAP) or 2 (PAP)";
inline constexpr const char* kTrackerDeviceTypeUnknown = "the device type is not 0 (FM2XXX)";

// The device type list; a tracker's deviceType is an index into it.
inline constexpr std::array<const char*, 1> kTrackerDeviceTypes = {"FM2XXX"};

// The three emptiness checks, in the dialog's order: the first failure's text, or an
// empty view when all pass.
std::string_view CheckTrackerFields(const TrackerEntry& entry);

// The checks of "Add": the emptiness checks, then a description that an entry of
// `list` already has (exact, case-sensitive).
std::string_view CheckNewTracker(const TrackerList& list, const TrackerEntry& entry);

// The value checks of `velactl trackers add`, for entries that did not come through its
// options (rows of a CSV file): the phone number is digits only, the push port 0 to
// 65535, the authentication 0, 1 or 2, the device type one of the list.
std::string_view CheckTrackerValues(const TrackerEntry& entry);

// The checks of "Add" for many entries in a row, each against the list and the
// entries accepted before it, in time linear in their number: the value checks, then
// CheckNewTracker's.
class NewTrackerChecks {
public:
    explicit NewTrackerChecks(const TrackerList& list);
    // The first failure's text, or an empty view.
    std::string_view check(const TrackerEntry& entry) const;
    // `entry` passed and joins the list: its description is in use from now on.
    void accept(const TrackerEntry& entry);

private:
    std::unordered_set<std::string> descriptions_;
};

}  // namespace vela
