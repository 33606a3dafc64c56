// Record times: microsecond rounding half-even with carries, and the local-time text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "local_time.hpp"

using namespace quarvel::core::quotes;

namespace {
struct UtcZone : ::testing::Test {
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};
} // namespace

TEST(SplitTimestamp, NegativeFractionBorrowsASecond) {
    SplitTime t = *split_timestamp(-0.25);
    EXPECT_EQ(t.seconds, -1);
    EXPECT_EQ(t.micros, 750000);
}

TEST(SplitTimestamp, RoundingCarriesIntoSeconds) {
    SplitTime t = *split_timestamp(0.9999996);
    EXPECT_EQ(t.seconds, 1);
    EXPECT_EQ(t.micros, 0);
}

TEST(SplitTimestamp, NanHasNoSplit) {
    EXPECT_FALSE(split_timestamp(NAN).has_value());
}

TEST_F(UtcZone, SixFractionDigitsAlways) {
    EXPECT_EQ(*format_local_datetime({0, 500000}), "1970-01-01 00:00:00.500000");
    EXPECT_EQ(*format_local_datetime({-1, 0}), "1969-12-31 23:59:59.000000");
}

TEST_F(UtcZone, FarYearsAreLeftToTheCaller) {
    EXPECT_FALSE(format_local_datetime({253402300800, 0}).has_value());
    EXPECT_FALSE(format_local_datetime({-30610224001, 0}).has_value());
}
