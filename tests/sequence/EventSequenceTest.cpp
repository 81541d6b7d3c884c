#include "SequenceTestSupport.h"
#include "messages/Messages.h"
#include "support/Pty.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

using Events = std::vector<std::pair<TimeCode, std::string>>;
using Statuses = std::vector<EventStatus>;
constexpr EventStatus P = EventStatus::Pending, D = EventStatus::Done, F = EventStatus::Failed;
using namespace std::string_literals;

// Exec and open commands, and SEND for port 0 of no port at all.
class SequenceLoading : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(s.configure(test::NoPorts, "X: exec: /bin/true\r\nY: exec: /bin/true\r\n"
                                               "DOC: open: /\r\nSEND: 0: 41\r\n"));
    }
    // After a good load, loads `bytes` and expects no events and exactly message `id`, whose
    // detail is the file's path and `where` (":line" for a bad line).
    void expectRefused(const std::string& bytes, MessageId id, const std::string& where) {
        ASSERT_TRUE(s.load("0:0:1 X\n"));
        s.reporter.clear();
        EXPECT_FALSE(s.load(bytes)) << bytes;
        EXPECT_EQ(s.sequence.count(), 0);
        ASSERT_EQ(s.reporter.ids(), std::vector{id}) << bytes;
        EXPECT_EQ(s.reporter.reports()[0].detail, s.dir.file("sequence.txt") + where);
    }

    test::SequenceSetup s;
};

TEST_F(SequenceLoading, EveryLineEndStyleLoadsTheSameEvents) {
    for (const std::string& end : {"\r\n"s, "\n"s, "\r"s, "\n\r\n\n"s, "\0"s}) {
        for (const std::string& last : {end, ""s}) { // with and without a last line end
            ASSERT_TRUE(s.load("0:0:1 X" + end + "0:0:2.5 Y" + end + "1:0 DOC" + last));
            EXPECT_EQ(s.events(), (Events{{1000, "X"}, {2500, "Y"}, {60000, "DOC"}}));
        }
    }
    EXPECT_EQ(s.statuses(), (Statuses{P, P, P}));
    EXPECT_TRUE(s.load("\r\n\n\r\r\n")); // line ends only: no events, no message
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_TRUE(s.reporter.reports().empty());
}

TEST_F(SequenceLoading, EmptyFileOrNoPathLeavesNoEvents) {
    expectRefused("", MessageId::SequenceReadFailed, ": file is empty");
    EXPECT_EQ(s.reporter.reports()[0].text, loadMessage(MessageId::SequenceReadFailed));
    ASSERT_TRUE(s.load("0:0:1 X\n"));
    s.reporter.clear();
    EXPECT_FALSE(s.sequence.load("")); // no path, no message
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_TRUE(s.reporter.reports().empty());
}

TEST_F(SequenceLoading, LinesAreSortedAndEqualTimesKeepFileOrder) {
    // Enough equal time codes that an unstable sort would be free to reorder them.
    std::string file;
    Events expected;
    for (int i = 0; i < 60; ++i)
        file += "0:0:" + std::to_string(i % 3) + (i % 2 ? " X\n" : " Y\n");
    for (int second = 0; second < 3; ++second)
        for (int i = second; i < 60; i += 3)
            expected.emplace_back(second * 1000, i % 2 ? "X" : "Y");
    ASSERT_TRUE(s.load(file));
    EXPECT_EQ(s.events(), expected);
}

TEST_F(SequenceLoading, FirstBadLineEmptiesTheSequenceWithOneMessage) {
    expectRefused("0:0:1 X\n0:0:2 Y\n   \n0:0:3 X\n", MessageId::SequenceParseFailed, ":3");
    expectRefused("0:0:1 X\r\n\r\n0:0:2 FOO\r\n0:0:3 Y Z\r\n", MessageId::CommandNotFound, ":3");
    EXPECT_EQ(s.reporter.reports()[0].text, loadMessage(MessageId::CommandNotFound) + "\r\nFOO");
    expectRefused("0:0:1 x\n", MessageId::CommandNotFound, ":1"); // names are compared exactly
    expectRefused("0:0:1 X\n0:0:2 SEND\n", MessageId::BadPortId, ":2");
    EXPECT_EQ(s.reporter.reports()[0].text, loadMessage(MessageId::BadPortId));
}

TEST_F(SequenceLoading, PortIdsBelowTheCountOrReservedAreAccepted) {
    ASSERT_TRUE(s.load("0:0:1 X\n0:0:2 DOC\n")); // no port needed
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), "Exec");
    EXPECT_EQ(s.sequence.eventAt(1)->portText(), "Open");
    test::Pty pty;
    ASSERT_TRUE(s.configure(test::onePort(pty.slavePath()),
                            "P0: 0: 41\nP1: 1: 41\nBIG: 4294967295: 41\nX: 1023: 41\n"));
    ASSERT_TRUE(s.load("0:0:1 P0\n"));
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), pty.slavePath());
    expectRefused("0:0:1 P0\n0:0:2 P1\n", MessageId::BadPortId, ":2");
    expectRefused("0:0:1 BIG\n", MessageId::BadPortId, ":1");
}

TEST_F(SequenceLoading, CommandListHasEveryCommandInTableOrderAtTimeZero) {
    EXPECT_FALSE(s.sequence.loadCommandList()); // SEND names port 0 of none
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_EQ(s.reporter.ids(), std::vector{MessageId::BadPortId});
    ASSERT_TRUE(s.load("0:0:0 X\n"));
    ASSERT_TRUE(s.configure(test::NoPorts, "Notes: open: /\nCalc: exec: /bin/true\n"
                                           "PowerOn: 1023: 41\nLamp: 1024: 41\n"));
    EXPECT_EQ(s.sequence.count(), 0); // reloading the table discards the events first
    EXPECT_FALSE(s.load("0:0:1 X\n"));
    ASSERT_TRUE(s.sequence.loadCommandList()); // the table's order (by bucket), not the file's
    EXPECT_EQ(s.events(), (Events{{0, "PowerOn"}, {0, "Lamp"}, {0, "Calc"}, {0, "Notes"}}));
    EXPECT_FALSE(s.configure(test::NoPorts, "")); // Command.def of 0 bytes
    EXPECT_FALSE(s.sequence.loadCommandList());
}

// A..E send their own letter to one pty, RAW every awkward byte; BAD starts no program.
class SequenceRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(s.configure(test::onePort(pty.slavePath()),
                                "A: 0: 41\nB: 0: 42\nC: 0: 43\nD: 0: 44\nE: 0: 45\n"
                                "BAD: exec: /no/such/program\n"
                                "RAW: 0: 00 0A 0D 0D 0A FF 11 13 03 04 1A 7F 80 b10101010\n"));
    }
    void TearDown() override { EXPECT_EQ(pty.read(0, 100), "") << "more was sent"; }
    void start(std::string_view lines) {
        ASSERT_TRUE(s.load(lines));
        s.clock.resume();
    }
    // Advances the counter by `ms`, runs what is due and checks the outcome, the position and
    // the bytes that arrive at the pty (none when `bytes` is empty).
    void step(std::uint32_t ms, RunOutcome outcome, int position, const std::string& bytes = "") {
        s.ms.advance(ms);
        EXPECT_EQ(s.sequence.runDue(), outcome);
        EXPECT_EQ(s.sequence.currentIndex(), position);
        EXPECT_EQ(pty.read(bytes.size(), bytes.empty() ? 0 : 5000), bytes);
    }

    test::Pty pty;
    test::SequenceSetup s;
};

// The counter starts just below 2^32, so every step also crosses its wrap.
TEST(SequenceClock, PausesResumesAndIsSetWhilePausedAcrossTheCounterWrap) {
    test::FakeMilliseconds ms{0xFFFFFF00u};
    SequenceClock clock(ms.source());
    ms.advance(1234); // created paused at 0
    EXPECT_EQ(clock.elapsed(), 0u);
    clock.resume();
    ms.advance(1500);
    clock.resume(); // running already: nothing changes
    EXPECT_EQ(clock.readingAt(1600), ms.now + 100);
    EXPECT_EQ(clock.elapsedAt(ms.now + 100), 1600u);
    clock.pause();
    ms.advance(5000); // paused time does not count
    clock.pause();
    EXPECT_EQ(clock.elapsed(), 1500u);
    clock.resume();
    ms.advance(10);
    EXPECT_EQ(clock.elapsed(), 1510u);
    for (TimeCode at : {42000u, 0xFFFFFFF0u, 0u}) { // pauseAt, also past the reading; reset
        at ? clock.pauseAt(at) : clock.resetToZero();
        ms.advance(300); // paused
        EXPECT_EQ(clock.elapsed(), at);
        clock.resume();
        ms.advance(0x20);
        EXPECT_EQ(clock.elapsed(), at + 0x20);
    }
}

// A counter reading of exactly 0 is an ordinary reading: pausing there still pauses.
TEST(SequenceClock, PausingWhenTheCounterReadsZero) {
    test::FakeMilliseconds ms{0xFFFFFFFFu - 99};
    SequenceClock clock(ms.source());
    for (int way = 0; way < 3; ++way) { // pause, resetToZero, pauseAt
        clock.resume();
        ms.now = 0;
        way == 0 ? clock.pause() : way == 1 ? clock.resetToZero() : clock.pauseAt(900);
        ms.advance(50); // paused
        EXPECT_EQ(clock.elapsed(), way == 0 ? 100u : way == 1 ? 0u : 900u);
    }
}

TEST(MonotonicMilliseconds, CountsMillisecondsForward) {
    const std::uint32_t before = monotonicMilliseconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const std::uint32_t passed = monotonicMilliseconds() - before;
    EXPECT_GE(passed, 24u); // whole milliseconds: one may be lost to truncation
    EXPECT_LT(passed, 1u << 31);
}

TEST_F(SequenceRun, DueEventsRunTogetherAndTheLastGivesFinished) {
    start("0:0:1 A\n0:0:1 B\n0:0:2.5 C\n");
    step(999, RunOutcome::NothingDue, -1);
    step(1, RunOutcome::Executed, 1, "AB");
    EXPECT_EQ(s.statuses(), (Statuses{D, D, P}));
    step(2000, RunOutcome::Finished, 2, "C");
    step(0, RunOutcome::Finished, 2);
}

TEST_F(SequenceRun, PausedRunsNothingAndEmptyOrSkippedPastIsFinished) {
    ASSERT_TRUE(s.load("0:0:0 A\n"));
    step(10000, RunOutcome::NothingDue, -1); // paused, though overdue
    EXPECT_EQ(s.statuses(), Statuses{P});
    EXPECT_EQ(s.sequence.skipCurrent(), 0);
    EXPECT_EQ(s.sequence.skipCurrent(), 1);
    s.clock.resume();
    step(0, RunOutcome::Finished, 1);
    s.sequence.clear();
    step(0, RunOutcome::Finished, -1);
}

// Events done before a failure keep their status; the failing one stays current until skipped.
TEST_F(SequenceRun, FailingEventIsTriedAgainUntilSkippedAndRewindResetsAll) {
    start("0:0:0 A\n0:0:1 BAD\n0:0:1 B\n");
    step(1000, RunOutcome::Failed, 0, "A");
    EXPECT_EQ(s.statuses(), (Statuses{D, F, P}));
    step(0, RunOutcome::Failed, 0);
    EXPECT_EQ(s.sequence.skipCurrent(), 1);
    step(0, RunOutcome::Finished, 2, "B");
    EXPECT_EQ(s.statuses(), (Statuses{D, F, D}));
    EXPECT_TRUE(s.reporter.reports().empty()); // a failed exec shows nothing
    s.sequence.rewind();
    EXPECT_EQ(s.statuses(), (Statuses{P, P, P}));
    step(0, RunOutcome::Failed, 0, "A");
}

TEST_F(SequenceRun, AfterAStallEveryDueEventRunsInOneCallInOrder) {
    start("0:0:0 A\n0:0:3 C\n0:0:2 B\n0:0:9.999 D\n0:0:20 E\n");
    step(0, RunOutcome::Executed, 0, "A"); // time code 0 runs at once
    EXPECT_EQ(s.sequence.nextDueTime(), std::optional<TimeCode>(2000));
    step(10000, RunOutcome::Executed, 3, "BCD");
    EXPECT_EQ(s.sequence.nextDueTime(), std::optional<TimeCode>(20000));
    step(10000, RunOutcome::Finished, 4, "E");
    EXPECT_EQ(s.sequence.nextDueTime(), std::nullopt);
}

TEST_F(SequenceRun, ExecuteAtMovesPositionAndClockAndTheRunGoesOnFromThere) {
    start("0:0:1 A\n0:0:2 B\n0:0:3 C\n0:0:4 D\n0:0:5 E\n");
    s.ms.advance(500);
    for (int index : {-1, 5, -1000}) // outside the list: nothing changes
        EXPECT_FALSE(s.sequence.executeAt(index));
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_FALSE(s.clock.isPaused());
    EXPECT_EQ(s.clock.elapsed(), 500u);
    EXPECT_TRUE(s.sequence.executeAt(2));
    EXPECT_EQ(s.sequence.currentIndex(), 2);
    EXPECT_TRUE(s.clock.isPaused());
    EXPECT_EQ(s.clock.elapsed(), 3000u);
    EXPECT_EQ(s.statuses(), (Statuses{P, P, D, P, P}));
    EXPECT_EQ(pty.read(1, 5000), "C");
    s.clock.resume();
    step(999, RunOutcome::NothingDue, 2);
    step(1, RunOutcome::Executed, 3, "D");
    step(1000, RunOutcome::Finished, 4, "E");
}

TEST_F(SequenceRun, SendsArriveByteForByteAndAFailedOneShowsItsMessage) {
    ASSERT_TRUE(s.load("0:0:0 RAW\n"));
    EXPECT_TRUE(s.sequence.executeAt(0));
    EXPECT_EQ(pty.read(14, 5000),
              std::string("\x00\x0a\x0d\x0d\x0a\xff\x11\x13\x03\x04\x1a\x7f\x80\xaa", 14));
    pty.closeMaster();
    EXPECT_FALSE(s.sequence.executeAt(0));
    EXPECT_EQ(s.statuses(), Statuses{F}); // overwrites Done
    EXPECT_EQ(s.reporter.ids(), std::vector{MessageId::PortWriteFailed});
    s.ports.closeAll(); // a port the set no longer has
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), "");
    s.sequence.rewind();
    s.clock.resume();
    EXPECT_EQ(s.sequence.runDue(), RunOutcome::Failed);
    EXPECT_EQ(s.reporter.ids().back(), MessageId::BadPortId);
}

} // namespace
} // namespace cadentor
