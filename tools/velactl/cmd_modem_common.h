#pragma once

#include "commands.h"
#include "storage/pg/installation_choice.h"
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

// Loads the settings and the tracker from the chosen installation; storage warnings go
// to `warnings` as "warning: TEXT". Prints the reason (prefixed by `command`) and
// returns nullopt when the database or the tracker is missing.
std::optional<StoredTracker> LoadStoredTracker(const char* command, const std::string& description,
                                               const vela::InstallationChoice& choice,
                                               std::FILE* warnings);

}  // namespace velactl
