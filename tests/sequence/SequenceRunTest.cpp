#include "SequenceTestSupport.h"
#include "messages/Messages.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

using test::SequenceSetup;
constexpr EventStatus P = EventStatus::Pending, D = EventStatus::Done, F = EventStatus::Failed;

// Five send commands A..E to one pty, each writing its own letter, and BAD, an exec of a
// program that does not exist.
class SequenceRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(s.configure(test::onePort(pty.slavePath()),
                                "A: 0: 41\nB: 0: 42\nC: 0: 43\nD: 0: 44\nE: 0: 45\n"
                                "BAD: exec: /no/such/program\n"));
        ASSERT_EQ(s.ports.count(), 1u);
        ASSERT_TRUE(reporter.reports().empty());
    }
    void load(std::string_view lines) { ASSERT_TRUE(s.load(lines)); }
    std::string sent(std::size_t expected) { return pty.read(expected, 5000); }
    std::string sentMeanwhile() { return pty.read(0, 100); }

    test::Pty pty;
    SequenceSetup s;
    test::RecordingReporter reporter;
};

TEST_F(SequenceRun, DueEventsRunTogetherAndTheLastGivesFinished) {
    load("0:0:1 A\n0:0:1 B\n0:0:2.5 C\n");
    s.clock.resume();
    s.ms.advance(999);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::NothingDue);
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    s.ms.advance(1);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Executed);
    EXPECT_EQ(s.sequence.currentIndex(), 1);
    EXPECT_EQ(sent(2), "AB");
    EXPECT_EQ(s.statuses(), (std::vector{D, D, P}));
    s.ms.advance(2000);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Finished);
    EXPECT_EQ(s.sequence.currentIndex(), 2);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Finished);
    EXPECT_EQ(s.sequence.currentIndex(), 2);
    EXPECT_EQ(sent(1), "C");
    EXPECT_EQ(sentMeanwhile(), "");
}

TEST_F(SequenceRun, PausedClockRunsNothingEvenWhenOverdue) {
    load("0:0:0 A\n0:0:1 B\n");
    s.ms.advance(10000);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::NothingDue);
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_EQ(s.statuses(), (std::vector{P, P}));
    EXPECT_EQ(sentMeanwhile(), "");
}

TEST_F(SequenceRun, FailingEventIsTriedAgainUntilSkipped) {
    load("0:0:1 BAD\n0:0:1 A\n");
    s.clock.resume();
    s.ms.advance(1000);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Failed);
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_EQ(s.statuses(), (std::vector{F, P}));
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Failed);
    EXPECT_EQ(s.statuses(), (std::vector{F, P}));
    EXPECT_EQ(sentMeanwhile(), "");
    EXPECT_EQ(s.sequence.skipCurrent(), 0);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Finished);
    EXPECT_EQ(s.sequence.currentIndex(), 1);
    EXPECT_EQ(s.statuses(), (std::vector{F, D}));
    EXPECT_EQ(sent(1), "A");
    EXPECT_TRUE(reporter.reports().empty()); // a failed exec shows nothing
}

TEST_F(SequenceRun, EventsBeforeAFailureKeepTheirDoneStatus) {
    load("0:0:1 A\n0:0:1 BAD\n0:0:1 B\n");
    s.clock.resume();
    s.ms.advance(1000);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Failed);
    EXPECT_EQ(s.sequence.currentIndex(), 0);
    EXPECT_EQ(s.statuses(), (std::vector{D, F, P}));
    EXPECT_EQ(sent(1), "A");
}

TEST_F(SequenceRun, TimeCodeZeroRunsInTheFirstCallAfterResume) {
    load("0:0:0 A\n0:0:1 B\n");
    s.clock.resume();
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Executed);
    EXPECT_EQ(s.sequence.currentIndex(), 0);
    EXPECT_EQ(sent(1), "A");
}

TEST_F(SequenceRun, AfterAStallEveryDueEventRunsInOneCallInOrder) {
    load("0:0:1 A\n0:0:3 C\n0:0:2 B\n0:0:9.999 D\n0:0:20 E\n");
    s.clock.resume();
    s.ms.advance(10000);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Executed);
    EXPECT_EQ(s.sequence.currentIndex(), 3);
    EXPECT_EQ(sent(4), "ABCD");
    EXPECT_EQ(s.sequence.nextDueTime(), std::optional<TimeCode>(20000));
}

TEST_F(SequenceRun, ExecuteAtMovesPositionAndClockAndTheRunGoesOnFromThere) {
    load("0:0:1 A\n0:0:2 B\n0:0:3 C\n0:0:4 D\n0:0:5 E\n");
    s.clock.resume();
    s.ms.advance(500);
    EXPECT_TRUE(s.sequence.executeAt(2));
    EXPECT_EQ(s.sequence.currentIndex(), 2);
    EXPECT_TRUE(s.clock.isPaused());
    EXPECT_EQ(s.clock.elapsed(), 3000u);
    EXPECT_EQ(s.statuses(), (std::vector{P, P, D, P, P}));
    EXPECT_EQ(sent(1), "C");

    s.clock.resume();
    s.ms.advance(999);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::NothingDue);
    s.ms.advance(1);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Executed);
    EXPECT_EQ(s.sequence.currentIndex(), 3);
    s.ms.advance(1000);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Finished);
    EXPECT_EQ(sent(2), "DE");
    EXPECT_EQ(sentMeanwhile(), "");
    EXPECT_EQ(s.statuses(), (std::vector{P, P, D, D, D}));
}

TEST_F(SequenceRun, ExecuteAtOutsideTheListChangesNothing) {
    load("0:0:1 A\n0:0:2 B\n");
    s.clock.resume();
    s.ms.advance(1500);
    ASSERT_EQ(s.sequence.runDue(), RunOutcome::Executed);
    for (int index : {-1, 2, 1000, -1000}) {
        EXPECT_FALSE(s.sequence.executeAt(index));
        EXPECT_EQ(s.sequence.currentIndex(), 0);
        EXPECT_FALSE(s.clock.isPaused());
        EXPECT_EQ(s.clock.elapsed(), 1500u);
    }
    EXPECT_EQ(sent(1), "A");
    EXPECT_EQ(sentMeanwhile(), "");
}

TEST_F(SequenceRun, CounterWrappingDuringARunChangesNothing) {
    load("0:0:1 A\n0:0:2 B\n");
    s.ms.now = 0xFFFFFFFFu - 499;
    s.clock.resetToZero();
    s.clock.resume();
    s.ms.advance(999); // the counter has wrapped past 0
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::NothingDue);
    s.ms.advance(1);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Executed);
    s.ms.advance(1000);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Finished);
    EXPECT_EQ(sent(2), "AB");
}

TEST_F(SequenceRun, RewindMakesEveryEventPendingAndRunnableAgain) {
    load("0:0:0 A\n0:0:0 BAD\n0:0:1 B\n");
    s.clock.resume();
    s.ms.advance(5000);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Failed);
    s.sequence.rewind();
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_EQ(s.statuses(), (std::vector{P, P, P}));
    EXPECT_EQ(s.sequence.count(), 3);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Failed);
    EXPECT_EQ(sent(2), "AA");
}

TEST_F(SequenceRun, EmptySequenceIsFinishedWhileRunning) {
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::NothingDue);
    s.clock.resume();
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Finished);
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_EQ(s.sequence.nextDueTime(), std::nullopt);
}

TEST_F(SequenceRun, NextDueTimeFollowsThePosition) {
    load("0:0:2 B\n0:0:1 A\n");
    EXPECT_EQ(s.sequence.nextDueTime(), std::optional<TimeCode>(1000));
    s.clock.resume();
    s.ms.advance(1000);
    s.sequence.runDue();
    EXPECT_EQ(s.sequence.nextDueTime(), std::optional<TimeCode>(2000));
    EXPECT_EQ(s.clock.readingAt(*s.sequence.nextDueTime()), s.ms.now + 1000);
    s.ms.advance(1000);
    s.sequence.runDue();
    EXPECT_EQ(s.sequence.nextDueTime(), std::nullopt);
}

TEST_F(SequenceRun, SkippingPastTheEndStaysFinished) {
    load("0:0:0 A\n");
    s.clock.resume();
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Finished);
    EXPECT_EQ(s.sequence.skipCurrent(), 1);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Finished);
    EXPECT_EQ(s.sequence.currentIndex(), 1);
    EXPECT_EQ(s.sequence.nextDueTime(), std::nullopt);
    EXPECT_EQ(sent(1), "A");
}

TEST_F(SequenceRun, SendsArriveByteForByte) {
    ASSERT_TRUE(s.configure(test::onePort(pty.slavePath()),
                            "RAW: 0: 00 0A 0D 0D 0A FF 11 13 03 04 1A 7F 80 b10101010\n"));
    load("0:0:0 RAW\n");
    EXPECT_TRUE(s.sequence.executeAt(0));
    EXPECT_EQ(sent(14),
              std::string("\x00\x0a\x0d\x0d\x0a\xff\x11\x13\x03\x04\x1a\x7f\x80\xaa", 14));
}

TEST_F(SequenceRun, FailedSendShowsThePortMessageAndOverwritesTheStatus) {
    load("0:0:0 A\n");
    EXPECT_TRUE(s.sequence.executeAt(0));
    EXPECT_EQ(s.sequence.eventAt(0)->status(), D);
    EXPECT_EQ(sent(1), "A");
    pty.closeMaster();
    EXPECT_FALSE(s.sequence.executeAt(0));
    EXPECT_EQ(s.sequence.eventAt(0)->status(), F);
    EXPECT_EQ(reporter.ids(), std::vector{MessageId::PortWriteFailed});
    s.sequence.rewind();
    s.clock.resume();
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Failed);
    EXPECT_EQ(s.sequence.currentIndex(), -1);
}

TEST_F(SequenceRun, SendToAPortTheSetNoLongerHasIsRefused) {
    load("0:0:0 A\n");
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), pty.slavePath());
    s.ports.closeAll();
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), "");
    s.clock.resume();
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Failed);
    EXPECT_EQ(reporter.ids(), std::vector{MessageId::BadPortId});
    EXPECT_EQ(sentMeanwhile(), "");
}

} // namespace
} // namespace cadentor
