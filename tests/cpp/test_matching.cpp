// Time-in-force decisions of one tick: cases named rule x outcome.
#include <gtest/gtest.h>

#include "error.hpp"
#include "matching.hpp"

using namespace quarvel::core::exchange;
using quarvel::core::Error;

namespace {

/// One touched order of a tick: its position in the given list and what happens to it.
struct MatchEvent {
    std::size_t order_index;
    OrderDecision decision;
};

/// A whole tick over `orders` in list order, as the binding walks it: the touched orders.
std::vector<MatchEvent> match_tick(double close, long long volume,
                                   const std::vector<RestingOrder> &orders) {
    TickMatcher tick(close, volume);
    std::vector<MatchEvent> events;
    for (std::size_t i = 0; i < orders.size(); ++i) {
        OrderDecision d = tick.examine(orders[i]);
        if (d.stop)
            break;
        if (d.touched)
            events.push_back({i, d});
    }
    return events;
}

RestingOrder buy(double price, long long qty, TimeInForce tif, PriceKind kind = PriceKind::Limit) {
    return {Side::Buy, kind, price, qty, tif};
}
RestingOrder sell(double price, long long qty, TimeInForce tif) {
    return {Side::Sell, PriceKind::Limit, price, qty, tif};
}

} // namespace

TEST(PriceTest, LimitMatchesAtEqualityOnBothSides) {
    EXPECT_TRUE(TickMatcher(100.0, 1).examine(buy(100.0, 1, TimeInForce::Rod)).price_matches);
    EXPECT_TRUE(TickMatcher(100.0, 1).examine(sell(100.0, 1, TimeInForce::Rod)).price_matches);
    EXPECT_FALSE(TickMatcher(100.5, 1).examine(buy(100.0, 1, TimeInForce::Rod)).price_matches);
    EXPECT_FALSE(TickMatcher(99.5, 1).examine(sell(100.0, 1, TimeInForce::Rod)).price_matches);
}

TEST(PriceTest, MarketAlwaysMatches) {
    auto d = TickMatcher(999.0, 2).examine(buy(1.0, 2, TimeInForce::Rod, PriceKind::Market));
    EXPECT_TRUE(d.price_matches);
    EXPECT_EQ(d.fill_quantity, 2);
}

TEST(Rod, NoPriceMatchKeepsResting) {
    auto d = TickMatcher(101.0, 5).examine(buy(100.0, 3, TimeInForce::Rod));
    EXPECT_FALSE(d.touched);
    EXPECT_EQ(d.fill_quantity, 0);
}

TEST(Rod, VolumeCoversFillsAndRemoves) {
    auto d = TickMatcher(100.0, 5).examine(buy(100.0, 3, TimeInForce::Rod));
    EXPECT_EQ(d.fill_quantity, 3);
    EXPECT_EQ(d.rest_quantity, 0);
    EXPECT_TRUE(d.remove);
    EXPECT_EQ(d.cancel_quantity, 0);
}

TEST(Rod, ShortVolumeFillsPartAndKeepsRest) {
    auto d = TickMatcher(100.0, 2).examine(buy(100.0, 5, TimeInForce::Rod));
    EXPECT_EQ(d.fill_quantity, 2);
    EXPECT_EQ(d.rest_quantity, 3);
    EXPECT_FALSE(d.remove);
}

TEST(Rod, TwoOrdersShareVolumeInListOrder) {
    auto events =
        match_tick(100.0, 5, {buy(100.0, 3, TimeInForce::Rod), buy(100.0, 4, TimeInForce::Rod)});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].decision.fill_quantity, 3);
    EXPECT_EQ(events[1].decision.fill_quantity, 2);
    EXPECT_EQ(events[1].decision.rest_quantity, 2);
}

TEST(Rod, ZeroQuantityIsRemovedWithoutFill) {
    auto d = TickMatcher(100.0, 5).examine(buy(100.0, 0, TimeInForce::Rod));
    EXPECT_TRUE(d.remove);
    EXPECT_EQ(d.fill_quantity, 0);
}

TEST(Rod, NegativeQuantityNeverFillsNegative) {
    TickMatcher tick(100.0, 5);
    auto d = tick.examine(buy(100.0, -4, TimeInForce::Rod));
    EXPECT_EQ(d.fill_quantity, 0);
    EXPECT_EQ(tick.remaining_volume(), 5);
}

TEST(Ioc, NoPriceMatchCancelsAll) {
    auto d = TickMatcher(101.0, 5).examine(buy(100.0, 8, TimeInForce::Ioc));
    EXPECT_EQ(d.fill_quantity, 0);
    EXPECT_EQ(d.cancel_quantity, 8);
    EXPECT_TRUE(d.remove);
}

TEST(Ioc, VolumeCoversFillsWithoutCancel) {
    auto d = TickMatcher(100.0, 9).examine(buy(100.0, 8, TimeInForce::Ioc));
    EXPECT_EQ(d.fill_quantity, 8);
    EXPECT_EQ(d.cancel_quantity, 0);
    EXPECT_TRUE(d.remove);
}

TEST(Ioc, ShortVolumeFillsPartCancelsRest) {
    auto d = TickMatcher(100.0, 5).examine(buy(100.0, 8, TimeInForce::Ioc));
    EXPECT_EQ(d.fill_quantity, 5);
    EXPECT_EQ(d.cancel_quantity, 3);
    EXPECT_TRUE(d.remove);
}

TEST(Fok, ExactVolumeFills) {
    auto d = TickMatcher(100.0, 5).examine(buy(100.0, 5, TimeInForce::Fok));
    EXPECT_EQ(d.fill_quantity, 5);
    EXPECT_EQ(d.cancel_quantity, 0);
}

TEST(Fok, ShortVolumeCancelsWhole) {
    auto d = TickMatcher(100.0, 5).examine(buy(100.0, 8, TimeInForce::Fok));
    EXPECT_EQ(d.fill_quantity, 0);
    EXPECT_EQ(d.cancel_quantity, 8);
    EXPECT_TRUE(d.remove);
}

TEST(Fok, NoPriceMatchCancelsWhole) {
    auto d = TickMatcher(99.0, 50).examine(sell(100.0, 8, TimeInForce::Fok));
    EXPECT_EQ(d.cancel_quantity, 8);
}

TEST(VolumeUsedUp, LaterIocAndFokCancelledRodKeepsResting) {
    auto events = match_tick(100.0, 3,
                             {buy(100.0, 3, TimeInForce::Rod), buy(100.0, 2, TimeInForce::Rod),
                              buy(100.0, 4, TimeInForce::Ioc), buy(100.0, 6, TimeInForce::Fok)});
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].order_index, 0u);
    EXPECT_EQ(events[1].order_index, 2u);
    EXPECT_EQ(events[1].decision.cancel_quantity, 4);
    EXPECT_EQ(events[1].decision.fill_quantity, 0);
    EXPECT_EQ(events[2].decision.cancel_quantity, 6);
}

TEST(ZeroVolume, TouchesNothingIocAndFokIncluded) {
    auto events =
        match_tick(100.0, 0, {buy(100.0, 3, TimeInForce::Ioc), buy(100.0, 3, TimeInForce::Fok)});
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(TickMatcher(100.0, 0).examine(buy(100.0, 1, TimeInForce::Ioc)).stop);
}

TEST(NegativeVolume, Throws) {
    try {
        TickMatcher(100.0, -1);
        FAIL() << "negative volume accepted";
    } catch (const Error &e) {
        EXPECT_STREQ(e.what(), "成交量不可為負: -1");
    }
}

TEST(OtherTimeInForce, KeepsResting) {
    auto d = TickMatcher(100.0, 5).examine(buy(100.0, 3, TimeInForce::Other));
    EXPECT_FALSE(d.touched);
}
