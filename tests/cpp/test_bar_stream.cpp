// BarStream against the cached series it stands for: fed the same batches, it closes the
// same bars and holds the same forming bar (late ticks, unsorted batches, trial rows).
#include <gtest/gtest.h>

#include <random>

#include "bar_stream.hpp"

using namespace quarvel::core::quotes;

namespace {

constexpr LocalMicros kStart = 1'709'542'800'000'000; // a Monday 09:00, local

std::vector<Bar> without_codes(std::vector<Bar> bars) {
    for (Bar &b : bars)
        b.code = 0;
    return bars;
}

void check_same_as_cached_series(const BarWidth &width, unsigned seed) {
    std::mt19937 random(seed);
    TickStore rows;
    const std::uint32_t market = rows.market_id("Future"), code = rows.code_id("TXF");
    BarStream stream(width);
    IncrementalBars cached(width, 0, {});
    std::vector<Bar> completed;
    LocalMicros now = kStart;
    std::size_t fed = 0;
    for (int batch = 0; batch < 400; ++batch) {
        const int count = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < count; ++i) {
            // Mostly forward in time, now and then a late tick or a jump over quiet minutes.
            const auto roll = random() % 20;
            const LocalMicros step = roll == 0   ? -90'000'000
                                     : roll == 1 ? 400'000'000
                                                 : static_cast<LocalMicros>(random() % 9'000'000);
            now += step;
            rows.push({now, 100.0 + static_cast<double>(random() % 50),
                       static_cast<std::int64_t>(random() % 5), 1, roll == 2, false, market, code});
        }
        stream.feed(rows, fed, rows.size());
        fed = rows.size();
        IncrementalBars::Merge merge = cached.merge(rows);
        completed.insert(completed.end(), merge.completed.begin(), merge.completed.end());
        ASSERT_EQ(without_codes(stream.closed()), without_codes(completed)) << "batch " << batch;
        ASSERT_EQ(stream.forming_open(), !cached.tail().empty());
        if (stream.forming_open()) {
            Bar forming = stream.forming();
            forming.code = cached.tail().front().code;
            ASSERT_EQ(forming, cached.tail().front());
        }
    }
    EXPECT_GE(stream.closed().size(), 2u); // even the hour-wide bars close
}

} // namespace

TEST(BarStream, ClosesTheBarsOfTheCachedSeries) {
    for (unsigned seed : {1u, 2u, 3u}) {
        check_same_as_cached_series({BarUnit::Minute, 1}, seed);
        check_same_as_cached_series({BarUnit::Minute, 5}, seed);
        check_same_as_cached_series({BarUnit::Hour, 1}, seed);
    }
}

TEST(BarStream, ClearStartsOver) {
    TickStore rows;
    const std::uint32_t market = rows.market_id("Stock"), code = rows.code_id("2330");
    for (int i = 0; i < 3; ++i)
        rows.push({kStart + i * 60'000'000, 10.0 + i, 1, 1, false, false, market, code});
    BarStream stream({BarUnit::Minute, 1});
    stream.feed(rows, 0, rows.size());
    EXPECT_EQ(stream.closed().size(), 2u);
    stream.clear();
    EXPECT_TRUE(stream.closed().empty());
    EXPECT_FALSE(stream.forming_open());
}
