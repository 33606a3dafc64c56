// Tick grid and slippage: snapping, band crossings and the six-decimal rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

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

TEST(SlippagePrice, DownAcrossBandUsesUpperTick) {
    EXPECT_EQ(slippage_price(false, 500.0, 3, false), 498.0);
    EXPECT_EQ(slippage_price(false, 10.0, 1, false), 9.95);
    EXPECT_EQ(slippage_price(false, 1000.0, 1, false), 995.0);
}

TEST(SlippagePrice, OffGridSnapsBeforeMoving) {
    EXPECT_EQ(slippage_price(false, 123.3, 1, true), 124.0);
    EXPECT_EQ(slippage_price(false, 123.3, 1, false), 123.0);
    EXPECT_EQ(slippage_price(false, 123.3, 0, true), 123.3);
}

TEST(IsFundCode, OnlyDoubleZeroPrefix) {
    EXPECT_TRUE(is_fund_code("0050"));
    EXPECT_FALSE(is_fund_code("0"));
    EXPECT_FALSE(is_fund_code("2330"));
}
