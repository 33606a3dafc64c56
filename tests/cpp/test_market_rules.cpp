// Taiwan market rules: the rule tables and cases checked by hand against broker statements.
#include <gtest/gtest.h>

#include <cmath>

#include "market_rules_cost.hpp"
#include "market_rules_margin.hpp"
#include "market_rules_ticks.hpp"

namespace quarvel::core::ledger {
namespace {

const TaiwanRulesTable kDefaults{};

TEST(MarketRulesTable, IndexFutureRoots) {
    EXPECT_EQ(index_future_of("TXFR1"), IndexFuture::TX);
    EXPECT_EQ(index_future_of("TXF"), IndexFuture::TX);
    EXPECT_EQ(index_future_of("MXFR2"), IndexFuture::MTX);
    EXPECT_EQ(index_future_of("TMFR1"), IndexFuture::TMF);
    EXPECT_EQ(index_future_of("2330"), IndexFuture::None);
    EXPECT_EQ(index_future_of("TX"), IndexFuture::None);
    EXPECT_EQ(kDefaults.terms_of("TXFR1")->multiplier, 200);
    EXPECT_EQ(kDefaults.terms_of("MXFR1")->original_margin, 84500);
    EXPECT_EQ(kDefaults.terms_of("TMFR1")->maintenance_margin, 12950);
    EXPECT_EQ(kDefaults.terms_of("0050"), nullptr);
}

TEST(MarketRulesTicks, IndexFuturesMoveInWholePoints) {
    TickGrid point = tick_grid_of("TXFR1", true);
    EXPECT_EQ(slippage_on(point, 23000.0, 3, true), 23003.0);
    EXPECT_EQ(slippage_on(point, 23000.0, 1, false), 22999.0);
    EXPECT_EQ(slippage_on(point, 23000.4, 1, true), 23002.0); // snapped up, then moved
    EXPECT_EQ(slippage_on(point, 23000.4, 0, true), 23000.4);
    TickSnap snap = ceil_price_on(point, 17000.2);
    EXPECT_EQ(snap.price, 17001.0);
    EXPECT_EQ(snap.tick, 1.0);
}

TEST(MarketRulesTicks, StocksAndFundsKeepTheExchangeGrid) {
    EXPECT_EQ(tick_grid_of("2330", false), TickGrid::Stock);
    EXPECT_EQ(tick_grid_of("0050", false), TickGrid::Fund);
    EXPECT_EQ(slippage_on(TickGrid::Stock, 500.0, 3, false), 498.0);
    EXPECT_DOUBLE_EQ(slippage_on(TickGrid::Fund, 120.0, 3, true), 120.15);
}

struct StockCase {
    const char *code;
    double price;
    double discount;
    bool selling;
    bool day_trade;
    double fee;
    double tax;
};

class StockLegs : public ::testing::TestWithParam<StockCase> {};

TEST_P(StockLegs, CommissionAndTaxAsOnTheStatement) {
    const StockCase &c = GetParam();
    TaiwanRulesTable rules;
    rules.broker_discount = c.discount;
    LegCharges leg = stock_leg(rules, c.code, c.price, 1000, c.selling, c.day_trade);
    EXPECT_EQ(leg.fee, c.fee);
    EXPECT_EQ(leg.tax, c.tax);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, StockLegs,
    ::testing::Values(
        // 45,000 × 0.1425% × 0.28 = 17.955: the 20 minimum applies.
        StockCase{"2330", 45.0, 0.28, false, false, 20, 0},
        StockCase{"2330", 46.0, 0.28, true, false, 20, 138},
        // 600,000 × 0.1425% × 0.28 = 239.4 → 239; 0.3% tax = 1,800 (not 1,799).
        StockCase{"2330", 600.0, 0.28, true, false, 239, 1800},
        // Day-trade sell: 0.15%.
        StockCase{"2330", 610.0, 1.0, true, true, 869, 915},
        // ETF: 0.1%, and no day-trade rate.
        StockCase{"0050", 150.0, 1.0, true, false, 213, 150},
        StockCase{"0050", 150.0, 1.0, true, true, 213, 150},
        // Bond ETF: no securities transaction tax.
        StockCase{"00679B", 30.0, 1.0, true, false, 42, 0},
        // Buys pay no tax.
        StockCase{"2330", 600.0, 1.0, false, true, 855, 0}));

TEST(MarketRulesCost, FuturesLegPerContract) {
    // TX at 23,000: 23,000 × 200 × 0.002% = 92; at 23,010: 92.04 → 92.
    LegCharges open = future_leg(kDefaults, kDefaults.tx, 23000.0, 1);
    EXPECT_EQ(open.fee, 50);
    EXPECT_EQ(open.tax, 92);
    LegCharges close = future_leg(kDefaults, kDefaults.tx, 23010.0, 1);
    EXPECT_EQ(close.tax, 92);
    // Two MTX at 22,500: 2 × 25 commission; 22,500 × 50 × 2 × 0.002% = 45.
    LegCharges mtx = future_leg(kDefaults, kDefaults.mtx, 22500.0, 2);
    EXPECT_EQ(mtx.fee, 50);
    EXPECT_EQ(mtx.tax, 45);
    // Rounded half up: TMF at 22,525 × 10 × 0.002% = 4.505 → 5.
    EXPECT_EQ(future_leg(kDefaults, kDefaults.tmf, 22525.0, 1).tax, 5);
}

TEST(MarketRulesCost, DayTradeIsOneTaipeiCalendarDay) {
    const double morning = 1704157200; // 2024-01-02 09:00 Taipei
    EXPECT_TRUE(same_taipei_day(morning, morning + 4.5 * 3600));
    EXPECT_FALSE(same_taipei_day(morning, morning + 15 * 3600)); // 00:00 on the 3rd
    EXPECT_FALSE(same_taipei_day(morning, NAN));
}

TEST(MarketRulesMargin, CashAndMarginPerLeg) {
    EXPECT_EQ(original_margin(338000, 2), 676000);
    EXPECT_EQ(opening_cash(true, 4600000, 50, 92, 0), 142);
    EXPECT_EQ(opening_cash(false, 600000, 855, 0, 0), 600855);
    EXPECT_EQ(margined_cash_back(false, 4600000, 4602000, 142), 1858);
    EXPECT_EQ(margined_cash_back(true, 4600000, 4602000, 142), -2142);
}

TEST(MarketRulesMargin, BuyingPowerDecision) {
    BuyingPower refused = decide_buying_power(338000, 100000);
    EXPECT_FALSE(refused.accepted);
    EXPECT_EQ(refused.shortfall, 238000);
    BuyingPower exact = decide_buying_power(338000, 338000);
    EXPECT_TRUE(exact.accepted);
    EXPECT_EQ(exact.shortfall, 0);
}

} // namespace
} // namespace quarvel::core::ledger
