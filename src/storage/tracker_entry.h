#pragma once

#include <cstdint>
#include <string>

namespace vela {

// GPRS authentication modes, as stored in the Auth column.
enum AuthMode : int32_t { kAuthNone = 0, kAuthChap = 1, kAuthPap = 2 };

// One known tracker; a plain value, copied in and out of the list.
struct TrackerEntry {
    std::string description;  // the key, normally the IMEI
    std::string phone;        // international digits without "+"
    int32_t pushPort = 0;     // destination port of the wake-up SMS
    std::string apn;
    int32_t auth = kAuthNone;
    std::string smsUser;
    std::string smsPassword;
    std::string gprsUser;
    std::string gprsPassword;
    int32_t deviceType = 0;  // index into the device type list; 0 is "FM2XXX"

    bool operator==(const TrackerEntry&) const = default;
};

}  // namespace vela
