// The native hand-off queue: order, waits, cancellation fence.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "code_check.hpp"
#include "handoff_queue.hpp"

using namespace quarvel::core;
using namespace std::chrono_literals;

namespace {

QueueItem row(std::int64_t ts) {
    QueueItem item;
    item.kind = ItemKind::Row;
    item.row.ts = ts;
    return item;
}

} // namespace

TEST(HandoffQueue, ItemsLeaveInPutOrder) {
    HandoffQueue q;
    for (int i = 0; i < 5; ++i)
        q.put(row(i));
    EXPECT_EQ(q.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(q.try_get()->row.ts, i);
    EXPECT_FALSE(q.try_get().has_value());
}

TEST(HandoffQueue, TimedGetOnEmptyQueueTimesOut) {
    for (std::uint32_t spin : {0u, 50u}) {
        HandoffQueue q(spin);
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(q.get_for(20ms).has_value());
        EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    }
}

TEST(HandoffQueue, ParkedWaiterIsWokenByPut) {
    for (std::uint32_t spin : {0u, 50u}) {
        HandoffQueue q(spin);
        std::thread producer([&] {
            std::this_thread::sleep_for(30ms);
            q.put(row(7));
        });
        auto item = q.get_for(5s);
        producer.join();
        ASSERT_TRUE(item.has_value());
        EXPECT_EQ(item->row.ts, 7);
    }
}

TEST(HandoffQueue, PingPongLosesNothing) {
    HandoffQueue there, back;
    constexpr int kRounds = 20000;
    std::thread echo([&] {
        for (int i = 0; i < kRounds; ++i)
            back.put(*there.get_for(5s));
    });
    for (int i = 0; i < kRounds; ++i) {
        there.put(row(i));
        ASSERT_EQ(back.get_for(5s)->row.ts, i);
    }
    echo.join();
}

TEST(HandoffQueue, CancelledSessionPutsNothingAfterFence) {
    HandoffQueue q;
    PlaybackSession session;
    EXPECT_TRUE(q.put_unless_cancelled(row(1), session));
    session.cancel();
    q.fence();
    EXPECT_FALSE(q.put_unless_cancelled(row(2), session));
    EXPECT_EQ(q.size(), 1u);
}

TEST(StagedEmit, NextPutDeliversTheStagedRowInsteadOfQueuing) {
    HandoffQueue tokens, ticks;
    PlaybackSession session;
    ASSERT_TRUE(tokens.stage({&ticks, row(5), &session}));
    EXPECT_FALSE(tokens.stage({&ticks, row(6), &session})); // one at a time
    EXPECT_EQ(tokens.wait_staged(1ms), StageState::Waiting);
    QueueItem token;
    EXPECT_TRUE(tokens.put(token).has_value()); // consumed by the delivery
    EXPECT_EQ(tokens.size(), 0u);
    EXPECT_EQ(ticks.try_get()->row.ts, 5);
    EXPECT_EQ(tokens.wait_staged(1ms), StageState::Delivered);
    EXPECT_EQ(tokens.unstage(), StageState::None);
}

TEST(StagedEmit, PutAfterCancelKeepsTheTokenAndDeliversNothing) {
    HandoffQueue tokens, ticks;
    PlaybackSession session;
    ASSERT_TRUE(tokens.stage({&ticks, row(5), &session}));
    session.cancel();
    EXPECT_FALSE(tokens.put(QueueItem{}).has_value());
    EXPECT_EQ(tokens.size(), 1u);
    EXPECT_EQ(ticks.size(), 0u);
    EXPECT_EQ(tokens.wait_staged(1ms), StageState::Refused);
}

TEST(StagedEmit, StagingIsRefusedWhileATokenWaitsAndCanBeWithdrawn) {
    HandoffQueue tokens, ticks;
    PlaybackSession session;
    tokens.put(QueueItem{});
    EXPECT_FALSE(tokens.stage({&ticks, row(1), &session}));
    tokens.try_get();
    ASSERT_TRUE(tokens.stage({&ticks, row(1), &session}));
    EXPECT_EQ(tokens.unstage(), StageState::None);
    EXPECT_FALSE(tokens.put(QueueItem{}).has_value());
    EXPECT_EQ(ticks.size(), 0u);
}

TEST(StagedEmit, ParkedProducerIsWokenByTheDeliveringPut) {
    HandoffQueue tokens(0), ticks;
    PlaybackSession session;
    ASSERT_TRUE(tokens.stage({&ticks, row(9), &session}));
    std::thread consumer([&] {
        std::this_thread::sleep_for(30ms);
        tokens.put(QueueItem{});
    });
    EXPECT_EQ(tokens.wait_staged(5s), StageState::Delivered);
    consumer.join();
    EXPECT_EQ(ticks.try_get()->row.ts, 9);
}

TEST(CodeCheck, PlainCodesPassPathPartsFail) {
    for (const char *code : {"2330", "TXFR1", "00631L", "MXF 202501"})
        EXPECT_TRUE(is_safe_code(code)) << code;
    for (std::string_view code :
         {std::string_view(""), std::string_view("../x"), std::string_view("a/b"),
          std::string_view("a\\b"), std::string_view(".."), std::string_view("x\0y", 3)})
        EXPECT_FALSE(is_safe_code(code));
}
