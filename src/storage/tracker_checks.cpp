#include "storage/tracker_checks.h"

namespace vela {

std::string_view CheckTrackerFields(const TrackerEntry& entry) {
    if (entry.description.empty()) return kTrackerNeedsDescription;
    if (entry.phone.empty()) return kTrackerNeedsPhone;
    if (entry.apn.empty()) return kTrackerNeedsApn;
    return {};
}

std::string_view CheckNewTracker(const TrackerList& list, const TrackerEntry& entry) {
    if (std::string_view failed = CheckTrackerFields(entry); !failed.empty()) return failed;
    if (list.findByDescription(entry.description) >= 0) return kTrackerDescriptionUsed;
    return {};
}

std::string_view CheckTrackerValues(const TrackerEntry& entry) {
    if (entry.phone.find_first_not_of("0123456789") != std::string::npos) {
        return kTrackerPhoneDigitsOnly;
    }
    if (entry.pushPort < 0 || entry.pushPort > 65535) return kTrackerPushPortRange;
    if (entry.auth < kAuthNone || entry.auth > kAuthPap) return kTrackerAuthRange;
    if (entry.deviceType < 0 ||
        static_cast<size_t>(entry.deviceType) >= kTrackerDeviceTypes.size()) {
        return kTrackerDeviceTypeUnknown;
    }
    return {};
}

NewTrackerChecks::NewTrackerChecks(const TrackerList& list) {
    for (const TrackerEntry& entry : list.entries()) descriptions_.insert(entry.description);
}

std::string_view NewTrackerChecks::check(const TrackerEntry& entry) const {
    if (std::string_view failed = CheckTrackerValues(entry); !failed.empty()) return failed;
    if (std::string_view failed = CheckTrackerFields(entry); !failed.empty()) return failed;
    if (descriptions_.count(entry.description) > 0) return kTrackerDescriptionUsed;
    return {};
}

void NewTrackerChecks::accept(const TrackerEntry& entry) {
    descriptions_.insert(entry.description);
}

}  // namespace vela
