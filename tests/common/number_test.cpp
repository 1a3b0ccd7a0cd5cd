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

}  // namespace
}  // namespace vela
