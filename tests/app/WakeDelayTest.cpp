// How early the window asks its loop to wake for an event: the upper quartile of the loop's delays.
#include "app/AppMessageLoop.h"

#include <gtest/gtest.h>

namespace cadentor::test {
namespace {

constexpr std::int64_t us = 1000;

// Feeds `count` delays that cycle evenly through [low, low + 20 * spread) in a scrambled order.
void feed(WakeDelay& delay, int count, std::int64_t low, std::int64_t spread) {
    for (int i = 0; i < count; ++i)
        delay.note(low + (i * 7 % 20) * spread);
}

TEST(WakeDelayTest, FollowsTheUpperQuartileOfTheDelaysUpAndDownAndIsNotPulledByAStall) {
    WakeDelay delay;
    // Delays of 100..290 us: a quarter of them are above 240-250 us.
    feed(delay, 2000, 100 * us, 10 * us);
    EXPECT_NEAR(delay.upperQuartile(), 245 * us, 12 * us);
    // A wake-up held up for seconds (a message box) moves it by three steps only.
    const std::int64_t before = delay.upperQuartile();
    delay.note(5'000'000 * us);
    EXPECT_EQ(delay.upperQuartile(), before + 3 * WakeDelay::stepNs);
    // The machine gets slower, then faster again.
    feed(delay, 2000, 900 * us, 10 * us);
    EXPECT_NEAR(delay.upperQuartile(), 1045 * us, 12 * us);
    feed(delay, 2000, 0, 1 * us);
    EXPECT_NEAR(delay.upperQuartile(), 15 * us, 12 * us);
    feed(delay, 100, 0, 0);
    EXPECT_EQ(delay.upperQuartile(), 0);
}

} // namespace
} // namespace cadentor::test
