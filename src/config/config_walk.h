#pragma once

#include "common/result.h"
#include "config/config_document.h"
#include "config/image_writer.h"

#include <cstdint>

namespace vela {

// The state of one read: the document being cut, the image being built and the element
// number that every numbered loop shares. An element without its number tag takes the
// number read last, in whichever loop that was; before any, 0.
struct ConfigWalk {
    ConfigDocument& document;
    ImageWriter& writer;
    int32_t elementNumber = 0;
};

// The repeated and composed records, one operation per step of the walk. Each stops at
// the first refused record and returns its reason.
Status ReadFrames(ConfigWalk& walk);            // "<frame>": coordinates 1021..1024 + 10f
Status ReadSecureNumbers(ConfigWalk& walk);     // " <securenum>": 1261 + n
Status ReadOperatorCodes(ConfigWalk& walk);     // "<operatorcode>": the code list, 1271
Status ReadIoElements(ConfigWalk& walk);        // "<io>": 1300..1305 + 10i
Status ReadZones(ConfigWalk& walk);             // "<geofenceframe_hlp>": 1020 + 10f
Status ReadSendSchedule(ConfigWalk& walk);      // 1272, always
Status ReadSmsSchedule(ConfigWalk& walk);       // 1273, always
Status ReadProfileSchedules(ConfigWalk& walk);  // 1283, 1288, 1293, 1298, 1603, 1608

}  // namespace vela
