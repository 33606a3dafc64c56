// Calendar and minute arithmetic of the quote store.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "trading_calendar.hpp"

using namespace quarvel::core::quotes;

namespace {

LocalMicros at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int us = 0) {
    return local_from_civil({y, mo, d, h, mi, s, us});
}

std::int64_t tod(int h, int m, int s) {
    return h * kMicrosPerHour + m * kMicrosPerMinute + s * kMicrosPerSecond;
}

const std::vector<TimeWindow> kStock = {{tod(13, 30, 0), tod(23, 59, 59)},
                                        {tod(0, 0, 0), tod(8, 59, 59)}};
const std::vector<TimeWindow> kFuture = {{tod(13, 45, 0), tod(14, 59, 59)},
                                         {tod(5, 0, 0), tod(8, 44, 59)}};

auto no_holidays = [](std::int64_t) { return false; };

} // namespace

TEST(CivilTime, RoundTripsAcrossCenturiesAndLeapDays) {
    for (LocalMicros t :
         {at(1900, 3, 1), at(1969, 12, 31, 23, 59, 59, 999999), at(1970, 1, 1), at(2000, 2, 29, 12),
          at(2024, 2, 29, 13, 29, 59, 250000), at(2100, 12, 31, 23)}) {
        const CivilDateTime c = civil_from_local(t);
        EXPECT_EQ(local_from_civil(c), t);
    }
    EXPECT_EQ(at(1970, 1, 2), kMicrosPerDay);
    EXPECT_EQ(at(1969, 12, 31, 23, 59, 59, 999999), -1);
    EXPECT_EQ(civil_from_local(-1).year, 1969);
}

TEST(CivilTime, WeekdaysStartOnMonday) {
    EXPECT_EQ(weekday(day_number(at(1970, 1, 1))), 3); // Thursday
    EXPECT_EQ(weekday(day_number(at(2024, 3, 4))), 0); // Monday
    EXPECT_EQ(weekday(day_number(at(2024, 3, 3))), 6); // Sunday
    EXPECT_EQ(weekday(day_number(at(1969, 12, 29))), 0);
}

TEST(Timestamp, FractionsRoundLikeDatetime) {
    std::int64_t s = 0, us = 0;
    ASSERT_TRUE(split_timestamp(0.0000025, s, us)); // a tie after scaling: to even
    EXPECT_EQ(us, 2);
    ASSERT_TRUE(split_timestamp(1.0000005, s, us));
    EXPECT_EQ(us, 1); // as datetime.fromtimestamp(1.0000005): the product lands above .5
    ASSERT_TRUE(split_timestamp(1.9999996, s, us));
    EXPECT_EQ(s, 2);
    EXPECT_EQ(us, 0);
    ASSERT_TRUE(split_timestamp(-0.25, s, us));
    EXPECT_EQ(s, -1);
    EXPECT_EQ(us, 750000);
    EXPECT_FALSE(split_timestamp(1e300, s, us));
}

TEST(Timestamp, LocalTimeFollowsTheHostZone) {
    const char *old = std::getenv("TZ");
    setenv("TZ", "Asia/Taipei", 1);
    tzset();
    LocalMicros out = 0;
    ASSERT_TRUE(local_from_unix(1735657200, 5, out)); // 2024-12-31 15:00:00 UTC
    EXPECT_EQ(out, at(2024, 12, 31, 23, 0, 0, 5));
    if (old)
        setenv("TZ", old, 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Window, TickInsideMovesBeforeTheStartKeepingMicroseconds) {
    EXPECT_EQ(move_out_of_window(at(2024, 3, 4, 13, 30, 0, 250000), kStock),
              at(2024, 3, 4, 13, 29, 59, 250000));
    EXPECT_EQ(move_out_of_window(at(2024, 3, 4, 8, 30), kStock), at(2024, 3, 3, 23, 59, 59));
    EXPECT_EQ(move_out_of_window(at(2024, 3, 4, 5, 0), kFuture), at(2024, 3, 4, 4, 59, 59));
    EXPECT_EQ(move_out_of_window(at(2024, 3, 4, 14, 59, 59), kFuture), at(2024, 3, 4, 13, 44, 59));
}

TEST(Window, BoundsCompareWithMicroseconds) {
    EXPECT_EQ(move_out_of_window(at(2024, 3, 4, 8, 59, 59, 400000), kStock),
              at(2024, 3, 4, 8, 59, 59, 400000));
    EXPECT_EQ(move_out_of_window(at(2024, 3, 4, 13, 29, 59, 999999), kStock),
              at(2024, 3, 4, 13, 29, 59, 999999));
    EXPECT_EQ(move_out_of_window(at(2024, 3, 4, 3), {}), at(2024, 3, 4, 3));
}

TEST(MissingMinutes, CountsWholeMinutesAfterThePreviousOne) {
    EXPECT_EQ(missing_minute_count(at(2024, 3, 4, 9, 0, 50), at(2024, 3, 4, 9, 1, 10)), 1);
    EXPECT_EQ(missing_minute_count(at(2024, 3, 4, 9, 0, 10), at(2024, 3, 4, 9, 1, 20)), 1);
    EXPECT_EQ(missing_minute_count(at(2024, 3, 4, 9, 0, 50), at(2024, 3, 4, 9, 2, 10)), 2);
    EXPECT_EQ(missing_minute_count(at(2024, 3, 4, 9, 59, 59), at(2024, 3, 4, 11, 0, 0)), 61);
    EXPECT_EQ(missing_minute_count(at(2024, 3, 4, 9, 5), at(2024, 3, 4, 9, 1)), 0);
}

TEST(VirtualMinutes, FillsOnlyWhenTwoOrMoreMinutesPassed) {
    EXPECT_TRUE(virtual_minutes(at(2024, 3, 4, 9, 0, 50), at(2024, 3, 4, 9, 1, 10), false, kStock,
                                no_holidays)
                    .empty());
    const auto filled = virtual_minutes(at(2024, 3, 4, 9, 0, 50), at(2024, 3, 4, 9, 2, 10), false,
                                        kStock, no_holidays);
    EXPECT_EQ(filled, (std::vector<LocalMicros>{at(2024, 3, 4, 9, 1), at(2024, 3, 4, 9, 2)}));
}

TEST(VirtualMinutes, FuturesWeekendKeepsOnlyFridaysNightSession) {
    // Friday 2024-03-01 23:58 to Monday 08:46.
    const auto filled =
        virtual_minutes(at(2024, 3, 1, 23, 58), at(2024, 3, 4, 8, 46), true, kFuture, no_holidays);
    ASSERT_EQ(filled.size(), 1u + 300u + 2u);
    EXPECT_EQ(filled[1], at(2024, 3, 2, 0, 0));
    EXPECT_EQ(filled[300], at(2024, 3, 2, 4, 59));
    EXPECT_EQ(filled[301], at(2024, 3, 4, 8, 45));
    EXPECT_TRUE(closed_for_weekend(at(2024, 3, 4, 0, 30), true));   // Sunday's session
    EXPECT_FALSE(closed_for_weekend(at(2024, 3, 2, 5, 0), true));   // closes Friday's session
    EXPECT_TRUE(closed_for_weekend(at(2024, 3, 2, 5, 0), false));   // a stock Saturday
    EXPECT_FALSE(closed_for_weekend(at(2024, 3, 4, 0, 30), false)); // a Monday for others
}

TEST(VirtualMinutes, HolidayLookupUsesThePreviousDayUpToFive) {
    const std::int64_t new_year = day_number(at(2025, 1, 1));
    int asked = 0;
    auto holiday = [&](std::int64_t day) {
        ++asked;
        return day == new_year;
    };
    const auto filled =
        virtual_minutes(at(2024, 12, 31, 23, 59), at(2025, 1, 2, 8, 46), true, kFuture, holiday);
    ASSERT_EQ(filled.size(), 300u + 2u);
    EXPECT_EQ(filled.front(), at(2025, 1, 1, 0, 0));
    EXPECT_EQ(filled[299], at(2025, 1, 1, 4, 59));
    EXPECT_EQ(filled.back(), at(2025, 1, 2, 8, 46));
    EXPECT_LE(asked, 4); // once per trading day met, not once per minute
    EXPECT_EQ(trading_day(at(2025, 1, 2, 5, 0)), day_number(at(2025, 1, 1)));
    EXPECT_EQ(trading_day(at(2025, 1, 2, 5, 1)), day_number(at(2025, 1, 2)));
}
