// The idle pass of the desktop program's message loop, and how early the window asks it to wake
// for an event: the upper quartile of the loop's delays.
#include "AppTestSupport.h"

namespace cadentor::test {
namespace {

struct CountingHandler : IdleHandler {
    std::function<void()> action;
    int passes = 0, depth = 0, deepest = 0;
    void idleEvent() override {
        ++passes;
        deepest = std::max(deepest, ++depth);
        if (action)
            action();
        --depth;
    }
};

class LoopTest : public ::testing::Test, private ApplicationFirst {
protected:
    AppMessageLoop loop;
    CountingHandler handler;
};

TEST_F(LoopTest, APassNeverRunsInsideAnotherPass) {
    // A pass opens a nested loop while a wake is due: first a plain one, as a message box
    // does, then this loop's own run() (which ends the outer one with its quit).
    handler.action = [&] {
        loop.wakeAt(monotonicNanoseconds());
        if (handler.passes == 1) {
            QEventLoop nested;
            QTimer::singleShot(60, &nested, &QEventLoop::quit);
            nested.exec();
        } else if (handler.passes == 3) {
            QTimer::singleShot(60, &loop, [&] { loop.quit(3); });
            EXPECT_EQ(loop.run(), 3);
        }
    };
    loop.installIdleHandler(&handler);
    QTimer::singleShot(5000, &loop, [&] { loop.quit(1); });
    EXPECT_EQ(loop.run(), 3);
    EXPECT_EQ(handler.deepest, 1);
    EXPECT_EQ(handler.passes, 3);
}

TEST_F(LoopTest, ASoonerWakeReplacesOneArmedForLater) {
    constexpr std::int64_t soon = 20'000'000;
    std::int64_t asked = 0, woke = 0;
    handler.action = [&] {
        const std::int64_t now = monotonicNanoseconds();
        if (handler.passes == 1) {
            asked = now;
            loop.wakeAt(now + 60'000'000'000);
            loop.wakeAt(now + soon);
        } else if (now >= asked + soon) { // passes may come sooner: the loop dispatched something
            woke = now;
            loop.quit(2);
        }
    };
    loop.installIdleHandler(&handler);
    QTimer::singleShot(2000, &loop, [&] { loop.quit(1); });
    ASSERT_EQ(loop.run(), 2) << "no pass once the sooner wake was due";
    EXPECT_LT(woke - asked, 50 * soon);
}

TEST_F(LoopTest, HandlersRunInRegistrationOrderAndCanLeave) {
    std::vector<int> order;
    CountingHandler second, third;
    handler.action = [&] { order.push_back(1); };
    second.action = [&] {
        order.push_back(2);
        loop.removeIdleHandler(&third); // leaves during the pass: not called
        loop.quit(0);
    };
    third.action = [&] { order.push_back(3); };
    for (IdleHandler* each : std::initializer_list<IdleHandler*>{&handler, &second, &third})
        loop.installIdleHandler(each);
    loop.run();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

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
    // A wake-up held up for seconds (a message box) moves it by a few microseconds only.
    const std::int64_t before = delay.upperQuartile();
    delay.note(5'000'000 * us);
    EXPECT_LE(delay.upperQuartile(), before + 10 * us);
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
