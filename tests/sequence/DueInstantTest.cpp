#include "sequence/DueInstant.h"

#include "SequenceTestSupport.h"

#include <gtest/gtest.h>

namespace cadentor::test {
namespace {

constexpr std::int64_t ms = 1000000;

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
