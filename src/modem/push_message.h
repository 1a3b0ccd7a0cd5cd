#pragma once

#include "common/result.h"
#include "storage/program_settings.h"
#include "storage/tracker_entry.h"

#include <string>
#include <string_view>

namespace vela {

// One SMS carries at most 140 octets of user data.
inline constexpr int kMaxUserDataOctets = 140;

// The wake-up SMS of `tracker`: an SMS-SUBMIT PDU (empty service-centre field first)
// in hexadecimal text. Header values, lengths and ports are upper-case, the bytes of
// the text fields lower-case. Refused, naming the field, when a port is outside
// 0..65535, the phone number has more than 20 characters or anything but digits, or the
// user data would not fit into one SMS.
// With `askForStatusReport` the SMS-SUBMIT also asks the network for a status report
// (TP-SRR): its first octet is 61 instead of 41, and nothing else changes.
Result<std::string> BuildPushMessage(const TrackerEntry& tracker, const ProgramSettings& settings,
                                     bool askForStatusReport = false);

// Each byte of `text` as two lower-case hexadecimal digits of its unsigned value.
std::string HexEncode(std::string_view text);

// The TPDU length announced by "AT+CMGS=%d": the octets of `pushMessage` less the
// service-centre octet at its start.
int CmgsLength(std::string_view pushMessage);

}  // namespace vela
