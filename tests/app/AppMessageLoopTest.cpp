// The idle pass of the desktop program's message loop.
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
    std::int64_t asked = 0;
    handler.action = [&] {
        const std::int64_t now = monotonicNanoseconds();
        if (handler.passes == 1) {
            asked = now;
            loop.wakeAt(now + 60'000'000'000);
            loop.wakeAt(now + soon);
        } else if (now >= asked + soon) { // passes may come sooner: the loop dispatched something
            loop.quit(now < asked + 50 * soon ? 2 : 1);
        }
    };
    loop.installIdleHandler(&handler);
    QTimer::singleShot(2000, &loop, [&] { loop.quit(1); });
    EXPECT_EQ(loop.run(), 2);
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

} // namespace
} // namespace cadentor::test
