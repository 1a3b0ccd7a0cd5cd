#include "storage/hex_port.h"
#include "storage/tracker_checks.h"

#include "store_test_support.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(HexPort, PadsToFourDigitsAndKeepsTheLastFour) {
    EXPECT_EQ(parseHexPort("7D1"), 2001);
    EXPECT_EQ(parseHexPort("07D1"), 2001);
    EXPECT_EQ(parseHexPort(""), 0);
    EXPECT_EQ(parseHexPort("12345"), 0x2345);  // 9029
    EXPECT_EQ(parseHexPort("FFFF"), 65535);
    EXPECT_EQ(parseHexPort("4000"), 16384);
}

TEST(HexPort, PairsFollowTheDigitArithmeticForEveryCharacter) {
    EXPECT_EQ(parseHexPair("7D"), 0x7D);
    EXPECT_EQ(parseHexPair("FF"), 0xFF);
    EXPECT_EQ(parseHexPair(""), 0);
    EXPECT_EQ(parseHexPair("7"), 0);
    EXPECT_EQ(parseHexPair("7D1"), 0);
    // Not refused, just computed: 'G' is 16, ':' is 3, 'a' is 42.
    EXPECT_EQ(parseHexPair("G0"), 0);   // 256 mod 256
    EXPECT_EQ(parseHexPair("1G"), 32);  // 16 + 16
    EXPECT_EQ(parseHexPair(":0"), 48);
    EXPECT_EQ(parseHexPair("a0"), 160);  // 672 mod 256
    EXPECT_EQ(parseHexPair(" 1"), 1);    // (16 * -16 + 1) mod 256
    EXPECT_EQ(parseHexPair("\xC8"
                           "0"),
              128);                      // code 200 counts from '0': 152 * 16 mod 256
    EXPECT_EQ(parseHexPort("zz"), 115);  // 'z' is 67: 17 * 67 mod 256
}

TEST(HexPort, FormatsWithAtLeastFourUpperCaseDigits) {
    EXPECT_EQ(formatHexPort(2001), "07D1");
    EXPECT_EQ(formatHexPort(0), "0000");
    EXPECT_EQ(formatHexPort(65535), "FFFF");
    EXPECT_EQ(formatHexPort(0x12345), "12345");
    EXPECT_EQ(parseHexPort(formatHexPort(2001)), 2001);
}

TEST(TrackerChecks, ReportTheFirstFailureInTheDialogsOrder) {
    TrackerList list;
    TrackerEntry e;
    EXPECT_EQ(CheckNewTracker(list, e), "Please type description of device");
    e.description = "abc";
    EXPECT_EQ(CheckNewTracker(list, e), "Please type phone number");
    e.phone = "370600";
    EXPECT_EQ(CheckNewTracker(list, e), "Please type apn");
    e.apn = "internet";
    EXPECT_EQ(CheckNewTracker(list, e), "");
    list.add(e);
    EXPECT_EQ(CheckNewTracker(list, e), "This description is used already!");
    e.description = "ABC";
    EXPECT_EQ(CheckNewTracker(list, e), "");
    e.apn.clear();
    e.phone.clear();
    EXPECT_EQ(CheckNewTracker(list, e), "Please type phone number");
}

TEST(TrackerChecks, RowsFromAFileGetTheValueChecksAndUniqueDescriptions) {
    TrackerList list;
    list.add(test::sampleTracker(0));
    NewTrackerChecks checks(list);
    struct Case {
        void (*change)(TrackerEntry&);
        const char* failure;
    };
    const Case cases[] = {
        {[](TrackerEntry&) {}, ""},
        {[](TrackerEntry& e) { e.phone = "+3706"; }, kTrackerPhoneDigitsOnly},
        {[](TrackerEntry& e) { e.pushPort = 65536; }, kTrackerPushPortRange},
        {[](TrackerEntry& e) { e.pushPort = -1; }, kTrackerPushPortRange},
        {[](TrackerEntry& e) { e.auth = 3; }, kTrackerAuthRange},
        {[](TrackerEntry& e) { e.deviceType = 1; }, kTrackerDeviceTypeUnknown},
        {[](TrackerEntry& e) { e.apn.clear(); }, kTrackerNeedsApn},
        {[](TrackerEntry& e) { e.description = test::sampleTracker(0).description; },
         kTrackerDescriptionUsed},
    };
    for (const Case& c : cases) {
        TrackerEntry entry = test::sampleTracker(1);
        c.change(entry);
        EXPECT_EQ(checks.check(entry), c.failure);
    }
    checks.accept(test::sampleTracker(1));
    EXPECT_EQ(checks.check(test::sampleTracker(1)), kTrackerDescriptionUsed);
}

}  // namespace
}  // namespace vela
