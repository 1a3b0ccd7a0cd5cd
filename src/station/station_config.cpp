#include "station/station_config.h"

#include "common/file_access.h"
#include "common/number.h"
#include "storage/pg/connection.h"
#include "storage/program_settings.h"

#include <sstream>

namespace vela {

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

Result<StationConfig> ParseStationConfig(const std::string& text) {
    StationConfig config;
    std::vector<AddressRange> ranges;
    std::istringstream in(text);
    int lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        line = trimmed(line);
        if (line.empty()) continue;
        const auto fail = [&](const std::string& why) {
            return Result<StationConfig>::Fail("line " + std::to_string(lineNumber) + ": " + why,
                                               StatusCode::Invalid);
        };
        const auto equals = line.find('=');
        if (equals == std::string::npos) return fail("expected 'key = value'");
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        const auto number = [&](long low, long high) { return parseWholeNumber(value, low, high); };
        if (key == "name") {
            if (value.empty() || value.size() > 64) return fail("name takes 1 to 64 characters");
            config.name = value;
        } else if (key == "group") {
            config.group = value;
        } else if (key == "modem") {
            if (value.empty()) return fail("modem takes a port");
            config.modems.push_back(value);
        } else if (key == "external-ip") {
            const std::optional<uint32_t> ip = parseIpv4(value);
            if (!ip || *ip == 0 || *ip == 0xFFFFFFFFu)
                return fail("external-ip takes an address A.B.C.D a tracker can call");
            config.externalIp = *ip;
        } else if (key == "external-port" || key == "listen-port") {
            const std::optional<long> port = number(1, 65535);
            if (!port) return fail(key + " takes a port from 1 to 65535");
            (key == "external-port" ? config.externalPort : config.listenPort) =
                static_cast<int>(*port);
        } else if (key == "database") {
            if (!pg::IsPostgresUrl(value)) return fail("database takes a postgresql:// URL");
            if (pg::HoldsPassword(value)) {
                return fail(
                    "the database URL must not hold a password: put it in the station "
                    "user's ~/.pgpass or in a service of pg_service.conf");
            }
            config.database = value;
        } else if (key == "allow-from") {
            Result<AddressAllowList> list = parseAddressAllowList(value);
            if (!list) return fail("allow-from: " + list.message());
            for (const AddressRange& range : list.value().ranges()) ranges.push_back(range);
        } else if (key == "sms-per-minute") {
            const std::optional<long> rate = number(0, 6000);
            if (!rate) return fail("sms-per-minute takes a number from 0 (no limit) to 6000");
            config.smsPerMinute = static_cast<int>(*rate);
        } else if (key == "lease") {
            const std::optional<long> seconds = number(1, 3600);
            if (!seconds) return fail("lease takes a number of seconds from 1 to 3600");
            config.lease = std::chrono::seconds(*seconds);
        } else if (key == "metrics-file") {
            config.metricsFile = value;
        } else {
            return fail("unknown key '" + key + "'");
        }
    }
    if (!ranges.empty()) config.allowFrom = AddressAllowList(std::move(ranges));
    if (config.listenPort == 0) config.listenPort = config.externalPort;
    std::string missing;
    for (auto [key, absent] :
         {std::pair{"name", config.name.empty()}, std::pair{"modem", config.modems.empty()},
          std::pair{"external-ip", config.externalIp == 0},
          std::pair{"external-port", config.externalPort == 0},
          std::pair{"database", config.database.empty()}}) {
        if (absent) missing += (missing.empty() ? "" : ", ") + std::string(key);
    }
    if (!missing.empty())
        return Result<StationConfig>::Fail("missing: " + missing, StatusCode::Invalid);
    return config;
}

Result<StationConfig> ReadStationConfig(const std::filesystem::path& path) {
    Result<std::string> text = ReadRegularFile(path.string(), 1024 * 1024);
    if (!text) return text.status();
    Result<StationConfig> config = ParseStationConfig(text.value());
    if (!config) return config.status().withContext(path.string() + ": ");
    return config;
}

}  // namespace vela
