// The status-report decoder on arbitrary text: no crash, no read past its end, and what
// it accepts stays within the report's own bounds.
#include "modem/status_report.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view hex(reinterpret_cast<const char*>(data), size);
    const vela::Result<vela::StatusReport> report = vela::DecodeStatusReport(hex);
    (void)vela::DeliveryStatusText(static_cast<uint8_t>(size));
    if (!report) return 0;
    if (report->messageReference < 0 || report->messageReference > 255) std::abort();
    if (report->recipient.size() > 21) std::abort();  // 20 digits and a "+"
    if (report->dischargeTime.text().size() != 26) std::abort();
    if (vela::DeliveryStatusText(report->status).empty()) std::abort();
    return 0;
}
