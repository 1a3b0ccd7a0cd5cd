#pragma once

#include "storage/tracker_list.h"

#include <array>
#include <string_view>

namespace vela {

// The tracker list dialog's messages for incomplete input; the command line uses the
// same checks and texts.
inline constexpr const char* kTrackerNeedsDescription = "Please type description of device";
inline constexpr const char* kTrackerNeedsPhone = "Please type phone number";
inline constexpr const char* kTrackerNeedsApn = "Please type apn";
inline constexpr const char* kTrackerDescriptionUsed = "This description is used already!";

// The device type list; a tracker's deviceType is an index into it.
inline constexpr std::array<const char*, 1> kTrackerDeviceTypes = {"FM2XXX"};

// The three emptiness checks, in the dialog's order: the first failure's text, or an
// empty view when all pass.
std::string_view checkTrackerFields(const TrackerEntry& entry);

// The checks of "Add": the emptiness checks, then a description that an entry of
// `list` already has (exact, case-sensitive).
std::string_view checkNewTracker(const TrackerList& list, const TrackerEntry& entry);

}  // namespace vela
