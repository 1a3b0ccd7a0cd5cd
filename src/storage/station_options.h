#pragma once

// What a station keeps beyond the six values of the Settings table: one row per
// option in the Options table, by name.

#include "common/address_range.h"
#include "common/result.h"

#include <string>
#include <utility>
#include <vector>

namespace vela {

struct StationOptions {
    // Who may call this station's listeners (empty: everyone).
    AddressAllowList allowFrom;
    // Each wake-up SMS asks the network for a delivery report.
    bool askForDeliveryReports = false;

    bool operator==(const StationOptions&) const = default;
};

// The names of the rows.
inline constexpr const char* kOptionAllowFrom = "allow-from";
inline constexpr const char* kOptionDeliveryReports = "delivery-reports";

using OptionRow = std::pair<std::string, std::string>;

// The rows that keep `options`, one per known option.
std::vector<OptionRow> OptionRows(const StationOptions& options);

// Takes one stored row into `options`. A row of a name this version does not know is
// left alone (a newer version may have written it). A value that does not parse fails
// as Invalid naming the option and the value: a caller allow-list that cannot be read
// must never be taken for the empty one, which lets everyone call.
Status ApplyOptionRow(const std::string& name, const std::string& value, StationOptions& options);

// "on" or "off", as stored and as typed on the command line.
const char* OnOffText(bool on);
Result<bool> ParseOnOff(std::string_view text);

}  // namespace vela
