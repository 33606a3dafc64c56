// Tick grid and slippage: snapping, band crossings and the six-decimal rounding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "price_rules.hpp"

using namespace quarvel::core::ledger;

TEST(RoundTo6Decimals, ExactTieGoesToEven) {
    EXPECT_EQ(round_to_6_decimals(0.0078125), 0.007812);
    EXPECT_EQ(round_to_6_decimals(0.0234375), 0.023438);
    EXPECT_EQ(round_to_6_decimals(110.00000000000001), 110.0);
    EXPECT_EQ(round_to_6_decimals(-2.5e-7), -0.0);
}

TEST(CeilRounded6, FastPathAgreesWithDecimalRounding) {
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<int> whole(-100000, 100000);
    std::uniform_real_distribution<double> near(-1.2e-6, 1.2e-6);
    for (int i = 0; i < 200000; ++i) {
        double x = whole(rng) + near(rng);
        EXPECT_EQ(ceil_rounded_6(x), std::ceil(round_to_6_decimals(x)) + 0.0) << x;
    }
}

TEST(CeilPriceByTick, OnGridPriceStaysPut) {
    EXPECT_EQ(ceil_price_by_tick(false, 1.1).price, 1.1);
    EXPECT_EQ(ceil_price_by_tick(true, 10.05).price, 10.05);
    EXPECT_EQ(ceil_price_by_tick(true, 16.01).price, 16.01);
    for (int k = 1; k < 5000; ++k)
        EXPECT_EQ(ceil_price_by_tick(true, k / 100.0).price, k / 100.0) << k;
}

namespace {

/// (upper bound, grid points per unit) of each band below 1000.
using Bands = std::vector<std::pair<int, int>>;
const Bands kStockBands{{10, 100}, {50, 20}, {100, 10}, {500, 2}, {1000, 1}};
const Bands kFundBands{{50, 100}, {1000, 20}};

/// Every grid price below 1000 written as k / points per unit, and how many of them a bare
/// ceil(price * points) would move up a tick.
void expect_grid_stays_put(bool fund_code, const Bands &bands) {
    int low = 0, bare_ceil_moves = 0;
    for (auto [bound, per_unit] : bands) {
        for (int k = std::max(1, low * per_unit); k < bound * per_unit; ++k) {
            double price = static_cast<double>(k) / per_unit;
            EXPECT_EQ(ceil_price_by_tick(fund_code, price).price, price) << price;
            if (per_unit != 1 && std::ceil(price * per_unit) / per_unit != price)
                ++bare_ceil_moves;
        }
        low = bound;
    }
    EXPECT_GT(bare_ceil_moves, 60); // the sweep holds the prices that trip a bare ceil
}

} // namespace

TEST(CeilPriceByTick, EveryGridPriceBelow1000StaysPut) {
    expect_grid_stays_put(false, kStockBands);
    expect_grid_stays_put(true, kFundBands);
}

TEST(CeilPriceByTick, FundCodesFallThroughAbove1000) {
    TickSnap fund = ceil_price_by_tick(true, 1200.0);
    EXPECT_TRUE(fund.integral);
    EXPECT_EQ(fund.tick, 5);
    EXPECT_EQ(ceil_price_by_tick(true, 120.01).price, 120.05);
    EXPECT_EQ(ceil_price_by_tick(false, 120.01).price, 120.5);
}

TEST(CeilPriceByTick, NonFiniteStaysNonFinite) {
    EXPECT_TRUE(std::isnan(ceil_price_by_tick(false, NAN).price));
    EXPECT_TRUE(std::isinf(ceil_price_by_tick(false, INFINITY).price));
}

struct SlippageCase {
    bool fund_code;
    double price;
    std::int64_t ticks;
    bool up;
    double expected;
};

class SlippageTable : public testing::TestWithParam<SlippageCase> {};

TEST_P(SlippageTable, Moves) {
    const SlippageCase &c = GetParam();
    EXPECT_EQ(slippage_price(c.fund_code, c.price, c.ticks, c.up), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SlippageTable,
    testing::Values(
        SlippageCase{false, 500.0, 3, true, 503.0},
        // Down across a band uses the upper band's tick.
        SlippageCase{false, 500.0, 3, false, 498.0}, SlippageCase{false, 50.0, 1, false, 49.9},
        SlippageCase{false, 10.0, 1, false, 9.95}, SlippageCase{false, 1000.0, 1, false, 995.0},
        SlippageCase{false, 999.0, 1, true, 1000.0}, SlippageCase{false, 17000.0, 3, true, 17015.0},
        // Off the grid: snapped before moving; no move leaves it unsnapped.
        SlippageCase{false, 123.3, 1, true, 124.0}, SlippageCase{false, 123.3, 1, false, 123.0},
        SlippageCase{false, 123.3, 0, true, 123.3}, SlippageCase{false, 123.3, -2, true, 123.3},
        SlippageCase{true, 120.0, 3, true, 120.15}, SlippageCase{true, 49.99, 1, true, 50.0}));

TEST(IsFundCode, OnlyDoubleZeroPrefix) {
    EXPECT_TRUE(is_fund_code("0050"));
    EXPECT_FALSE(is_fund_code("0"));
    EXPECT_FALSE(is_fund_code("2330"));
}
