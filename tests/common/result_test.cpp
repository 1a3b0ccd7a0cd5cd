#include "common/result.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(Result, CarriesAValueOrAReason) {
    Result<int> good = 5;
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(good.value(), 5);
    EXPECT_TRUE(good.status().ok());

    Result<int> bad = Result<int>::Fail("no luck");
    EXPECT_FALSE(bad.ok());
    EXPECT_EQ(bad.message(), "no luck");
    EXPECT_EQ(bad.status().message(), "no luck");

    EXPECT_TRUE(Status::Ok().message().empty());
    EXPECT_FALSE(Status::Fail("x"));
}

}  // namespace
}  // namespace vela
