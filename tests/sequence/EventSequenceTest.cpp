#include "SequenceTestSupport.h"
#include "messages/Messages.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

using Events = std::vector<std::pair<TimeCode, std::string>>;
using namespace std::string_literals;

// Exec and open commands only, so no port is needed.
class SequenceLoading : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(s.configure(test::NoPorts, "X: exec: /bin/true\r\nY: exec: /bin/true\r\n"
                                               "DOC: open: /\r\nSEND: 0: 41\r\n"));
        ASSERT_EQ(s.ports.count(), 0u);
    }
    std::string lineDetail(const std::string& path, int line) {
        return path + ":" + std::to_string(line);
    }

    test::SequenceSetup s;
    test::RecordingReporter reporter;
};

TEST_F(SequenceLoading, EveryLineEndStyleLoadsTheSameEvents) {
    const Events expected{{1000, "X"}, {2500, "Y"}, {60000, "X"}};
    for (const char* end : {"\r\n", "\n", "\r", "\n\r\n\n"}) {
        const std::string e = end;
        ASSERT_TRUE(s.load("0:0:1 X" + e + "0:0:2.5 Y" + e + "1:0 X" + e)) << e.size();
        EXPECT_EQ(s.events(), expected);
        ASSERT_TRUE(s.load("0:0:1 X" + e + "0:0:2.5 Y" + e + "1:0 X")); // no last line end
        EXPECT_EQ(s.events(), expected);
    }
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(SequenceLoading, LoadedEventsArePendingAtPositionMinusOne) {
    ASSERT_TRUE(s.load("0:0:0 X"));
    EXPECT_EQ(s.events(), (Events{{0, "X"}}));
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_EQ(s.sequence.eventAt(0)->status(), EventStatus::Pending);
    EXPECT_EQ(s.sequence.eventAt(-1), nullptr);
    EXPECT_EQ(s.sequence.eventAt(1), nullptr);
}

TEST_F(SequenceLoading, FileOfLineEndsOnlyIsAnEmptySequence) {
    ASSERT_TRUE(s.load("0:0:1 X\n"));
    EXPECT_TRUE(s.load("\r\n\n\r\r\n"));
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(SequenceLoading, EmptyOrMissingFileIsAReadFailure) {
    ASSERT_TRUE(s.load("0:0:1 X\n"));
    EXPECT_FALSE(s.load(""));
    EXPECT_EQ(s.sequence.count(), 0);
    ASSERT_EQ(reporter.ids(), std::vector{MessageId::SequenceReadFailed});
    EXPECT_EQ(reporter.reports()[0].text, loadMessage(MessageId::SequenceReadFailed));
    EXPECT_EQ(reporter.reports()[0].detail, s.dir.file("sequence.txt") + ": file is empty");

    reporter.clear();
    EXPECT_FALSE(s.sequence.load(s.dir.file("missing.txt")));
    ASSERT_EQ(reporter.ids(), std::vector{MessageId::SequenceReadFailed});
    EXPECT_EQ(reporter.reports()[0].detail,
              s.dir.file("missing.txt") + ": No such file or directory");

    reporter.clear();
    EXPECT_FALSE(s.sequence.load(s.dir.path()));
    EXPECT_EQ(reporter.ids(), std::vector{MessageId::SequenceReadFailed});
}

TEST_F(SequenceLoading, NoPathFailsWithoutAMessageAndStillClears) {
    ASSERT_TRUE(s.load("0:0:1 X\n"));
    EXPECT_FALSE(s.sequence.load(""));
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(SequenceLoading, LinesAreSortedAndEqualTimesKeepFileOrder) {
    // Enough equal time codes that an unstable sort would be free to reorder them.
    std::string file;
    Events expected;
    for (int i = 0; i < 60; ++i) {
        const int second = (i * 7) % 3;
        const char* name = i % 2 ? "X" : "Y";
        file += "0:0:" + std::to_string(second) + " " + name + "\n";
    }
    for (int second = 0; second < 3; ++second)
        for (int i = 0; i < 60; ++i)
            if ((i * 7) % 3 == second)
                expected.emplace_back(second * 1000, i % 2 ? "X" : "Y");
    ASSERT_TRUE(s.load(file));
    EXPECT_EQ(s.events(), expected);
}

TEST_F(SequenceLoading, BadLineDiscardsTheGoodLinesBeforeIt) {
    const std::string path = s.dir.write("blank.txt", "0:0:1 X\n0:0:2 Y\n   \n0:0:3 X\n");
    EXPECT_FALSE(s.sequence.load(path));
    EXPECT_EQ(s.sequence.count(), 0);
    ASSERT_EQ(reporter.ids(), std::vector{MessageId::SequenceParseFailed});
    EXPECT_EQ(reporter.reports()[0].text, loadMessage(MessageId::SequenceParseFailed));
    EXPECT_EQ(reporter.reports()[0].detail, lineDetail(path, 3));
}

TEST_F(SequenceLoading, FailedLoadEmptiesTheSequenceOfAnEarlierLoad) {
    ASSERT_TRUE(s.load("0:0:1 X\n0:0:2 Y\n"));
    EXPECT_FALSE(s.load("0:0:1 X Y\n"));
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_EQ(s.sequence.currentIndex(), -1);
}

TEST_F(SequenceLoading, UnknownCommandIsNamedOnTheSecondLine) {
    const std::string path = s.dir.write("foo.txt", "0:0:1 X\r\n\r\n0:0:2 FOO\r\n0:0:3 Y\r\n");
    EXPECT_FALSE(s.sequence.load(path));
    EXPECT_EQ(s.sequence.count(), 0);
    ASSERT_EQ(reporter.ids(), std::vector{MessageId::CommandNotFound});
    EXPECT_EQ(reporter.reports()[0].text, loadMessage(MessageId::CommandNotFound) + "\r\nFOO");
    EXPECT_EQ(reporter.reports()[0].detail, lineDetail(path, 3));
}

TEST_F(SequenceLoading, NamesAreComparedExactly) {
    EXPECT_FALSE(s.load("0:0:1 x\n"));
    EXPECT_FALSE(s.load("0:0:1 X:\n"));
    EXPECT_EQ(reporter.ids(),
              (std::vector{MessageId::CommandNotFound, MessageId::CommandNotFound}));
}

TEST_F(SequenceLoading, ExecAndOpenNeedNoPortButASendDoes) {
    ASSERT_TRUE(s.load("0:0:1 X\n0:0:2 DOC\n"));
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), "Exec");
    EXPECT_EQ(s.sequence.eventAt(1)->portText(), "Open");
    EXPECT_TRUE(reporter.reports().empty());

    const std::string path = s.dir.write("send.txt", "0:0:1 X\n0:0:2 SEND\n");
    EXPECT_FALSE(s.sequence.load(path));
    EXPECT_EQ(s.sequence.count(), 0);
    ASSERT_EQ(reporter.ids(), std::vector{MessageId::BadPortId});
    EXPECT_EQ(reporter.reports()[0].text, loadMessage(MessageId::BadPortId));
    EXPECT_EQ(reporter.reports()[0].detail, lineDetail(path, 2));
}

TEST_F(SequenceLoading, PortIdEqualToThePortCountIsRefused) {
    test::Pty pty;
    ASSERT_TRUE(
        s.configure(test::onePort(pty.slavePath()),
                    "P0: 0: 41\nP1: 1: 41\nBIG: 4294967295: 41\nR: 1023: 41\nO: 1024: 41\n"));
    ASSERT_EQ(s.ports.count(), 1u);
    ASSERT_TRUE(s.load("0:0:1 P0\n0:0:1 R\n0:0:1 O\n"));
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), pty.slavePath());
    EXPECT_EQ(s.sequence.eventAt(1)->portText(), "Exec");
    EXPECT_EQ(s.sequence.eventAt(2)->portText(), "Open");
    EXPECT_FALSE(s.load("0:0:1 P0\n0:0:2 P1\n"));
    EXPECT_FALSE(s.load("0:0:1 BIG\n"));
    EXPECT_EQ(reporter.ids(), (std::vector{MessageId::BadPortId, MessageId::BadPortId}));
    EXPECT_EQ(s.sequence.count(), 0);
}

TEST_F(SequenceLoading, ZeroByteEndsALine) {
    ASSERT_TRUE(s.load("0:0:1 X\0"
                       "0:0:2 Y\n"s));
    EXPECT_EQ(s.events(), (Events{{1000, "X"}, {2000, "Y"}}));
    const std::string path = s.dir.write("nul.txt", "0:0:1 X\n0:0:1 X\0bad\n"s);
    EXPECT_FALSE(s.sequence.load(path));
    ASSERT_EQ(reporter.ids(), std::vector{MessageId::SequenceParseFailed});
    EXPECT_EQ(reporter.reports()[0].detail, lineDetail(path, 2));
}

TEST_F(SequenceLoading, EventsPointIntoTheCommandTable) {
    ASSERT_TRUE(s.load("0:0:1 X\n0:0:2 X\n"));
    PortId portId = 0;
    const std::uint8_t* bytes = nullptr;
    std::uint32_t count = 0;
    ASSERT_TRUE(s.sequence.commands().lookup("X", portId, bytes, count));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(s.sequence.eventAt(i)->bytes(), bytes);
        EXPECT_EQ(s.sequence.eventAt(i)->byteCount(), count);
        EXPECT_EQ(s.sequence.eventAt(i)->portId(), ExecPortId);
    }
}

TEST_F(SequenceLoading, ReloadingCommandsDiscardsTheEventsFirst) {
    ASSERT_TRUE(s.load("0:0:0 X\n"));
    s.clock.resume();
    ASSERT_EQ(s.sequence.runDue(), RunOutcome::Finished);
    ASSERT_TRUE(s.configure(test::NoPorts, "Z: exec: /bin/true\n"));
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_FALSE(s.load("0:0:1 X\n"));
    EXPECT_TRUE(s.load("0:0:1 Z\n"));
}

class CommandListing : public SequenceLoading {};

TEST_F(CommandListing, GivesOneEventPerCommandInTableOrderAtTimeZero) {
    ASSERT_TRUE(s.configure(test::NoPorts, "Notes: open: /\nCalc: exec: /bin/true\n"
                                           "PowerOn: 1023: 41\nLamp: 1024: 41\n"));
    ASSERT_TRUE(s.load("0:0:5 Calc\n"));
    s.clock.resume();
    s.sequence.runDue();
    ASSERT_TRUE(s.sequence.loadCommandList());
    // Table order: PowerOn, Lamp, Calc, Notes by bucket, nothing to do with the file's order.
    EXPECT_EQ(s.events(), (Events{{0, "PowerOn"}, {0, "Lamp"}, {0, "Calc"}, {0, "Notes"}}));
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(CommandListing, EmptyTableGivesNothingAndNoMessage) {
    ASSERT_TRUE(s.load("0:0:1 X\n"));
    EXPECT_FALSE(s.configure(test::NoPorts, "")); // Command.def of 0 bytes: its own message
    reporter.clear();
    EXPECT_FALSE(s.sequence.loadCommandList());
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(CommandListing, CommandForAMissingPortLeavesTheListEmpty) {
    EXPECT_FALSE(s.sequence.loadCommandList()); // SEND names port 0 of none
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_EQ(reporter.ids(), std::vector{MessageId::BadPortId});
}

// Exec and open events do what their command stands for.
class EventExecution : public ::testing::Test {
protected:
    test::SequenceSetup s;
    test::RecordingReporter reporter;
};

TEST_F(EventExecution, ExecCommandLineEndsAtItsZeroByte) {
    const std::string recorder = test::writeArgumentRecorder(s.dir, "args.sh");
    ASSERT_TRUE(s.configure(test::NoPorts, "T: 1023: " + test::hexBytes(recorder + " 'a b'") +
                                               " 00 " + test::hexBytes(" two") +
                                               "\nMISSING: exec: " + s.dir.file("nothing") + "\n"));
    ASSERT_TRUE(s.load("0:0:0 T\n0:0:0 MISSING\n"));
    EXPECT_TRUE(s.sequence.eventAt(0)->execute());
    EXPECT_EQ(s.sequence.eventAt(0)->status(), EventStatus::Done);
    EXPECT_EQ(test::waitForFile(recorder + ".out"), "a b\n");
    EXPECT_FALSE(s.sequence.eventAt(1)->execute());
    EXPECT_EQ(s.sequence.eventAt(1)->status(), EventStatus::Failed);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(EventExecution, OpenOfAMissingTargetFailsWithoutAMessage) {
    ASSERT_TRUE(s.configure(test::NoPorts, "GONE: open: " + s.dir.file("gone.txt") + "\n"));
    ASSERT_TRUE(s.sequence.loadCommandList());
    EXPECT_FALSE(s.sequence.executeAt(0));
    EXPECT_EQ(s.sequence.eventAt(0)->status(), EventStatus::Failed);
    EXPECT_TRUE(reporter.reports().empty());
}

} // namespace
} // namespace cadentor
