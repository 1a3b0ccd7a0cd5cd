#pragma once

// A fleet system's export made into the tracker CSV that readTrackerCsv reads: the
// delimiter found in the header row (comma, semicolon or tab), header names mapped to
// the tracker columns (--column Imei=IMEI), columns of no use left out (and named),
// and phone numbers written as digits ("+370 600-00 000" becomes "37060000000").
#include "common/result.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velactl {

struct FleetCsv {
    std::string csv;                   // header and rows with the tracker columns
    std::vector<std::size_t> lines;    // the file's line of each row
    std::vector<std::string> ignored;  // header names left out
    char delimiter = ',';
};

// `mapping`: a tracker column (any case) to the header name that holds it in the file.
// `delimiter` 0 detects it. Fails, naming the line, on a quote that is not closed and on
// a mapping to a header the file does not have.
vela::Result<FleetCsv> TranslateFleetCsv(std::string_view text,
                                         const std::map<std::string, std::string>& mapping,
                                         char delimiter = 0);

// The digits of a phone number as people write it: "+", spaces, dashes, dots and
// parentheses go; anything else stays, for the checks to refuse.
std::string NormalisedPhone(std::string_view phone);

}  // namespace velactl
