// The native hand-off queue: order, waits, cancellation fence.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "handoff_queue.hpp"

using namespace quarvel::core::ticker;
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

namespace {

/// Three rows with ts 10, 11, 12.
struct ThreeRows {
    std::int64_t ts[3] = {10, 11, 12};
    double close[3] = {1, 2, 3};
    std::int64_t volume[3] = {1, 1, 1};
    std::int64_t tick_type[3] = {0, 1, 2};
    std::uint32_t code[3] = {0, 0, 0};
    PlayedColumns view{3, ts, close, volume, tick_type, code};
};

} // namespace

TEST(StagedRows, EachPutDeliversTheNextRowThenTheEndTokenEndsTheRange) {
    ThreeRows table;
    HandoffQueue tokens, ticks;
    PlaybackSession session;
    ASSERT_TRUE(tokens.stage({&ticks, &session, &table.view, 1, 3, true, 0, false}));
    EXPECT_FALSE(tokens.stage({&ticks, &session, &table.view, 0, 3, true, 0, false}));
    std::size_t next = 0;
    EXPECT_EQ(tokens.wait_staged(1ms, next), StageState::Waiting);
    for (std::int64_t ts : {11, 12}) {
        EXPECT_TRUE(tokens.put(QueueItem{}).has_value()); // consumed by the delivery
        EXPECT_EQ(ticks.try_get()->row.ts, ts);
    }
    EXPECT_EQ(tokens.wait_staged(1ms, next), StageState::Waiting); // end token still due
    EXPECT_TRUE(tokens.put(QueueItem{}).has_value());
    EXPECT_EQ(ticks.size(), 0u);
    EXPECT_EQ(tokens.wait_staged(1ms, next), StageState::Delivered);
    EXPECT_EQ(next, 3u);
    EXPECT_EQ(tokens.size(), 0u);
}

TEST(StagedRows, WithoutEndTokenTheLastRowEndsTheRange) {
    ThreeRows table;
    HandoffQueue tokens, ticks;
    PlaybackSession session;
    ASSERT_TRUE(tokens.stage({&ticks, &session, &table.view, 2, 3, false, 0, true}));
    tokens.put(QueueItem{});
    std::size_t next = 0;
    EXPECT_EQ(tokens.wait_staged(1ms, next), StageState::Delivered);
    EXPECT_TRUE(ticks.try_get()->row.backfilling);
    EXPECT_FALSE(tokens.put(QueueItem{}).has_value()); // queued as a plain token again
    EXPECT_EQ(tokens.size(), 1u);
}

TEST(StagedRows, PutAfterCancelKeepsTheTokenAndDeliversNothing) {
    ThreeRows table;
    HandoffQueue tokens, ticks;
    PlaybackSession session;
    ASSERT_TRUE(tokens.stage({&ticks, &session, &table.view, 0, 3, true, 0, false}));
    tokens.put(QueueItem{});
    session.cancel();
    EXPECT_FALSE(tokens.put(QueueItem{}).has_value());
    EXPECT_EQ(tokens.size(), 1u);
    EXPECT_EQ(ticks.size(), 1u);
    std::size_t next = 0;
    EXPECT_EQ(tokens.wait_staged(1ms, next), StageState::Refused);
    EXPECT_EQ(next, 1u);
}

TEST(StagedRows, StagingIsRefusedWhileATokenWaitsAndCanBeWithdrawn) {
    ThreeRows table;
    HandoffQueue tokens, ticks;
    PlaybackSession session;
    tokens.put(QueueItem{});
    EXPECT_FALSE(tokens.stage({&ticks, &session, &table.view, 0, 3, true, 0, false}));
    tokens.try_get();
    ASSERT_TRUE(tokens.stage({&ticks, &session, &table.view, 0, 3, true, 0, false}));
    std::size_t next = 9;
    EXPECT_EQ(tokens.unstage(next), StageState::None);
    EXPECT_EQ(next, 0u);
    EXPECT_FALSE(tokens.put(QueueItem{}).has_value());
    EXPECT_EQ(ticks.size(), 0u);
}

TEST(StagedRows, ParkedProducerIsWokenWhenTheRangeEnds) {
    ThreeRows table;
    HandoffQueue tokens(0), ticks;
    PlaybackSession session;
    ASSERT_TRUE(tokens.stage({&ticks, &session, &table.view, 0, 3, false, 0, false}));
    std::thread consumer([&] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(10ms);
            tokens.put(QueueItem{});
        }
    });
    std::size_t next = 0;
    EXPECT_EQ(tokens.wait_staged(5s, next), StageState::Delivered);
    consumer.join();
    EXPECT_EQ(ticks.size(), 3u);
}
