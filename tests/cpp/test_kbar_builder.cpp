// K-bar buckets, the full build and the incremental merge of one cached series.
#include <gtest/gtest.h>

#include "error.hpp"
#include "kbar_builder.hpp"

using namespace quarvel::core::quotes;
using quarvel::core::Error;

namespace {

LocalMicros at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return local_from_civil({y, mo, d, h, mi, s, 0});
}

struct Rows {
    TickStore columns;
    std::uint32_t market = columns.market_id("Future");
    std::uint32_t code = columns.code_id("TXF");
    void add(LocalMicros dt, double close, std::int64_t qty, bool simulate = false) {
        columns.push({dt, close, qty, 1, simulate, false, market, code});
    }
};

const BarWidth kMinute{BarUnit::Minute, 1};

} // namespace

TEST(Buckets, CalendarUnitsStartOnTheirFirstDay) {
    EXPECT_EQ(truncate_to_bucket(at(2024, 2, 29, 13), {BarUnit::Month, 1}), at(2024, 2, 1));
    EXPECT_EQ(truncate_to_bucket(at(2024, 2, 29, 13), {BarUnit::Month, 2}), at(2024, 1, 1));
    EXPECT_EQ(truncate_to_bucket(at(2024, 8, 15), {BarUnit::Quarter, 1}), at(2024, 7, 1));
    EXPECT_EQ(truncate_to_bucket(at(2024, 8, 15), {BarUnit::Year, 1}), at(2024, 1, 1));
    EXPECT_EQ(truncate_to_bucket(at(1969, 5, 15), {BarUnit::Year, 4}), at(1966, 1, 1));
    EXPECT_EQ(truncate_to_bucket(at(2024, 3, 3, 23), {BarUnit::Week, 1}), at(2024, 2, 26));
    EXPECT_EQ(truncate_to_bucket(at(2024, 3, 4), {BarUnit::Week, 1}), at(2024, 3, 4));
}

TEST(Buckets, FixedWidthsCountFromTheEpoch) {
    EXPECT_EQ(truncate_to_bucket(at(2024, 3, 4, 9, 6, 59), {BarUnit::Minute, 5}),
              at(2024, 3, 4, 9, 5));
    EXPECT_EQ(truncate_to_bucket(at(1970, 1, 1, 0, 15), {BarUnit::Minute, 7}),
              at(1970, 1, 1, 0, 14));
    EXPECT_EQ(truncate_to_bucket(at(2024, 3, 4, 8, 50), {BarUnit::Hour, 1}), at(2024, 3, 4, 8));
    EXPECT_EQ(truncate_to_bucket(at(2024, 3, 5, 1), {BarUnit::Day, 1}), at(2024, 3, 5));
    EXPECT_EQ(truncate_to_bucket(-1, {BarUnit::Day, 1}), at(1969, 12, 31));
}

TEST(Buckets, WidthMustBePositiveAndFit) {
    EXPECT_THROW(make_bar_width(BarUnit::Minute, 0), Error);
    EXPECT_THROW(make_bar_width(BarUnit::Day, -3), Error);
    EXPECT_THROW(make_bar_width(BarUnit::Minute, INT64_MAX), Error);
    EXPECT_EQ(make_bar_width(BarUnit::Quarter, 2).count, 2);
    EXPECT_FALSE(parse_bar_unit("M").has_value());
    EXPECT_EQ(parse_bar_unit("mo"), BarUnit::Month);
}

TEST(FullBuild, RowsTakenInTimeOrderKeepingArrivalOrder) {
    Rows r;
    r.add(at(2024, 3, 4, 9, 0, 30), 100, 1);
    r.add(at(2024, 3, 4, 9, 0, 10), 101, 2); // late: earlier time, same bucket
    r.add(at(2024, 3, 4, 9, 0, 30), 99, 3);
    r.add(at(2024, 3, 4, 9, 1, 0), 102, 4, true); // simulated rows count in a full build
    const auto bars = aggregate_rows(r.columns, 0, r.columns.size(), kMinute);
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[0], (Bar{at(2024, 3, 4, 9), r.code, 101, 101, 99, 99, 6}));
    EXPECT_EQ(bars[1], (Bar{at(2024, 3, 4, 9, 1), r.code, 102, 102, 102, 102, 4}));
}

TEST(Incremental, SameBucketKeepsOpenTakesNewestClose) {
    Rows r;
    r.add(at(2024, 3, 4, 9, 0, 5), 100, 1);
    IncrementalBars series(kMinute, 1, aggregate_rows(r.columns, 0, 1, kMinute));
    r.add(at(2024, 3, 4, 9, 0, 20), 104, 2);
    r.add(at(2024, 3, 4, 9, 0, 40), 97, 3);
    const auto merge = series.merge(r.columns);
    EXPECT_TRUE(merge.had_rows);
    EXPECT_TRUE(merge.completed.empty());
    EXPECT_EQ(series.tail().front(), (Bar{at(2024, 3, 4, 9), r.code, 100, 104, 97, 97, 6}));
    EXPECT_FALSE(series.merge(r.columns).had_rows);
}

TEST(Incremental, LateAndSimulatedRowsAreLeftOut) {
    Rows r;
    r.add(at(2024, 3, 4, 9, 1, 5), 100, 1);
    IncrementalBars series(kMinute, 1, aggregate_rows(r.columns, 0, 1, kMinute));
    r.add(at(2024, 3, 4, 9, 0, 50), 90, 5);        // earlier bucket
    r.add(at(2024, 3, 4, 9, 1, 20), 120, 7, true); // trial matching
    series.merge(r.columns);
    EXPECT_EQ(series.tail().front(), (Bar{at(2024, 3, 4, 9, 1), r.code, 100, 100, 100, 100, 1}));
    EXPECT_EQ(series.position(), 3u);
}

TEST(Incremental, NewBucketsCloseTheOldOnes) {
    Rows r;
    r.add(at(2024, 3, 4, 9, 0, 5), 100, 1);
    IncrementalBars series(kMinute, 1, aggregate_rows(r.columns, 0, 1, kMinute));
    r.add(at(2024, 3, 4, 9, 0, 50), 101, 1);
    r.add(at(2024, 3, 4, 9, 1, 10), 102, 1);
    r.add(at(2024, 3, 4, 9, 3, 10), 103, 1);
    const auto merge = series.merge(r.columns);
    ASSERT_EQ(merge.completed.size(), 2u);
    EXPECT_EQ(merge.completed[0], (Bar{at(2024, 3, 4, 9), r.code, 100, 101, 100, 101, 2}));
    EXPECT_EQ(merge.completed[1].dt, at(2024, 3, 4, 9, 1));
    EXPECT_EQ(series.tail().front().dt, at(2024, 3, 4, 9, 3));
}

TEST(Columns, AppendReindexesTexts) {
    TickStore a, b;
    a.push({1, 1.0, 1, 0, false, false, a.market_id("Stock"), a.code_id("2330")});
    b.push({2, 2.0, 2, 0, false, true, b.market_id("Future"), b.code_id("TXF")});
    a.append(b);
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a.code_text(a.row(1).code), "TXF");
    EXPECT_EQ(a.market_text(a.row(1).market), "Future");
    EXPECT_TRUE(a.row(1).is_virtual);
    EXPECT_LT(a.memory_bytes() / a.size(), 200u);
}
