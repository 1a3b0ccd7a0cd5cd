#include "storage/tracker_list.h"

#include <utility>

namespace vela {

int TrackerList::add(const TrackerEntry& entry) {
    entries_.push_back(entry);
    return count() - 1;
}

int TrackerList::add(TrackerEntry&& entry) {
    entries_.push_back(std::move(entry));
    return count() - 1;
}

void TrackerList::replaceAt(int index, const TrackerEntry& entry) {
    entries_.at(static_cast<size_t>(index)) = entry;
}

void TrackerList::removeAt(int index) {
    (void)entries_.at(static_cast<size_t>(index));  // range check
    entries_.erase(entries_.begin() + index);
}

int TrackerList::findByDescription(std::string_view text) const {
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].description == text) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace vela
