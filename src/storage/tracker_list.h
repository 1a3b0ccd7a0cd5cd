#pragma once

#include "storage/tracker_entry.h"

#include <string_view>
#include <vector>

namespace vela {

// The ordered list of known trackers, in load order with additions at the end.
// Entries go in and out by copy. Uniqueness of descriptions is the dialogs' concern.
class TrackerList {
public:
    int count() const { return static_cast<int>(entries_.size()); }
    TrackerEntry at(int index) const { return entries_.at(static_cast<size_t>(index)); }
    int add(const TrackerEntry& entry);
    int add(TrackerEntry&& entry);  // for long lists read from a file
    void replaceAt(int index, const TrackerEntry& entry);
    void removeAt(int index);
    // Index of the first entry whose description equals `text` exactly (case-sensitive),
    // or -1.
    int findByDescription(std::string_view text) const;

    const std::vector<TrackerEntry>& entries() const { return entries_; }

private:
    std::vector<TrackerEntry> entries_;
};

}  // namespace vela
