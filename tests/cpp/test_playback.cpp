// The paced playback state machine against a scripted port.
#include <gtest/gtest.h>

#include <string>

#include "playback.hpp"

using namespace quarvel::core::ticker;

namespace {

/// Records the stream as letters: T token taken, G token given back, R<i> row, B marker.
struct ScriptedPort : PlaybackPort {
    int tokens = 0;             // tokens available
    int cancel_after_rows = -1; // cancel once this many rows were emitted
    bool notice = true;         // backfilling notice arrives
    bool is_cancelled = false;
    std::string log;
    int rows_emitted = 0;

    bool wait_backfilling_notice() override { return notice && !is_cancelled; }
    bool emit_backfilling_marker() override {
        log += "B";
        return true;
    }
    bool take_token() override {
        if (tokens == 0)
            return false; // stands for "cancelled while waiting"
        --tokens;
        log += "T";
        return true;
    }
    void give_back_token() override {
        ++tokens;
        log += "G";
    }
    bool cancelled() override { return is_cancelled; }
    bool emit_row(std::size_t index) override {
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

TEST(MainRange, TokenTakenAfterCancelIsGivenBack) {
    ScriptedPort port;
    port.tokens = 5;
    port.cancel_after_rows = 2;
    PlaybackOutcome out = play_main_range(port, 4, false);
    EXPECT_EQ(out.end, PlaybackEnd::Cancelled);
    EXPECT_EQ(out.sent, 2u);
    EXPECT_EQ(port.log, "TR0TR1TG");
    EXPECT_EQ(port.tokens, 3);
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
