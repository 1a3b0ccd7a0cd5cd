#include "common/number.h"

#include <gtest/gtest.h>

#include <limits>

namespace vela {
namespace {

TEST(ParseAtoi, ReadsLikeTheCLibrary) {
    EXPECT_EQ(parseAtoi("42"), 42);
    EXPECT_EQ(parseAtoi("  \t\n-17xyz"), -17);
    EXPECT_EQ(parseAtoi("+8"), 8);
    EXPECT_EQ(parseAtoi("8000x"), 8000);
    EXPECT_EQ(parseAtoi(""), 0);
    EXPECT_EQ(parseAtoi("abc"), 0);
    EXPECT_EQ(parseAtoi("- 5"), 0);
    EXPECT_EQ(parseAtoi("12AB"), 12);
}

TEST(ParseAtoi, SaturatesInsteadOfOverflowing) {
    EXPECT_EQ(parseAtoi("2147483647"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(parseAtoi("2147483648"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(parseAtoi("-2147483648"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(parseAtoi("-99999999999999999999999999"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(parseAtoi64("99999999999999999999999999"), int64_t{1} << 62);
}

TEST(ParseWholeNumber, TakesOnlyDigitsWithinTheRange) {
    EXPECT_EQ(parseWholeNumber("0", 0, 65535), 0);
    EXPECT_EQ(parseWholeNumber("65535", 1, 65535), 65535);
    EXPECT_EQ(parseWholeNumber("65536", 1, 65535), std::nullopt);
    EXPECT_EQ(parseWholeNumber("0", 1, 65535), std::nullopt);
    for (const char* refused : {"", "+5", "-5", " 5", "5 ", "12x", "0x10", "1234567890"}) {
        EXPECT_EQ(parseWholeNumber(refused, 0, 999999999), std::nullopt) << refused;
    }
    EXPECT_EQ(parseWholeNumber("999999999", 0, 999999999), 999999999);
}

}  // namespace
}  // namespace vela
