#include "AppTestSupport.h"

#include <QEventLoop>
#include <QKeyEvent>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <vector>

namespace cadentor::test {
namespace {

struct CountingHandler : IdleHandler {
    std::function<void()> action;
    int passes = 0;
    int depth = 0;
    int deepest = 0;
    void onIdle() override {
        ++passes;
        ++depth;
        deepest = std::max(deepest, depth);
        if (action)
            action();
        --depth;
    }
};

class LoopTest : public ::testing::Test {
protected:
    ApplicationFirst application;
    AppMessageLoop loop;
};

TEST_F(LoopTest, RunReturnsTheQuitCode) {
    QTimer::singleShot(0, &loop, [&] { loop.quit(7); });
    EXPECT_EQ(loop.run(), 7);
}

TEST_F(LoopTest, SleepsWhileNoHandlerAsksForAPass) {
    CountingHandler handler;
    loop.addIdleHandler(&handler);
    QTimer::singleShot(300, &loop, [&] { loop.quit(0); });
    loop.run();
    // A loop that polled would have made many thousands of passes in 300 ms.
    EXPECT_GE(handler.passes, 1);
    EXPECT_LT(handler.passes, 30);
}

TEST_F(LoopTest, EveryEventIsFollowedByAPass) {
    CountingHandler handler;
    loop.addIdleHandler(&handler);
    // Each event is a timer started by the one before, so no two are handled together.
    std::vector<int> passesSeen;
    std::function<void()> tick = [&] {
        passesSeen.push_back(handler.passes);
        if (passesSeen.size() < 5)
            QTimer::singleShot(5, &loop, tick);
        else
            loop.quit(0);
    };
    QTimer::singleShot(5, &loop, tick);
    QTimer::singleShot(5000, &loop, [&] { loop.quit(1); });
    EXPECT_EQ(loop.run(), 0);
    ASSERT_EQ(passesSeen.size(), 5u);
    for (std::size_t i = 1; i < passesSeen.size(); ++i)
        EXPECT_GT(passesSeen[i], passesSeen[i - 1]);
}

TEST_F(LoopTest, WakesForAPassAtTheRequestedInstant) {
    // Without the wake nothing would happen until the guard ends the loop with 1.
    CountingHandler handler;
    std::int64_t requested = 0;
    handler.action = [&] {
        if (handler.passes == 1) {
            requested = AppMessageLoop::monotonicNanoseconds() + 30000000;
            loop.wakeAt(requested);
        } else if (AppMessageLoop::monotonicNanoseconds() >= requested) {
            loop.quit(0);
        }
    };
    loop.addIdleHandler(&handler);
    QTimer::singleShot(5000, &loop, [&] { loop.quit(1); });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_FALSE(loop.wakeArmed());
    EXPECT_LT(handler.passes, 10);
}

TEST_F(LoopTest, CancelledWakeDoesNotComeAndAPassedInstantComesAtOnce) {
    CountingHandler handler;
    handler.action = [&] {
        if (handler.passes == 1) {
            loop.wakeAt(AppMessageLoop::monotonicNanoseconds() + 20000000);
            loop.cancelWake();
            EXPECT_FALSE(loop.wakeArmed());
        }
    };
    loop.addIdleHandler(&handler);
    QTimer::singleShot(100, &loop, [&] { loop.quit(0); });
    loop.run();
    EXPECT_LT(handler.passes, 5);

    CountingHandler late;
    late.action = [&] {
        if (late.passes == 1)
            loop.wakeAt(AppMessageLoop::monotonicNanoseconds() - 1000000);
        else
            loop.quit(0);
    };
    loop.removeIdleHandler(&handler);
    loop.addIdleHandler(&late);
    QTimer::singleShot(5000, &loop, [&] { loop.quit(1); });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(late.passes, 2);
}

TEST_F(LoopTest, APassNeverRunsInsideAnotherPass) {
    // The first pass opens a nested loop, as a message box does, while a wake is due.
    CountingHandler handler;
    handler.action = [&] {
        loop.wakeAt(AppMessageLoop::monotonicNanoseconds());
        if (handler.passes == 1) {
            QEventLoop nested;
            QTimer::singleShot(60, &nested, &QEventLoop::quit);
            nested.exec();
        } else if (handler.passes == 3) {
            loop.quit(0);
        }
    };
    loop.addIdleHandler(&handler);
    QTimer::singleShot(5000, &loop, [&] { loop.quit(1); });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(handler.deepest, 1);
    EXPECT_EQ(handler.passes, 3);
}

TEST_F(LoopTest, HandlersRunInRegistrationOrderAndCanLeave) {
    std::vector<int> order;
    CountingHandler first, second, third;
    first.action = [&] { order.push_back(1); };
    second.action = [&] {
        order.push_back(2);
        loop.removeIdleHandler(&third); // leaves during the pass: not called
        loop.quit(0);
    };
    third.action = [&] { order.push_back(3); };
    loop.addIdleHandler(&first);
    loop.addIdleHandler(&second);
    loop.addIdleHandler(&third);
    loop.run();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

struct KeyFilter : MessageFilter {
    std::vector<int>* log;
    int mark;
    bool consume;
    KeyFilter(std::vector<int>* l, int m, bool c) : log(l), mark(m), consume(c) {}
    bool preTranslateMessage(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress)
            log->push_back(mark);
        return consume;
    }
};

TEST_F(LoopTest, KeysGoToTheLatestFilterFirstAndStopWhereConsumed) {
    std::vector<int> log;
    KeyFilter older(&log, 1, false);
    KeyFilter newer(&log, 2, true);
    loop.addMessageFilter(&older);
    loop.addMessageFilter(&newer);
    QPushButton target;
    QTest::keyClick(&target, Qt::Key_A);
    EXPECT_EQ(log, (std::vector<int>{2}));

    log.clear();
    loop.removeMessageFilter(&newer);
    QTest::keyClick(&target, Qt::Key_A);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), 1);
    loop.removeMessageFilter(&older);
}

} // namespace
} // namespace cadentor::test
