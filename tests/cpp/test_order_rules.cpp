// The exchange's order rules as a table: each check, each refusal, and their order.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "order_rules.hpp"

using namespace quarvel::core::exchange;

namespace {

TEST(ProductType, OnlyStockAndFuture) {
    EXPECT_EQ(product_type_of("Stock"), ProductType::Stock);
    EXPECT_EQ(product_type_of("Future"), ProductType::Future);
    for (const char *other : {"stock", "Option", "", "Stock "})
        EXPECT_FALSE(product_type_of(other).has_value()) << other;
}

struct NewOrderCase {
    long long quantity;
    const char *product;
    NewOrderCheck expected;
};

class NewOrderTable : public testing::TestWithParam<NewOrderCase> {};

TEST_P(NewOrderTable, Decides) {
    const NewOrderCase &c = GetParam();
    EXPECT_EQ(check_new_order(c.quantity, c.product), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, NewOrderTable,
    testing::Values(NewOrderCase{1, "Stock", NewOrderCheck::Accepted},
                    NewOrderCase{5, "Future", NewOrderCheck::Accepted},
                    NewOrderCase{0, "Stock", NewOrderCheck::QuantityNotPositive},
                    NewOrderCase{-3, "Future", NewOrderCheck::QuantityNotPositive},
                    NewOrderCase{1, "Bond", NewOrderCheck::UnknownProduct},
                    NewOrderCase{1'000'000'000, "Stock", NewOrderCheck::Accepted},
                    NewOrderCase{1'000'000'001, "Future", NewOrderCheck::QuantityAboveLimit},
                    NewOrderCase{1LL << 62, "Bond", NewOrderCheck::QuantityAboveLimit},
                    // The quantity is checked first.
                    NewOrderCase{0, "Bond", NewOrderCheck::QuantityNotPositive}));

struct ModifyCase {
    long long cut;
    double price;
    ModifyCheck expected;
};

class ModifyTable : public testing::TestWithParam<ModifyCase> {};

TEST_P(ModifyTable, Decides) {
    const ModifyCase &c = GetParam();
    EXPECT_EQ(check_modify(c.cut, c.price), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rules, ModifyTable,
                         testing::Values(ModifyCase{0, 0.0, ModifyCheck::NothingToChange},
                                         ModifyCase{2, 0.0, ModifyCheck::Accepted},
                                         ModifyCase{0, 101.5, ModifyCheck::Accepted},
                                         ModifyCase{-1, 0.0, ModifyCheck::NegativeCut},
                                         ModifyCase{-1, 99.0, ModifyCheck::NegativeCut}));

TEST(CutFits, NeverMoreThanRests) {
    EXPECT_TRUE(cut_fits(3, 3));
    EXPECT_TRUE(cut_fits(1, 3));
    EXPECT_FALSE(cut_fits(4, 3));
}

TEST(NewPrice, AboveZeroOnly) {
    EXPECT_TRUE(new_price_valid(0.01));
    EXPECT_FALSE(new_price_valid(0.0));
    EXPECT_FALSE(new_price_valid(-5.0));
    EXPECT_FALSE(new_price_valid(std::nan("")));
    EXPECT_TRUE(new_price_valid(std::numeric_limits<double>::infinity()));
}

} // namespace
