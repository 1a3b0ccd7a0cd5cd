#pragma once

// The network's answer to "was my SMS delivered?": an SMS-STATUS-REPORT as a modem hands
// it over in PDU mode (after `+CDS: <length>`, or read with AT+CMGR), decoded by a pure
// function. The report names the message by the reference that `+CMGS: <mr>` returned.

#include "common/result.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vela {

// A time stamp of the network: local time of the service centre and its offset from UTC.
struct SmsTimestamp {
    int year = 0;  // four digits
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int offsetMinutes = 0;  // east of UTC
    // "2026-12-08 10:15:30 +02:00"
    std::string text() const;
    // "10:15:30"
    std::string clock() const;
};

// What the status says of the message.
enum class DeliveryState {
    Delivered,  // the tracker's SIM received it
    Trying,     // a temporary error; the service centre still tries
    Failed,     // a permanent error, or a temporary one given up: it will not arrive
};

struct StatusReport {
    int messageReference = 0;  // TP-MR, as +CMGS returned it
    std::string recipient;     // the number the message was for ("+" for international)
    SmsTimestamp serviceCentreTime;
    SmsTimestamp dischargeTime;  // when delivered, or when the outcome was decided
    uint8_t status = 0;          // TP-ST
    DeliveryState state = DeliveryState::Delivered;
};

// Decodes an SMS-STATUS-REPORT in hexadecimal text that starts with the service-centre
// address, as modems give it in PDU mode. Refused, saying why, when the text is not
// hexadecimal, is cut short, or is another kind of PDU; never reads past its end.
Result<StatusReport> DecodeStatusReport(std::string_view hex);

// The state a TP-ST value puts the message in.
DeliveryState DeliveryStateOf(uint8_t status);

// What TP-ST means, for the operator: "delivered", "the tracker was unreachable until the
// message expired", ...
std::string DeliveryStatusText(uint8_t status);

}  // namespace vela
