// Cover arithmetic: chunk sizes, profit and ratio per side, capital paid back.
#include <gtest/gtest.h>

#include "cover_math.hpp"
#include "trade_cost.hpp"

using namespace quarvel::core::ledger;

TEST(ChunkQuantity, SmallerOfRemainingAndOpen) {
    EXPECT_EQ(chunk_quantity(4, 2), 2);
    EXPECT_EQ(chunk_quantity(1, 3), 1);
    EXPECT_EQ(chunk_quantity(2, 2), 2);
}

TEST(ChunkProfit, LongCoverGain) {
    ChunkLegs legs{603000.0, 607000.0, leg_cost(859.275, 0, 0), leg_cost(864.975, 1821.0, 0)};
    ChunkProfit chunk = chunk_profit(false, legs);
    EXPECT_EQ(chunk.profit, 454.75);
    EXPECT_NEAR(chunk.ratio, 0.000753073, 1e-9);
    EXPECT_FALSE(chunk.ratio_is_zero);
}

TEST(ChunkProfit, ShortCoverGain) {
    ChunkLegs legs{607000.0, 603000.0, 864.975, 859.275 + 1809.0};
    ChunkProfit chunk = chunk_profit(true, legs);
    EXPECT_EQ(chunk.profit, 466.75);
    EXPECT_NEAR(chunk.ratio, 0.000770043, 1e-9);
}

TEST(ChunkProfit, ZeroDivisorGivesZeroRatio) {
    ChunkProfit chunk = chunk_profit(true, {5.0, 5.0, 5.0, 0.0});
    EXPECT_TRUE(chunk.ratio_is_zero);
}

TEST(CapitalBackOnCover, ShortReturnsEntryValueWithGain) {
    CoverTotals totals;
    ChunkLegs legs{607000.0, 603000.0, 864.975, 2668.275};
    totals.add(legs, chunk_profit(true, legs));
    EXPECT_EQ(capital_back_on_cover(true, totals), 607000.0 + (4000.0 - 2668.275));
    EXPECT_EQ(capital_back_on_cover(false, totals), 603000.0 - 2668.275);
    EXPECT_EQ(totals.chunks, 1);
}

TEST(SlipsUp, ReverseFlipsAndUnknownGoesDown) {
    EXPECT_TRUE(slips_up(true, false, false));
    EXPECT_FALSE(slips_up(true, false, true));
    EXPECT_TRUE(slips_up(false, true, true));
    EXPECT_FALSE(slips_up(false, false, true));
}

TEST(EntryCharge, ValuePlusFeeThenFixed) {
    EXPECT_EQ(entry_charge(603.0, 1000, 859.275, 0), 603859.275);
}
