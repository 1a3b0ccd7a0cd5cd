#include "common/address_range.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(AddressRangeTest, RangesParseExactlyAndContainTheirAddressesOnly) {
    struct Case {
        const char* text;
        const char* shown;  // null: refused
        uint32_t inside;
        uint32_t outside;
    };
    const Case cases[] = {
        {"10.0.0.0/8", "10.0.0.0/8", 0x0AFFFFFF, 0x0B000000},
        {"192.168.1.7", "192.168.1.7/32", 0xC0A80107, 0xC0A80106},
        {"0.0.0.0/0", "0.0.0.0/0", 0xFFFFFFFF, 0},  // everyone: no address is outside
        {"100.64.0.0/10", "100.64.0.0/10", 0x647FFFFF, 0x64800000},
        {"10.1.2.3/8", nullptr, 0, 0},  // bits past the prefix: a slip, not a range
        {"10.0.0.0/33", nullptr, 0, 0},
        {"10.0.0.0/", nullptr, 0, 0},
        {"10.0.0.0/+8", nullptr, 0, 0},
        {"10.0.0.0/008", nullptr, 0, 0},
        {"10.0.0/8", nullptr, 0, 0},
        {"256.0.0.0/8", nullptr, 0, 0},
        {"1.2.3.4 ", nullptr, 0, 0},
        {"", nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        const Result<AddressRange> range = parseAddressRange(c.text);
        if (c.shown == nullptr) {
            EXPECT_FALSE(range) << c.text;
            EXPECT_EQ(range.code(), StatusCode::Invalid) << c.text;
            continue;
        }
        ASSERT_TRUE(range) << c.text << ": " << range.message();
        EXPECT_EQ(range->Text(), c.shown);
        EXPECT_TRUE(range->Contains(c.inside)) << c.text;
        if (range->prefix > 0) {
            EXPECT_FALSE(range->Contains(c.outside)) << c.text;
        }
    }
    EXPECT_NE(parseAddressRange("10.1.2.3/8").message().find("10.0.0.0/8"), std::string::npos);
}

TEST(AddressRangeTest, AListAllowsItsRangesAndAnEmptyOneEveryone) {
    const Result<AddressAllowList> list = parseAddressAllowList(" 10.0.0.0/8,\n192.0.2.1 , ");
    ASSERT_TRUE(list) << list.message();
    EXPECT_EQ(list->Text(), "10.0.0.0/8, 192.0.2.1/32");
    EXPECT_TRUE(list->Allows(0x0A010203));
    EXPECT_TRUE(list->Allows(0xC0000201));
    EXPECT_FALSE(list->Allows(0xC0000202));
    EXPECT_FALSE(list->Allows(0x7F000001));
    // The shown form reads back as the same list.
    EXPECT_EQ(parseAddressAllowList(list->Text()).value(), list.value());

    const Result<AddressAllowList> empty = parseAddressAllowList("  ");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->Allows(0x7F000001));

    const Result<AddressAllowList> bad = parseAddressAllowList("10.0.0.0/8, 10.0.0.0/99");
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.message().find("10.0.0.0/99"), std::string::npos) << bad.message();
}

}  // namespace
}  // namespace vela
