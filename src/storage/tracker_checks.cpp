#include "storage/tracker_checks.h"

namespace vela {

std::string_view checkTrackerFields(const TrackerEntry& entry) {
    if (entry.description.empty()) return kTrackerNeedsDescription;
    if (entry.phone.empty()) return kTrackerNeedsPhone;
    if (entry.apn.empty()) return kTrackerNeedsApn;
    return {};
}

std::string_view checkNewTracker(const TrackerList& list, const TrackerEntry& entry) {
    if (std::string_view failed = checkTrackerFields(entry); !failed.empty()) return failed;
    if (list.findByDescription(entry.description) >= 0) return kTrackerDescriptionUsed;
    return {};
}

}  // namespace vela
