// The paced playback state machine against a scripted port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "playback.hpp"

using namespace quarvel::core::ticker;

namespace {

/// Records the stream as letters: T token taken, G token given back, R<i> row, B marker,
/// H<next> rest handed over, . asked again.
struct ScriptedPort : PlaybackPort {
    int tokens = 0;             // tokens available
    int cancel_after_rows = -1; // cancel once this many rows were emitted
    bool notice = true;         // backfilling notice arrives
    bool is_cancelled = false;
    std::string log;
    int rows_emitted = 0;
    int retries = 0;              // "ask again" answers before each token
    int hand_over_when_empty = 0; // with no token left: hand over instead of being cancelled
    PlaybackEnd handed_end = PlaybackEnd::Exhausted;
    std::vector<RangeLeft> asked; // every question, as asked

    bool wait_backfilling_notice() override { return notice && !is_cancelled; }
    bool emit_backfilling_marker() override {
        log += "B";
        return true;
    }
    TokenStep take_token_or_hand_over(const RangeLeft &left) override {
        asked.push_back(left);
        if (retries_left > 0) {
            --retries_left;
            log += ".";
            return {TokenWait::Retry};
        }
        retries_left = retries;
        if (tokens == 0 && hand_over_when_empty) {
            log += "H" + std::to_string(left.next);
            return {TokenWait::HandedOver, {left.rows, handed_end}};
        }
        if (tokens == 0)
            return {TokenWait::Cancelled}; // cancelled while waiting
        --tokens;
        log += "T";
        return {TokenWait::Taken};
    }
    int retries_left = -1;
    int refuse_row = -1;
    void give_back_token() override {
        ++tokens;
        log += "G";
    }
    bool cancelled() override { return is_cancelled; }
    bool emit_row(std::size_t index) override {
        if (static_cast<int>(index) == refuse_row)
            return false; // cancelled between the token and the put
        log += "R" + std::to_string(index);
        if (++rows_emitted == cancel_after_rows)
            is_cancelled = true;
        return true;
    }
};

} // namespace

TEST(MainRange, ThreeRowsTakeFourTokensAndExhaust) {
    ScriptedPort port;
    port.tokens = 10;
    PlaybackOutcome out = play_main_range(port, 3, false);
    EXPECT_EQ(out.end, PlaybackEnd::Exhausted);
    EXPECT_EQ(out.sent, 3u);
    EXPECT_EQ(port.log, "TR0TR1TR2T");
}

TEST(MainRange, EmptyRangeTakesNoToken) {
    ScriptedPort port;
    port.tokens = 1;
    PlaybackOutcome out = play_main_range(port, 0, false);
    EXPECT_EQ(out.end, PlaybackEnd::Exhausted);
    EXPECT_EQ(port.tokens, 1);
}

TEST(MainRange, AwaitedBackfillingEmitsMarkerFirstEvenWhenEmpty) {
    ScriptedPort port;
    port.tokens = 5;
    EXPECT_EQ(play_main_range(port, 0, true).end, PlaybackEnd::Exhausted);
    EXPECT_EQ(port.log, "B");
    ScriptedPort busy;
    busy.tokens = 5;
    play_main_range(busy, 1, true);
    EXPECT_EQ(busy.log, "BTR0T");
}

TEST(MainRange, CancelledWhileWaitingForBackfillingEmitsNothing) {
    ScriptedPort port;
    port.notice = false;
    EXPECT_EQ(play_main_range(port, 3, true).end, PlaybackEnd::Cancelled);
    EXPECT_EQ(port.log, "");
}

TEST(MainRange, NoTokenMeansCancelledWithoutRows) {
    ScriptedPort port;
    EXPECT_EQ(play_main_range(port, 2, false).end, PlaybackEnd::Cancelled);
    EXPECT_EQ(port.log, "");
}

TEST(BackfillingRange, NoTokenIsTakenAfterTheLastRow) {
    ScriptedPort port;
    port.tokens = 10;
    PlaybackOutcome out = play_backfilling_range(port, 2);
    EXPECT_EQ(out.end, PlaybackEnd::Exhausted);
    EXPECT_EQ(port.log, "TR0TR1");
    EXPECT_EQ(play_backfilling_range(port, 0).sent, 0u);
}

TEST(TokenOrHandOver, RetryAsksAgainWithTheSameRangeLeft) {
    ScriptedPort port;
    port.tokens = 10;
    port.retries = 1;
    port.retries_left = 1;
    PlaybackOutcome out = play_backfilling_range(port, 2);
    EXPECT_EQ(out.end, PlaybackEnd::Exhausted);
    EXPECT_EQ(port.log, ".TR0.TR1");
    ASSERT_EQ(port.asked.size(), 4u);
    EXPECT_EQ(port.asked[0].next, port.asked[1].next);
    EXPECT_EQ(port.asked[2].next, 1u);
}

struct HandOverCase {
    int tokens;
    bool main;
    const char *log;
    std::size_t asked_next; // `next` of the last question, the one handed over
    bool asked_end_token;
};

class HandOver : public ::testing::TestWithParam<HandOverCase> {};

TEST_P(HandOver, TheRestOfTheRangeIsThePortsAndItsOutcomeIsTheRanges) {
    const HandOverCase &c = GetParam();
    ScriptedPort port;
    port.tokens = c.tokens;
    port.hand_over_when_empty = 1;
    port.handed_end = PlaybackEnd::Cancelled;
    PlaybackOutcome out =
        c.main ? play_main_range(port, 3, false) : play_backfilling_range(port, 3);
    EXPECT_EQ(port.log, c.log);
    EXPECT_EQ(out.end, PlaybackEnd::Cancelled); // the port's word, not the loop's
    EXPECT_EQ(out.sent, 3u);
    EXPECT_EQ(port.asked.back().next, c.asked_next);
    EXPECT_EQ(port.asked.back().rows, 3u);
    EXPECT_EQ(port.asked.back().end_token, c.asked_end_token);
}

INSTANTIATE_TEST_SUITE_P(
    PacingLoop, HandOver,
    ::testing::Values(HandOverCase{0, true, "H0", 0, true},          // no token waiting at all
                      HandOverCase{2, true, "TR0TR1H2", 2, true},    // after the tokens waiting
                      HandOverCase{3, true, "TR0TR1TR2H3", 3, true}, // only the end token left
                      HandOverCase{1, false, "TR0H1", 1, false}));

TEST(TokenOrHandOver, NoQuestionAfterTheLastBackfillingRow) {
    ScriptedPort port;
    port.tokens = 2;
    port.hand_over_when_empty = 1;
    EXPECT_EQ(play_backfilling_range(port, 2).end, PlaybackEnd::Exhausted);
    EXPECT_EQ(port.log, "TR0TR1");
    EXPECT_EQ(port.asked.size(), 2u);
}

struct GiveBackCase {
    std::size_t rows;
    int cancel_after_rows;
    int refuse_row;
    std::size_t sent;
    const char *log;
    int tokens_left;
};

class GiveBack : public ::testing::TestWithParam<GiveBackCase> {};

// A token taken after a cancel belongs to whoever plays next.
TEST_P(GiveBack, TokenTakenForNothingGoesBack) {
    const GiveBackCase &c = GetParam();
    ScriptedPort port;
    port.tokens = 5;
    port.cancel_after_rows = c.cancel_after_rows;
    port.refuse_row = c.refuse_row;
    PlaybackOutcome out = play_main_range(port, c.rows, false);
    EXPECT_EQ(out.end, PlaybackEnd::Cancelled);
    EXPECT_EQ(out.sent, c.sent);
    EXPECT_EQ(port.log, c.log);
    EXPECT_EQ(port.tokens, c.tokens_left);
}

INSTANTIATE_TEST_SUITE_P(
    PacingLoop, GiveBack,
    ::testing::Values(GiveBackCase{4, 2, -1, 2, "TR0TR1TG", 3}, // cancelled between rows
                      GiveBackCase{2, 2, -1, 2, "TR0TR1TG", 3}, // the end token after a cancel
                      GiveBackCase{3, -1, 1, 1, "TR0TG", 4}));  // row refused on its token
