#include "SequenceTestSupport.h"
#include "messages/Messages.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

constexpr EventStatus P = EventStatus::Pending, D = EventStatus::Done, F = EventStatus::Failed;
using Statuses = std::vector<EventStatus>;

// A..E send their own letter to one pty; BAD starts a program that does not exist.
class SequenceRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(s.configure(test::onePort(pty.slavePath()),
                                "A: 0: 41\nB: 0: 42\nC: 0: 43\nD: 0: 44\nE: 0: 45\n"
                                "BAD: exec: /no/such/program\n"));
        ASSERT_EQ(s.ports.count(), 1u);
    }
    void start(std::string_view lines) {
        ASSERT_TRUE(s.load(lines));
        s.clock.resume();
    }
    RunOutcome after(std::uint32_t ms) {
        s.ms.advance(ms);
        return s.sequence.runDue();
    }
    std::string sent(std::size_t expected) { return pty.read(expected, 5000); }
    std::string sentMeanwhile() { return pty.read(0, 100); }

    test::Pty pty;
    test::SequenceSetup s;
    test::RecordingReporter reporter;
};

TEST_F(SequenceRun, DueEventsRunTogetherAndTheLastGivesFinished) {
    start("0:0:1 A\n0:0:1 B\n0:0:2.5 C\n");
    EXPECT_EQ(after(999), RunOutcome::NothingDue);
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_EQ(after(1), RunOutcome::Executed);
    EXPECT_EQ(s.sequence.currentIndex(), 1);
    EXPECT_EQ(sent(2), "AB");
    EXPECT_EQ(s.statuses(), (Statuses{D, D, P}));
    EXPECT_EQ(after(2000), RunOutcome::Finished);
    EXPECT_EQ(after(0), RunOutcome::Finished);
    EXPECT_EQ(s.sequence.currentIndex(), 2);
    EXPECT_EQ(sent(1), "C");
    EXPECT_EQ(sentMeanwhile(), "");
}

TEST_F(SequenceRun, PausedClockRunsNothingEvenWhenOverdue) {
    ASSERT_TRUE(s.load("0:0:0 A\n"));
    s.ms.advance(10000);
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::NothingDue);
    EXPECT_EQ(s.statuses(), Statuses{P});
    EXPECT_EQ(sentMeanwhile(), "");
}

TEST_F(SequenceRun, FailingEventIsTriedAgainUntilSkipped) {
    start("0:0:1 BAD\n0:0:1 A\n");
    EXPECT_EQ(after(1000), RunOutcome::Failed);
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_EQ(s.statuses(), (Statuses{F, P}));
    EXPECT_EQ(after(0), RunOutcome::Failed);
    EXPECT_EQ(sentMeanwhile(), "");
    EXPECT_EQ(s.sequence.skipCurrent(), 0);
    EXPECT_EQ(after(0), RunOutcome::Finished);
    EXPECT_EQ(s.statuses(), (Statuses{F, D}));
    EXPECT_EQ(sent(1), "A");
    EXPECT_TRUE(reporter.reports().empty()); // a failed exec shows nothing
}

TEST_F(SequenceRun, EventsBeforeAFailureKeepTheirStatusAndRewindResetsAll) {
    start("0:0:0 A\n0:0:0 BAD\n0:0:1 B\n");
    EXPECT_EQ(after(5000), RunOutcome::Failed);
    EXPECT_EQ(s.sequence.currentIndex(), 0);
    EXPECT_EQ(s.statuses(), (Statuses{D, F, P}));
    s.sequence.rewind();
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_EQ(s.statuses(), (Statuses{P, P, P}));
    EXPECT_EQ(after(0), RunOutcome::Failed);
    EXPECT_EQ(sent(2), "AA");
}

TEST_F(SequenceRun, AfterAStallEveryDueEventRunsInOneCallInOrder) {
    start("0:0:0 A\n0:0:3 C\n0:0:2 B\n0:0:9.999 D\n0:0:20 E\n");
    EXPECT_EQ(after(0), RunOutcome::Executed); // time code 0 runs at once
    EXPECT_EQ(s.sequence.nextDueTime(), std::optional<TimeCode>(2000));
    EXPECT_EQ(after(10000), RunOutcome::Executed);
    EXPECT_EQ(s.sequence.currentIndex(), 3);
    EXPECT_EQ(sent(4), "ABCD");
    EXPECT_EQ(s.sequence.nextDueTime(), std::optional<TimeCode>(20000));
    EXPECT_EQ(s.clock.readingAt(20000), s.ms.now + 10000);
    EXPECT_EQ(after(10000), RunOutcome::Finished);
    EXPECT_EQ(s.sequence.nextDueTime(), std::nullopt);
}

TEST_F(SequenceRun, ExecuteAtMovesPositionAndClockAndTheRunGoesOnFromThere) {
    start("0:0:1 A\n0:0:2 B\n0:0:3 C\n0:0:4 D\n0:0:5 E\n");
    s.ms.advance(500);
    for (int index : {-1, 5, -1000}) {
        EXPECT_FALSE(s.sequence.executeAt(index));
        EXPECT_EQ(s.sequence.currentIndex(), -1);
        EXPECT_FALSE(s.clock.isPaused());
        EXPECT_EQ(s.clock.elapsed(), 500u);
    }
    EXPECT_TRUE(s.sequence.executeAt(2));
    EXPECT_EQ(s.sequence.currentIndex(), 2);
    EXPECT_TRUE(s.clock.isPaused());
    EXPECT_EQ(s.clock.elapsed(), 3000u);
    EXPECT_EQ(s.statuses(), (Statuses{P, P, D, P, P}));
    s.clock.resume();
    EXPECT_EQ(after(999), RunOutcome::NothingDue);
    EXPECT_EQ(after(1), RunOutcome::Executed);
    EXPECT_EQ(after(1000), RunOutcome::Finished);
    EXPECT_EQ(sent(3), "CDE");
    EXPECT_EQ(sentMeanwhile(), "");
}

TEST_F(SequenceRun, EmptyOrSkippedPastSequenceIsFinishedWhileRunning) {
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::NothingDue);
    s.clock.resume();
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Finished);
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    start("0:0:0 A\n");
    EXPECT_EQ(s.sequence.skipCurrent(), 0);
    EXPECT_EQ(s.sequence.skipCurrent(), 1);
    EXPECT_EQ(after(0), RunOutcome::Finished);
    EXPECT_EQ(s.sequence.currentIndex(), 1);
    EXPECT_EQ(sentMeanwhile(), "");
}

TEST_F(SequenceRun, SendsArriveByteForByte) {
    ASSERT_TRUE(s.configure(test::onePort(pty.slavePath()),
                            "RAW: 0: 00 0A 0D 0D 0A FF 11 13 03 04 1A 7F 80 b10101010\n"));
    ASSERT_TRUE(s.load("0:0:0 RAW\n"));
    EXPECT_TRUE(s.sequence.executeAt(0));
    EXPECT_EQ(sent(14),
              std::string("\x00\x0a\x0d\x0d\x0a\xff\x11\x13\x03\x04\x1a\x7f\x80\xaa", 14));
}

TEST_F(SequenceRun, FailedSendShowsThePortMessageAndOverwritesTheStatus) {
    ASSERT_TRUE(s.load("0:0:0 A\n"));
    EXPECT_TRUE(s.sequence.executeAt(0));
    EXPECT_EQ(sent(1), "A");
    pty.closeMaster();
    EXPECT_FALSE(s.sequence.executeAt(0));
    EXPECT_EQ(s.statuses(), Statuses{F});
    EXPECT_EQ(reporter.ids(), std::vector{MessageId::PortWriteFailed});
    s.sequence.rewind();
    s.clock.resume();
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Failed);
}

TEST_F(SequenceRun, SendToAPortTheSetNoLongerHasIsRefused) {
    start("0:0:0 A\n");
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), pty.slavePath());
    s.ports.closeAll();
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), "");
    EXPECT_EQ(after(0), RunOutcome::Failed);
    EXPECT_EQ(reporter.ids(), std::vector{MessageId::BadPortId});
    EXPECT_EQ(sentMeanwhile(), "");
}

} // namespace
} // namespace cadentor
