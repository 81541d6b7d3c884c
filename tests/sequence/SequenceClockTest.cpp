#include "sequence/SequenceClock.h"

#include "support/FakeMilliseconds.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace cadentor {
namespace {

class ClockTest : public ::testing::Test {
protected:
    test::FakeMilliseconds ms{5000};
};

TEST_F(ClockTest, StartsPausedAtZero) {
    SequenceClock clock(ms.source());
    EXPECT_TRUE(clock.isPaused());
    EXPECT_EQ(clock.elapsed(), 0u);
    ms.advance(1234);
    EXPECT_EQ(clock.elapsed(), 0u);
}

TEST_F(ClockTest, RunsFromWhereItStoodAndPauseStopsIt) {
    SequenceClock clock(ms.source());
    clock.resume();
    EXPECT_FALSE(clock.isPaused());
    ms.advance(1500);
    EXPECT_EQ(clock.elapsed(), 1500u);
    clock.pause();
    ms.advance(5000); // the five paused seconds do not count
    EXPECT_EQ(clock.elapsed(), 1500u);
    clock.resume();
    EXPECT_EQ(clock.elapsed(), 1500u);
    ms.advance(10);
    EXPECT_EQ(clock.elapsed(), 1510u);
}

TEST_F(ClockTest, PauseAndResumeAreIdempotent) {
    SequenceClock clock(ms.source());
    clock.resume();
    ms.advance(100);
    clock.resume(); // running already: origin stays
    EXPECT_EQ(clock.elapsed(), 100u);
    clock.pause();
    ms.advance(100);
    clock.pause(); // paused already: the pause reading stays
    ms.advance(100);
    clock.resume();
    EXPECT_EQ(clock.elapsed(), 100u);
}

TEST_F(ClockTest, ResetToZeroAndPauseAtLeaveItPaused) {
    SequenceClock clock(ms.source());
    clock.resume();
    ms.advance(700);
    clock.resetToZero();
    EXPECT_TRUE(clock.isPaused());
    ms.advance(300);
    EXPECT_EQ(clock.elapsed(), 0u);
    clock.pauseAt(42000);
    EXPECT_TRUE(clock.isPaused());
    ms.advance(300);
    EXPECT_EQ(clock.elapsed(), 42000u);
    clock.resume();
    ms.advance(1);
    EXPECT_EQ(clock.elapsed(), 42001u);
}

TEST_F(ClockTest, CounterWrappingPast32BitsDoesNotDisturbIt) {
    ms.now = 0xFFFFFF00u;
    SequenceClock clock(ms.source());
    clock.resume();
    ms.advance(0x100); // now reads 0
    EXPECT_EQ(clock.elapsed(), 0x100u);
    ms.advance(0x400);
    EXPECT_EQ(clock.elapsed(), 0x500u);
    clock.pauseAt(0xFFFFFFF0u); // a time code whose origin lies "before" reading 0
    clock.resume();
    ms.advance(0x20);
    EXPECT_EQ(clock.elapsed(), 0x10u);
}

// Every operation that pauses must pause even when the counter reads exactly 0.
TEST_F(ClockTest, ReadingZeroIsAnOrdinaryReading) {
    ms.now = 0;
    SequenceClock created(ms.source());
    EXPECT_TRUE(created.isPaused());
    ms.advance(50);
    EXPECT_EQ(created.elapsed(), 0u);

    ms.now = 0xFFFFFFFFu - 99;
    SequenceClock clock(ms.source());
    clock.resume();
    ms.advance(100); // reads 0
    clock.pause();
    EXPECT_TRUE(clock.isPaused());
    ms.advance(50);
    EXPECT_EQ(clock.elapsed(), 100u);
    clock.resume();
    ms.advance(5);
    EXPECT_EQ(clock.elapsed(), 105u);

    ms.now = 0;
    clock.resetToZero();
    EXPECT_TRUE(clock.isPaused());
    ms.advance(50);
    EXPECT_EQ(clock.elapsed(), 0u);

    clock.resume();
    ms.now = 0;
    clock.pauseAt(900);
    EXPECT_TRUE(clock.isPaused());
    ms.advance(50);
    EXPECT_EQ(clock.elapsed(), 900u);
}

TEST_F(ClockTest, ReadingAtIsWhenATimeCodeIsReached) {
    ms.now = 0xFFFFFF00u;
    SequenceClock clock(ms.source());
    clock.resume();
    const std::uint32_t due = clock.readingAt(0x300);
    ms.now = due - 1;
    EXPECT_EQ(clock.elapsed(), 0x2FFu);
    ms.now = due;
    EXPECT_EQ(clock.elapsed(), 0x300u);
    EXPECT_EQ(clock.elapsedAt(due), 0x300u);
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
