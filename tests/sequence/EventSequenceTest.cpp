#include "sequence/EventSequence.h"

#include "ports/PortSet.h"
#include "sequence/DueInstant.h"
#include "sequence/RunPolicy.h"
#include "sequence/SequenceClock.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace cadentor;

namespace {

using namespace std::string_literals;

constexpr const char* NoPorts = "[Common]\r\nRequire=0\r\n";

// A program directory with Command.def and Config.ini, a port set over real devices (ptys) and
// a clock over a fake counter.
class SequenceTest : public ::testing::Test {
protected:
    test::TempDir dir;
    test::ScopedProgramDirectory programDirectory{dir.path()};
    test::RecordingReporter reporter;
    std::uint32_t ms = 0; // the counter under the clock: only the test moves it
    PortSet ports;
    SequenceClock clock{[this] { return ms; }};
    EventSequence sequence{ports, clock};

    // Writes both files, then loads the ports and the commands, as Initialize does.
    bool configure(const std::string& config, const std::string& commandDef) {
        dir.write("Config.ini", config);
        dir.write("Command.def", commandDef);
        ports.load();
        return sequence.clearAndReloadCommands();
    }
    bool load(std::string_view bytes) { return sequence.load(dir.write("sequence.txt", bytes)); }
    // "time name status" of every event, status P(ending), D(one), F(ailed) or M(issed).
    std::string events() const {
        std::string text;
        for (int i = 0; i < sequence.count(); ++i) {
            const SequenceEvent& e = *sequence.eventAt(i);
            text += (i ? "," : "") + std::to_string(e.timeCode()) + " " + e.name() + " " +
                    "PDFM"[static_cast<int>(e.status())];
        }
        return text;
    }
};

// Exec and open commands, and SEND and Z for port 0 of no port at all.
class SequenceLoading : public SequenceTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(configure(NoPorts, "X: exec: /bin/true\r\nY: exec: /bin/true\r\n"
                                       "DOC: open: /\r\nSEND: 0: 41\r\nZ: 0: 41\n"));
    }
    // After a good load, loads `bytes` and expects no events and exactly message `id`, whose
    // detail is the file's path and `where` (":line" for a bad line).
    void expectRefused(const std::string& bytes, MessageId id, const std::string& where) {
        ASSERT_TRUE(load("0:0:1 X\n"));
        reporter.clear();
        EXPECT_FALSE(load(bytes)) << bytes;
        EXPECT_EQ(sequence.count(), 0) << bytes;
        ASSERT_EQ(reporter.ids(), std::vector{id}) << bytes;
        EXPECT_EQ(reporter.reports()[0].detail, dir.file("sequence.txt") + where);
    }
};

// How line ends split the file is LineSplitting's; here the lines become events in time order.
TEST_F(SequenceLoading, LinesLoadAsEventsSortedStably) {
    ASSERT_TRUE(load("0:0:2.5 Y\r\n0:0:1 X\n\n0:0:1 DOC\r0:0 Y"));
    EXPECT_EQ(events(), "0 Y P,1000 X P,1000 DOC P,2500 Y P");
    std::string file, expected;    // enough equal time codes for an unstable sort to reorder them
    for (int i = 0; i < 60; ++i) { // each second has Y X Y X ... in the file and once sorted
        file += "0:0:" + std::to_string(i % 3) + (i / 3 % 2 ? " X\n" : " Y\n");
        expected += (i ? "," : "") + std::to_string(i / 20 * 1000) + (i % 2 ? " X P" : " Y P");
    }
    ASSERT_TRUE(load(file));
    EXPECT_EQ(events(), expected);
    EXPECT_TRUE(load("\r\n\n\r\r\n")) << "line ends only: no events, no message";
    EXPECT_EQ(sequence.count(), 0);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(SequenceLoading, TheFirstBadLineEmptiesTheSequenceWithOneMessage) {
    expectRefused("", MessageId::SequenceReadFailed, ": file is empty");
    expectRefused("0:0:1 X\n0:0:2 Y\n   \n0:0:3 X\n", MessageId::SequenceParseFailed, ":3");
    expectRefused("0:0:1 X\r\n\r\n0:0:2 FOO\r\n0:0:3 Y Z\r\n", MessageId::CommandNotFound, ":3");
    EXPECT_EQ(reporter.reports()[0].text, loadMessage(MessageId::CommandNotFound) + "\r\nFOO");
    expectRefused("0:0:1 X\n0:0:2 SEND\n", MessageId::BadPortId,
                  ":2: the command needs port 0, but no port is open");
    ASSERT_TRUE(load("0:0:1 X\n"));
    reporter.clear();
    EXPECT_FALSE(sequence.load("")) << "no path";
    EXPECT_EQ(sequence.count(), 0);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(SequenceLoading, CommandListHasEveryCommandInTableOrderOrNoneWhenAPortIsBad) {
    // PowerOn comes first in the table, Notes (port 0 of none) last: nothing stays listed.
    ASSERT_TRUE(configure(NoPorts, "PowerOn: exec: /bin/true\nNotes: 0: 41\n"));
    EXPECT_FALSE(sequence.loadCommandList());
    EXPECT_EQ(sequence.count(), 0);
    ASSERT_EQ(reporter.ids(), std::vector{MessageId::BadPortId});
    EXPECT_EQ(reporter.reports()[0].detail, "Notes: the command needs port 0, but no port is open");
    ASSERT_TRUE(load("0:0:0 PowerOn\n"));
    ASSERT_TRUE(configure(NoPorts, "Notes: open: /\nCalc: exec: /bin/true\n"
                                   "PowerOn: 1023: 41\nLamp: 1024: 41\n"));
    EXPECT_EQ(sequence.count(), 0);          // reloading the table discards the events first
    ASSERT_TRUE(sequence.loadCommandList()); // the table's order (by bucket), not the file's
    EXPECT_EQ(events(), "0 PowerOn P,0 Lamp P,0 Calc P,0 Notes P");
    EXPECT_FALSE(configure(NoPorts, "")); // Command.def of 0 bytes
    EXPECT_FALSE(sequence.loadCommandList());
}

// A..E send their own letter to one pty, RAW every awkward byte; BAD starts no program.
class SequenceRun : public SequenceTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(configure("[Common]\nRequire=1\n[Port0]\nDevice=" + pty.slavePath(),
                              "A: 0: 41\nB: 0: 42\nC: 0: 43\nD: 0: 44\nE: 0: 45\n"
                              "BAD: exec: /no/such/program\nPORT1: 1: 41\n"
                              "RAW: 0: 00 0A 0D 0D 0A FF 11 13 03 04 1A 7F 80 b10101010\n"));
    }
    void TearDown() override { EXPECT_EQ(pty.read(0, 100), "") << "more was sent"; }
    // Advances the counter by `passed` ms, runs what is due and checks the outcome, the position
    // and the bytes that arrive at the pty (none when `bytes` is empty).
    void step(std::uint32_t passed, RunOutcome outcome, int position,
              const std::string& bytes = "") {
        ms += passed;
        EXPECT_EQ(sequence.runDue(), outcome);
        EXPECT_EQ(sequence.currentIndex(), position);
        EXPECT_EQ(pty.read(bytes.size(), bytes.empty() ? 0 : 5000), bytes);
    }

    test::Pty pty;
};

// The counter starts just below 2^32, so every step also crosses its wrap.
TEST(SequenceClock, PausesResumesAndIsSetWhilePausedAcrossTheCounterWrap) {
    std::uint32_t ms = 0xFFFFFF00u;
    SequenceClock clock([&] { return ms; });
    for (TimeCode at : {42000u, 0xFFFFFFF0u, 0u}) { // pauseAt, also past the reading; reset
        at ? clock.pauseAt(at) : clock.resetToZero();
        ms += 300; // paused time does not count
        clock.resume();
        ms += 0x120;
        EXPECT_EQ(clock.elapsed(), at + 0x120);
    }
}

TEST_F(SequenceRun, DueEventsRunTogetherInOrderAndNothingRunsWhilePaused) {
    EXPECT_FALSE(load("0:0:0 A\n0:0:1 PORT1\n")); // a port beyond the open ones, named
    ASSERT_EQ(reporter.ids(), std::vector{MessageId::BadPortId});
    EXPECT_EQ(reporter.reports()[0].detail,
              dir.file("sequence.txt") +
                  ":2: the command needs port 1, which Config.ini does not open (Require=1)");
    ASSERT_TRUE(load("0:0:0 A\n0:0:3 C\n0:0:2 B\n0:0:2 RAW\n0:0:9.999 D\n0:0:20 E\n"));
    step(10000, RunOutcome::NothingDue, -1); // paused from the start, though A is due
    EXPECT_FALSE(nextDueInstant(sequence));
    clock.resume();
    step(0, RunOutcome::Executed, 0, "A"); // time code 0 runs at once
    step(1999, RunOutcome::NothingDue, 0);
    EXPECT_EQ(sequence.nextDueTime(), std::optional<TimeCode>(2000));
    const std::optional<DueInstant> next = nextDueInstant(sequence); // 1 ms after this one
    EXPECT_EQ(next ? next->due - (next->now - next->now % 1000000) : 0, 1000000);
    step(1, RunOutcome::Executed, 2, "B\x00\x0a\x0d\x0d\x0a\xff\x11\x13\x03\x04\x1a\x7f\x80\xaa"s);
    clock.pause();
    step(10000, RunOutcome::NothingDue, 2); // paused, though overdue
    clock.resume();
    step(8000, RunOutcome::Executed, 4, "CD"); // after a stall every due event in one call
    EXPECT_EQ(events(), "0 A D,2000 B D,2000 RAW D,3000 C D,9999 D D,20000 E P");
    step(10000, RunOutcome::Finished, 5, "E");
    EXPECT_FALSE(sequence.nextDueTime());
    EXPECT_FALSE(nextDueInstant(sequence));
    step(0, RunOutcome::Finished, 5);
    clock.pause(); // while paused even the end is nothing due
    step(0, RunOutcome::NothingDue, 5);
}

// The run policy over the same sequence; `log` has "INDEX STATUS " for every outcome it reports.
class PolicyRun : public SequenceRun {
protected:
    // Advances the counter by `passed` ms, steps, and checks what follows, the outcomes reported
    // since the last check and the bytes that arrive.
    void expectStep(std::uint32_t passed, RunNext next, const std::string& logged,
                    const std::string& bytes = "") {
        ms += passed;
        EXPECT_EQ(policy.step(), next);
        expectLogged(logged);
        EXPECT_EQ(pty.read(bytes.size(), bytes.empty() ? 0 : 5000), bytes);
    }
    void expectLogged(const std::string& logged) {
        EXPECT_EQ(log, logged);
        log.clear();
    }

    std::string log;
    RunPolicy policy{sequence, {}, [this](const SequenceEvent& event, int index) {
                         log +=
                             std::to_string(index) + "PDFM"[static_cast<int>(event.status())] + " ";
                     }};
};

TEST_F(PolicyRun, PassesFollowOnePassLengthApartAndWholePassesInThePastAreNotReplayed) {
    ASSERT_TRUE(load("0:0:0 A\n0:0:1 B\n0:0:2 C\n"));
    policy.settings().loop = true;
    policy.joinAt(0);
    expectStep(0, RunNext::Continue, "0D ", "A");
    expectStep(1000, RunNext::Continue, "1D ", "B");
    EXPECT_EQ(policy.nextWake(), std::optional<TimeCode>(2000));
    expectStep(1003, RunNext::Continue, "2D ", "C"); // 3 ms late: the next pass is 3 ms in
    EXPECT_EQ(policy.pass(), 1);
    EXPECT_EQ(clock.elapsed(), 3u);
    expectStep(0, RunNext::Continue, "0D ", "A"); // due already
    // Stopped for 7 s: the rest of this pass runs late, passes 2 and 3 are not replayed, and
    // pass 4 is joined 1.003 s in.
    expectStep(7000, RunNext::Continue, "1D 2D 0M 1M ", "BC");
    EXPECT_EQ(policy.pass(), 4);
    expectStep(0, RunNext::Continue, "");
    expectStep(997, RunNext::Continue, "2D ", "C");
    EXPECT_EQ(policy.doneCount(), 7);
}

TEST_F(PolicyRun, AJoinMissesWhatLiesBeyondItsCatchUpAndRunsTheRestAtOnce) {
    ASSERT_TRUE(load("0:0:0 A\n0:0:1 B\n0:0:2 C\n0:0:3 D\n"));
    policy.settings().catchUp = 1500;
    policy.joinAt(2600);
    expectLogged("0M 1M ");
    expectStep(0, RunNext::Continue, "2D ", "C");
    expectStep(400, RunNext::End, "3D ", "D");
    EXPECT_EQ(policy.state(), ShowState::Finished);
    policy.settings() = {false, true, 0}; // looping, the position is taken in its pass
    policy.joinAt(3000 * 5 + 1000);
    EXPECT_EQ(policy.pass(), 5);
    expectLogged("0M ");
    expectStep(0, RunNext::Continue, "1D ", "B");
    policy.settings().loop = false;
    policy.joinAt(86400000);
    expectLogged("0M 1M 2M 3M ");
    expectStep(0, RunNext::End, "");
}

TEST_F(PolicyRun, AWallClockSetForwardSkipsWhatItPassesAndSetBackHoldsUntilItIsBack) {
    ASSERT_TRUE(load("0:0:0 A\n0:0:1 B\n0:0:2 C\n0:0:5 D\n0:0:6 E\n"));
    policy.joinAt(0);
    expectStep(0, RunNext::Continue, "0D ", "A");
    ms += 500;
    EXPECT_EQ(policy.alignTo(500 + RunPolicy::alignLimit), 0); // within the limit
    EXPECT_EQ(policy.alignTo(3500), 0);                        // set forward by 3 s
    expectLogged("1M 2M ");
    EXPECT_EQ(clock.elapsed(), 3500u);
    expectStep(1500, RunNext::Continue, "3D ", "D");
    EXPECT_EQ(policy.alignTo(3000), 2000); // set back by 2 s: D does not run again
    expectStep(1500, RunNext::Continue, "");
    EXPECT_EQ(policy.alignTo(4500), 500);
    EXPECT_EQ(policy.state(), ShowState::Running);
    ms += 500;
    EXPECT_EQ(policy.alignTo(5000), 0);
    policy.pause(); // the operator's pause holds whatever the wall clock says
    EXPECT_EQ(policy.alignTo(50000), 0);
    expectStep(1000, RunNext::Continue, "");
    policy.resume();
    expectStep(1000, RunNext::End, "4D ", "E");
}

TEST_F(PolicyRun, AFailureHaltsOrIsPassedOverAndSeekFireAndRewindActAtOnce) {
    ASSERT_TRUE(load("0:0:0 A\n0:0:1 BAD\n0:0:1 B\n0:0:2 C\n"));
    policy.joinAt(0);
    expectStep(1000, RunNext::Halt, "0D 1F ", "A");
    EXPECT_EQ(policy.lastFailure()->name, "BAD");
    EXPECT_EQ(policy.lastFailure()->reason, "/no/such/program: No such file or directory");
    policy.settings().skipErrors = true;
    expectStep(0, RunNext::Continue, "1F ");
    expectStep(0, RunNext::Continue, "2D ", "B");
    policy.pause();
    policy.seek(2500);
    expectLogged("0M 1M 2M 3M ");
    EXPECT_EQ(policy.state(), ShowState::Paused);
    EXPECT_EQ(policy.fire("E"), std::optional<bool>(true));
    expectStep(0, RunNext::Continue, "-1D ", "E");
    EXPECT_EQ(policy.fire("NOPE"), std::nullopt);
    EXPECT_EQ(policy.fire("PORT1"), std::nullopt); // a port the set lacks
    EXPECT_EQ(policy.fire("BAD"), std::optional<bool>(false));
    expectLogged("-1F ");
    EXPECT_EQ(policy.failedCount(), 3);
    EXPECT_TRUE(reporter.reports().empty()); // a failed exec shows no message
    policy.rewind();
    EXPECT_FALSE(policy.lastFailure());
    EXPECT_EQ(events(), "0 A P,1000 BAD P,1000 B P,2000 C P");
    EXPECT_EQ(sequence.eventAt(1)->failureReason(), "");
    EXPECT_TRUE(clock.isPaused());
    EXPECT_EQ(clock.elapsed(), 0u);
}

} // namespace
