#include "sequence/DueInstant.h"

#include "SequenceTestSupport.h"

#include <gtest/gtest.h>

namespace cadentor::test {
namespace {

constexpr std::int64_t ms = 1000000;

// The instant from a reading at `resumedAt` + `runFor` of a counter that stands still, for
// sequence time `t`: whole milliseconds after the start of the CLOCK_MONOTONIC millisecond read.
TEST(DueInstant, IsTheDistanceInSequenceTimeFromTheStartOfTheMillisecond) {
    const struct {
        std::uint32_t resumedAt, runFor;
        TimeCode t;
        std::int64_t aheadMs; // -1: reached
    } cases[] = {
        {1000, 0, 1, 1},
        {1000, 10, 11, 1},
        {1000, 10, 10, -1},
        {1000, 10, 3, -1},
        {1000, 0, 0x80000005u, 0x80000005}, // more than 2^31 ms ahead: still ahead
        {1000, 0, 0xFFFFFFFFu, 0xFFFFFFFF},
        {0xFFFFFFF0u, 0x20, 0x25, 5}, // the counter wrapped while the clock ran
        {0xFFFFFFF0u, 0, 0x10, 0x10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.resumedAt << "+" << c.runFor << " -> " << c.t);
        FakeMilliseconds counter{c.resumedAt};
        SequenceClock clock(counter.source());
        clock.resume();
        counter.advance(c.runFor);
        const DueInstant instant = dueInstant(clock, c.t);
        EXPECT_LE(std::abs(instant.now - monotonicNanoseconds()), 1000 * ms);
        if (c.aheadMs < 0) {
            EXPECT_TRUE(instant.reached());
            EXPECT_EQ(instant.due, instant.now);
        } else {
            EXPECT_FALSE(instant.reached());
            EXPECT_EQ(instant.due, instant.now - instant.now % ms + c.aheadMs * ms);
        }
    }
}

TEST(DueInstant, OfTheNextEventOnlyWhileTheClockRunsAndAnEventIsLeft) {
    SequenceSetup setup;
    ASSERT_TRUE(setup.configure(NoPorts, "Run: exec: /bin/true\n"));
    EXPECT_FALSE(nextDueInstant(setup.sequence)); // no events
    ASSERT_TRUE(setup.load("0:0:0.005 Run\n0:0:0.009 Run\n"));
    EXPECT_FALSE(nextDueInstant(setup.sequence)); // paused
    setup.clock.resume();
    setup.ms.advance(5);
    EXPECT_EQ(setup.sequence.runDue(), RunOutcome::Executed);
    const std::optional<DueInstant> next = nextDueInstant(setup.sequence);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->due - (next->now - next->now % ms), 4 * ms); // the second event, at 9
    EXPECT_EQ(setup.sequence.skipCurrent(), 1);
    EXPECT_FALSE(nextDueInstant(setup.sequence)); // none left
}

} // namespace
} // namespace cadentor::test
