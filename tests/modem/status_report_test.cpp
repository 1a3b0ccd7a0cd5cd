// Status reports as modems hand them over: each class of TP-ST, the service-centre
// address present or not, time zones either side of UTC, and hostile or cut PDUs.
#include "modem/status_report.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

// No service centre, first octet 06, reference 42, recipient +37060000005, stamps of
// 2026-12-08 10:15:30 and 10:15:35 at +02:00; the status follows.
const std::string kReport = "00062A0B917360000000F56221800151038062218001515380";

TEST(StatusReport, EveryClassOfStatusAndEveryForm) {
    struct Case {
        std::string hex;
        int reference;
        std::string recipient;
        std::string discharge;
        DeliveryState state;
        std::string meaning;
    };
    const std::vector<Case> cases = {
        {kReport + "00", 42, "+37060000005", "2026-12-08 10:15:35 +02:00", DeliveryState::Delivered,
         "delivered"},
        {"07917306000000F0" + kReport.substr(2) + "00", 42, "+37060000005",
         "2026-12-08 10:15:35 +02:00", DeliveryState::Delivered, "delivered"},
        {kReport + "21", 42, "+37060000005", "2026-12-08 10:15:35 +02:00", DeliveryState::Trying,
         "the tracker is busy; the network still tries"},
        {kReport + "46", 42, "+37060000005", "2026-12-08 10:15:35 +02:00", DeliveryState::Failed,
         "the tracker was unreachable until the message expired"},
        {kReport + "62", 42, "+37060000005", "2026-12-08 10:15:35 +02:00", DeliveryState::Failed,
         "the tracker did not respond and the network gave up"},
        {kReport + "9A", 42, "+37060000005", "2026-12-08 10:15:35 +02:00", DeliveryState::Failed,
         "not delivered (status 0x9A)"},
        // A national number of odd length, a zone west of UTC (-05:00).
        {"0006070781"
         "214365F7"
         "6221800151030A"
         "6221800151530A"
         "00",
         7, "1234567", "2026-12-08 10:15:35 -05:00", DeliveryState::Delivered, "delivered"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        const Result<StatusReport> report = DecodeStatusReport(c.hex);
        ASSERT_TRUE(report) << report.message();
        EXPECT_EQ(report->messageReference, c.reference);
        EXPECT_EQ(report->recipient, c.recipient);
        EXPECT_EQ(report->dischargeTime.text(), c.discharge);
        EXPECT_EQ(report->dischargeTime.clock(), "10:15:35");
        EXPECT_EQ(report->state, c.state);
        EXPECT_EQ(DeliveryStatusText(report->status), c.meaning);
    }
}

TEST(StatusReport, HostileAndCutReportsAreRefusedSayingWhy) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "cut short"},
        {"0", "not hexadecimal"},
        {"zz", "not hexadecimal"},
        {"FF00", "cut short in its centre"},
        {"0004" + kReport.substr(4) + "00", "another kind of message"},
        {"00062AFF91" + std::string(200, '9'), "longer than 20 digits"},
        {kReport.substr(0, 38) + "99" + kReport.substr(40) + "00", "not a date"},
    };
    for (const auto& [hex, why] : cases) {
        const Result<StatusReport> report = DecodeStatusReport(hex);
        ASSERT_FALSE(report) << hex;
        EXPECT_NE(report.message().find(why), std::string::npos) << hex << ": " << report.message();
    }
    // Every cut of a good report is refused, never read past its end.
    const std::string whole = kReport + "00";
    for (std::size_t length = 0; length < whole.size(); length += 2) {
        EXPECT_FALSE(DecodeStatusReport(whole.substr(0, length))) << length;
    }
}

}  // namespace
}  // namespace vela
