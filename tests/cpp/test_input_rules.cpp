// The values the simulator refuses, and the text their refusals show.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "input_rules.hpp"
#include "tick_rules.hpp"

namespace rules = quarvel::core::input_rules;
using quarvel::core::Error;

namespace {

/// The refusal text of `check`, or "" when it passes.
template <class Check> std::string refusal(Check check) {
    try {
        check();
    } catch (const Error &e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(FloatText, WritesNumbersAsTheInterpreterDoes) {
    const std::pair<double, const char *> cases[] = {{600.0, "600.0"},
                                                     {-1.0, "-1.0"},
                                                     {0.0, "0.0"},
                                                     {0.1, "0.1"},
                                                     {123.456, "123.456"},
                                                     {1e16, "1e+16"},
                                                     {1e15, "1000000000000000.0"},
                                                     {1e308, "1e+308"},
                                                     {-1e18, "-1e+18"},
                                                     {1.5e-5, "1.5e-05"},
                                                     {0.0001, "0.0001"},
                                                     {5e-324, "5e-324"},
                                                     {33.25, "33.25"},
                                                     {1700000033.25, "1700000033.25"}};
    for (auto [value, text] : cases)
        EXPECT_EQ(rules::float_text(value), text) << text;
    EXPECT_EQ(rules::float_text(std::nan("")), "nan");
    EXPECT_EQ(rules::float_text(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(DealPrice, UsablePricesPass) {
    for (double price : {0.01, 600.0, 17000.0, rules::kMaxPrice})
        EXPECT_EQ(refusal([&] { rules::check_deal_price(price); }), "") << price;
}

TEST(DealPrice, JunkIsRefusedWithItsValue) {
    EXPECT_EQ(refusal([] { rules::check_deal_price(0.0); }), "不合理的成交價格: 0.0");
    EXPECT_EQ(refusal([] { rules::check_deal_price(1e308); }), "不合理的成交價格: 1e+308");
    EXPECT_EQ(refusal([] { rules::check_deal_price(std::nan("")); }), "不合理的成交價格: nan");
}

TEST(LimitPrice, MarketOrderPriceIsIgnored) {
    EXPECT_EQ(refusal([] { rules::check_limit_price(-1.0, false); }), "");
    EXPECT_EQ(refusal([] { rules::check_limit_price(-1.0, true); }), "不合理的委託價格: -1.0");
}

TEST(TickTime, RangeBoundsAreHalfOpen) {
    EXPECT_EQ(refusal([] { rules::check_tick_time(rules::kEarliestTime); }), "");
    EXPECT_EQ(refusal([] { rules::check_tick_time(rules::kEndOfTime - 0.5); }), "");
    EXPECT_EQ(refusal([] { rules::check_tick_time(rules::kEndOfTime); }),
              "不合理的成交時間: 4133980800.0");
    EXPECT_EQ(refusal([] { rules::check_tick_time(10.0); }), "不合理的成交時間: 10.0");
    EXPECT_EQ(refusal([] { rules::check_tick_time(std::nan("")); }), "不合理的成交時間: nan");
}

TEST(Lots, AboveTheCapIsRefused) {
    EXPECT_EQ(refusal([] { rules::check_tick_lots(rules::kMaxLots); }), "");
    EXPECT_EQ(refusal([] { rules::check_tick_lots(std::int64_t{1} << 62); }),
              "成交數量超過上限: 4611686018427387904");
    EXPECT_EQ(refusal([] { rules::check_deal_lots(-1); }), "不合理的成交數量: -1");
    EXPECT_EQ(refusal([] { rules::check_deal_lots(0); }), "");
}

TEST(Code, LengthCountsCharactersNotBytes) {
    EXPECT_TRUE(rules::is_usable_code(std::string(32, 'A')));
    EXPECT_FALSE(rules::is_usable_code(std::string(33, 'A')));
    std::string wide;
    for (int i = 0; i < 32; ++i)
        wide += "台"; // three UTF-8 bytes each
    EXPECT_TRUE(rules::is_usable_code(wide));
    EXPECT_FALSE(rules::is_usable_code(wide + "台"));
    EXPECT_FALSE(rules::is_usable_code("../2330"));
}

TEST(Gap, FourHundredDaysPassLongerIsRefusedNamingBothTimes) {
    using namespace quarvel::core::quotes;
    const LocalMicros last = local_from_civil({2024, 1, 2, 9, 0, 0, 0});
    EXPECT_EQ(refusal([&] { check_gap(last, last + 400 * kMicrosPerDay); }), "");
    const LocalMicros far = local_from_civil({1677, 9, 21, 8, 5, 43, 0});
    EXPECT_EQ(refusal([&] { check_gap(far, last); }),
              "補齊的時間區間過長: 1677-09-21 08:05:43.000000 至 2024-01-02 09:00:00.000000");
}
