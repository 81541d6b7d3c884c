#include "sequence/SequenceClock.h"

#include "support/FakeMilliseconds.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace cadentor {
namespace {

TEST(SequenceClock, PausesResumesAndIsSetWhilePaused) {
    test::FakeMilliseconds ms{5000};
    SequenceClock clock(ms.source());
    EXPECT_TRUE(clock.isPaused()); // created paused at 0
    ms.advance(1234);
    EXPECT_EQ(clock.elapsed(), 0u);
    clock.resume();
    ms.advance(1500);
    clock.resume(); // running already: nothing changes
    EXPECT_EQ(clock.elapsed(), 1500u);
    clock.pause();
    ms.advance(5000); // paused seconds do not count
    clock.pause();
    EXPECT_EQ(clock.elapsed(), 1500u);
    clock.resume();
    ms.advance(10);
    EXPECT_EQ(clock.elapsed(), 1510u);
    clock.pauseAt(42000);
    ms.advance(300);
    EXPECT_TRUE(clock.isPaused());
    EXPECT_EQ(clock.elapsed(), 42000u);
    clock.resume();
    ms.advance(1);
    EXPECT_EQ(clock.elapsed(), 42001u);
    clock.resetToZero();
    ms.advance(300);
    EXPECT_TRUE(clock.isPaused());
    EXPECT_EQ(clock.elapsed(), 0u);
}

TEST(SequenceClock, CounterWrappingPast32BitsDoesNotDisturbIt) {
    test::FakeMilliseconds ms{0xFFFFFF00u};
    SequenceClock clock(ms.source());
    clock.resume();
    ms.advance(0x500); // past 2^32
    EXPECT_EQ(clock.elapsed(), 0x500u);
    const std::uint32_t due = clock.readingAt(0x600);
    ms.now = due - 1;
    EXPECT_EQ(clock.elapsed(), 0x5FFu);
    EXPECT_EQ(clock.elapsedAt(due), 0x600u);
    clock.pauseAt(0xFFFFFFF0u); // origin lies "after" the reading
    clock.resume();
    ms.advance(0x20);
    EXPECT_EQ(clock.elapsed(), 0x10u);
}

// Pausing must pause even when the counter reads exactly 0.
TEST(SequenceClock, ReadingZeroIsAnOrdinaryReading) {
    test::FakeMilliseconds ms{0};
    SequenceClock clock(ms.source());
    ms.advance(50);
    EXPECT_TRUE(clock.isPaused());
    EXPECT_EQ(clock.elapsed(), 0u);

    clock.resetToZero();
    ms.now = 0xFFFFFFFFu - 99;
    clock.resume();
    ms.advance(100); // reads 0
    clock.pause();
    ms.advance(50);
    EXPECT_TRUE(clock.isPaused());
    EXPECT_EQ(clock.elapsed(), 100u);
    clock.resume();
    ms.advance(5);
    EXPECT_EQ(clock.elapsed(), 105u);

    for (bool byReset : {true, false}) {
        clock.resume();
        ms.now = 0;
        byReset ? clock.resetToZero() : clock.pauseAt(900);
        ms.advance(50);
        EXPECT_TRUE(clock.isPaused());
        EXPECT_EQ(clock.elapsed(), byReset ? 0u : 900u);
    }
}

TEST(MonotonicMilliseconds, CountsMillisecondsForward) {
    const std::uint32_t before = monotonicMilliseconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const std::uint32_t passed = monotonicMilliseconds() - before;
    EXPECT_GE(passed, 24u); // whole milliseconds: one may be lost to truncation
    EXPECT_LT(passed, 1u << 31);
}

} // namespace
} // namespace cadentor
