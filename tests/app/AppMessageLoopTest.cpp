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

class LoopTest : public ::testing::Test {
protected:
    // Runs the loop with `handler` registered; a guard ends it with `guardCode` after `guardMs`.
    int run(CountingHandler& handler, int guardMs = 5000, int guardCode = 1) {
        loop.installIdleHandler(&handler);
        QTimer::singleShot(guardMs, &loop, [&, guardCode] { loop.quit(guardCode); });
        const int code = loop.run();
        loop.removeIdleHandler(&handler);
        return code;
    }
    static std::int64_t now() { return monotonicNanoseconds(); }

    ApplicationFirst application;
    AppMessageLoop loop;
    CountingHandler handler;
};

TEST_F(LoopTest, EveryEventIsFollowedByAPassAndNoPassRunsWhileNothingAsks) {
    // Each event is a timer started by the one before, so no two are handled together; after
    // the last the loop is left alone for 300 ms.
    std::vector<int> passesSeen;
    std::function<void()> tick = [&] {
        passesSeen.push_back(handler.passes);
        if (passesSeen.size() == 6)
            loop.quit(7);
        else
            QTimer::singleShot(passesSeen.size() < 5 ? 5 : 300, &loop, tick);
    };
    QTimer::singleShot(5, &loop, tick);
    EXPECT_EQ(run(handler), 7);
    ASSERT_EQ(passesSeen.size(), 6u);
    for (std::size_t i = 1; i < passesSeen.size(); ++i)
        EXPECT_GT(passesSeen[i], passesSeen[i - 1]);
    // A loop that polled would have made many thousands of passes in 300 ms.
    EXPECT_LT(passesSeen[5] - passesSeen[4], 30);
}

TEST_F(LoopTest, WakesAtTheRequestedInstantAndAtOnceWhenPast) {
    // Without the wake nothing would happen until the guard ends the loop with 1.
    std::int64_t requested = 0;
    handler.action = [&] {
        if (handler.passes == 1)
            loop.wakeAt(requested = now() + 30000000);
        else if (now() >= requested)
            loop.quit(0);
    };
    EXPECT_EQ(run(handler), 0);
    EXPECT_FALSE(loop.wakeArmed());
    EXPECT_LT(handler.passes, 10);

    CountingHandler late;
    late.action = [&] {
        if (late.passes == 1)
            loop.wakeAt(now() - 1000000);
        else
            loop.quit(0);
    };
    EXPECT_EQ(run(late), 0);
    EXPECT_EQ(late.passes, 2);
}

TEST_F(LoopTest, APassNeverRunsInsideAnotherPass) {
    // A pass opens a nested loop while a wake is due: first a plain one, as a message box
    // does, then this loop's own run() (which ends the outer one with its quit).
    handler.action = [&] {
        loop.wakeAt(now());
        if (handler.passes == 1) {
            QEventLoop nested;
            QTimer::singleShot(60, &nested, &QEventLoop::quit);
            nested.exec();
        } else if (handler.passes == 3) {
            QTimer::singleShot(60, &loop, [&] { loop.quit(3); });
            EXPECT_EQ(loop.run(), 3);
        }
    };
    EXPECT_EQ(run(handler), 3);
    EXPECT_EQ(handler.deepest, 1);
    EXPECT_EQ(handler.passes, 3);
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
