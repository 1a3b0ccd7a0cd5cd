#pragma once

// The configuration file of an unattended station: "key = value" lines, '#' starts a
// comment. Everything the station needs to work alone is in it; the database is named
// by a URL without a password (libpq takes the password from ~/.pgpass, or the whole
// connection from a service of pg_service.conf: "postgresql:///?service=vela").

#include "common/address_range.h"
#include "common/result.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vela {

struct StationConfig {
    std::string name;                 // unique among the stations of the database
    std::string group;                // the queue it takes campaigns from ("" by default)
    std::vector<std::string> modems;  // modem ports, one "modem =" line each
    uint32_t externalIp = 0;          // where its trackers call it
    int externalPort = 0;
    int listenPort = 0;                 // bound locally (default: the external port)
    std::string database;               // postgresql://... without a password
    AddressAllowList allowFrom;         // who may call (empty: everyone)
    int smsPerMinute = 0;               // 0: no limit
    std::chrono::seconds lease{30};     // how long its claims last unless renewed
    std::filesystem::path metricsFile;  // node_exporter textfile, empty: none
};

// Reads `text` (the file's contents). Refused, naming the line, on an unknown key, a value
// out of range, a missing name, modem, address, port or database, and a database URL
// that holds a password (the file may be read by others, and the URL shows in logs).
Result<StationConfig> ParseStationConfig(const std::string& text);

// Reads the file `path` (at most 1 MiB) and parses it.
Result<StationConfig> ReadStationConfig(const std::filesystem::path& path);

}  // namespace vela
