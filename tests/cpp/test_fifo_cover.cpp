// The FIFO cover rule table: which entries a covering deal reaches, what each chunk takes,
// what stays open and what is left to open on the deal's own side.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "fifo_cover.hpp"

using namespace quarvel::core::ledger;

namespace {

struct CoverCase {
    const char *name;
    std::vector<std::int64_t> open;
    std::int64_t quantity;
    std::vector<std::int64_t> taken;
    std::vector<std::int64_t> still_open;
    std::int64_t uncovered;
};

class FifoCoverTable : public testing::TestWithParam<CoverCase> {};

TEST_P(FifoCoverTable, TakesOldestFirst) {
    const CoverCase &c = GetParam();
    CoverPlan plan = fifo_cover(c.open, c.quantity);
    std::vector<std::int64_t> taken, still_open;
    for (const CoverChunk &chunk : plan.chunks) {
        EXPECT_FALSE(chunk.overflow);
        taken.push_back(chunk.quantity);
        still_open.push_back(chunk.still_open);
    }
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(still_open, c.still_open);
    EXPECT_EQ(plan.uncovered, c.uncovered);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FifoCoverTable,
    testing::Values(CoverCase{"exact_single", {3}, 3, {3}, {0}, 0},
                    CoverCase{"partial_entry_stays_open", {5}, 2, {2}, {3}, 0},
                    CoverCase{"spans_entries_in_order", {2, 2, 4}, 5, {2, 2, 1}, {0, 0, 3}, 0},
                    CoverCase{"more_than_open_leaves_rest_to_open", {1, 2}, 5, {1, 2}, {0, 0}, 2},
                    CoverCase{"stops_before_unreached_entries", {4, 9}, 4, {4}, {0}, 0},
                    CoverCase{"empty_book_covers_nothing", {}, 3, {}, {}, 3},
                    CoverCase{"zero_quantity_reaches_nothing", {3}, 0, {}, {}, 0}),
    [](const testing::TestParamInfo<CoverCase> &param) { return std::string(param.param.name); });

TEST(FifoCover, OverflowingChunkTakesNothing) {
    FifoCover walk(5);
    CoverChunk chunk = walk.take(std::numeric_limits<std::int64_t>::min());
    EXPECT_TRUE(chunk.overflow);
    EXPECT_EQ(walk.uncovered(), 5);
}

TEST(OpenOrCover, CoversOnlyWhenTheOppositeSideHoldsEntries) {
    EXPECT_EQ(open_or_cover(true), BookMove::CoverFirst);
    EXPECT_EQ(open_or_cover(false), BookMove::Open);
}

} // namespace
