#pragma once

#include "commands.h"
#include "storage/program_settings.h"
#include "storage/tracker_entry.h"

#include <cstdio>
#include <optional>
#include <string>

// What `velactl pdu --tracker` and `velactl sms` share: the settings and one tracker
// read from the database.
namespace velactl {

struct StoredTracker {
    vela::ProgramSettings settings;
    vela::TrackerEntry tracker;
};

// Loads settings.accdb in `directory`; storage warnings go to `warnings` as
// "warning: TEXT". Prints the reason (prefixed by `command`) and returns nullopt when
// the database or the tracker is missing.
std::optional<StoredTracker> LoadStoredTracker(const char* command, const std::string& description,
                                               const std::string& directory, std::FILE* warnings);

}  // namespace velactl
