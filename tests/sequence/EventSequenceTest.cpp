#include "SequenceTestSupport.h"
#include "messages/Messages.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

using Events = std::vector<std::pair<TimeCode, std::string>>;
using namespace std::string_literals;

// Exec and open commands, and SEND for port 0 of no port at all.
class SequenceLoading : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(s.configure(test::NoPorts, "X: exec: /bin/true\r\nY: exec: /bin/true\r\n"
                                               "DOC: open: /\r\nSEND: 0: 41\r\n"));
    }
    // After a good load, loads `bytes` and expects failure with exactly message `id` at
    // editor line `line`.
    void expectRefused(const std::string& bytes, MessageId id, int line,
                       const std::string& good = "0:0:1 X\n") {
        ASSERT_TRUE(s.load(good));
        reporter.clear();
        EXPECT_FALSE(s.load(bytes)) << bytes;
        EXPECT_EQ(s.sequence.count(), 0);
        ASSERT_EQ(reporter.ids(), std::vector{id}) << bytes;
        EXPECT_EQ(reporter.reports()[0].detail, s.dir.file("sequence.txt:") + std::to_string(line));
    }

    test::SequenceSetup s;
    test::RecordingReporter reporter;
};

TEST_F(SequenceLoading, EveryLineEndStyleLoadsTheSameEvents) {
    const Events expected{{1000, "X"}, {2500, "Y"}, {60000, "X"}};
    for (const std::string& end : {"\r\n"s, "\n"s, "\r"s, "\n\r\n\n"s, "\0"s}) {
        ASSERT_TRUE(s.load("0:0:1 X" + end + "0:0:2.5 Y" + end + "1:0 X" + end));
        EXPECT_EQ(s.events(), expected);
        ASSERT_TRUE(s.load("0:0:1 X" + end + "0:0:2.5 Y" + end + "1:0 X")); // no last line end
        EXPECT_EQ(s.events(), expected);
    }
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_EQ(s.statuses(), std::vector(3, EventStatus::Pending));
    EXPECT_TRUE(s.load("\r\n\n\r\r\n")); // line ends only: no events, no message
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(SequenceLoading, EmptyMissingOrNoFileLeavesNoEvents) {
    ASSERT_TRUE(s.load("0:0:1 X\n"));
    EXPECT_FALSE(s.sequence.load(""));
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_TRUE(reporter.reports().empty()); // no path, no message
    const std::pair<std::string, std::string> unreadable[] = {
        {s.dir.write("empty.txt", ""), ": file is empty"},
        {s.dir.file("missing.txt"), ": No such file or directory"},
        {s.dir.path(), ": Is a directory"}};
    for (const auto& [path, reason] : unreadable) {
        ASSERT_TRUE(s.load("0:0:1 X\n"));
        reporter.clear();
        EXPECT_FALSE(s.sequence.load(path));
        EXPECT_EQ(s.sequence.count(), 0);
        ASSERT_EQ(reporter.ids(), std::vector{MessageId::SequenceReadFailed});
        EXPECT_EQ(reporter.reports()[0].text, loadMessage(MessageId::SequenceReadFailed));
        EXPECT_EQ(reporter.reports()[0].detail, path + reason);
    }
}

TEST_F(SequenceLoading, LinesAreSortedAndEqualTimesKeepFileOrder) {
    // Enough equal time codes that an unstable sort would be free to reorder them.
    std::string file;
    Events expected;
    for (int i = 0; i < 60; ++i)
        file += "0:0:" + std::to_string(i * 7 % 3) + (i % 2 ? " X\n" : " Y\n");
    for (int second = 0; second < 3; ++second)
        for (int i = 0; i < 60; ++i)
            if (i * 7 % 3 == second)
                expected.emplace_back(second * 1000, i % 2 ? "X" : "Y");
    ASSERT_TRUE(s.load(file));
    EXPECT_EQ(s.events(), expected);
}

TEST_F(SequenceLoading, FirstBadLineEmptiesTheSequenceWithOneMessage) {
    expectRefused("0:0:1 X\n0:0:2 Y\n   \n0:0:3 X\n", MessageId::SequenceParseFailed, 3);
    expectRefused("0:0:1 X\n0:0:1 X\0bad\n0:0:1 Z\n"s, MessageId::SequenceParseFailed, 2);
    expectRefused("0:0:1 X\r\n\r\n0:0:2 FOO\r\n0:0:3 Y Z\r\n", MessageId::CommandNotFound, 3);
    EXPECT_EQ(reporter.reports()[0].text, loadMessage(MessageId::CommandNotFound) + "\r\nFOO");
    expectRefused("0:0:1 x\n", MessageId::CommandNotFound, 1); // names are compared exactly
    expectRefused("0:0:1 X\n0:0:2 SEND\n", MessageId::BadPortId, 2);
    EXPECT_EQ(reporter.reports()[0].text, loadMessage(MessageId::BadPortId));
}

TEST_F(SequenceLoading, PortIdsBelowTheCountOrReservedAreAccepted) {
    ASSERT_TRUE(s.load("0:0:1 X\n0:0:2 DOC\n")); // no port needed
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), "Exec");
    EXPECT_EQ(s.sequence.eventAt(1)->portText(), "Open");
    test::Pty pty;
    ASSERT_TRUE(
        s.configure(test::onePort(pty.slavePath()),
                    "P0: 0: 41\nP1: 1: 41\nBIG: 4294967295: 41\nR: 1023: 41\nO: 1024: 41\n"));
    ASSERT_TRUE(s.load("0:0:1 P0\n0:0:1 R\n0:0:1 O\n"));
    EXPECT_EQ(s.sequence.eventAt(0)->portText(), pty.slavePath());
    EXPECT_EQ(s.sequence.eventAt(1)->portText(), "Exec");
    EXPECT_EQ(s.sequence.eventAt(2)->portText(), "Open");
    EXPECT_TRUE(reporter.reports().empty());
    expectRefused("0:0:1 P0\n0:0:2 P1\n", MessageId::BadPortId, 2, "0:0:1 R\n");
    expectRefused("0:0:1 BIG\n", MessageId::BadPortId, 1, "0:0:1 R\n");
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

TEST_F(SequenceLoading, CommandListHasEveryCommandInTableOrderAtTimeZero) {
    EXPECT_FALSE(s.sequence.loadCommandList()); // SEND names port 0 of none
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_EQ(reporter.ids(), std::vector{MessageId::BadPortId});
    reporter.clear();

    ASSERT_TRUE(s.configure(test::NoPorts, "Notes: open: /\nCalc: exec: /bin/true\n"
                                           "PowerOn: 1023: 41\nLamp: 1024: 41\n"));
    ASSERT_TRUE(s.sequence.loadCommandList());
    // The table's order (by bucket), not the file's.
    EXPECT_EQ(s.events(), (Events{{0, "PowerOn"}, {0, "Lamp"}, {0, "Calc"}, {0, "Notes"}}));
    EXPECT_EQ(s.sequence.currentIndex(), -1);
    EXPECT_TRUE(reporter.reports().empty());

    EXPECT_FALSE(s.configure(test::NoPorts, "")); // Command.def of 0 bytes: its own message
    reporter.clear();
    EXPECT_FALSE(s.sequence.loadCommandList());
    EXPECT_EQ(s.sequence.count(), 0);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST(EventExecution, ExecAndOpenEventsDoWhatTheirCommandSays) {
    test::SequenceSetup s;
    test::RecordingReporter reporter;
    const std::string recorder = test::writeScript(s.dir, "args.sh");
    std::string hex; // the command line as bytes, with a zero byte and more after it
    for (unsigned char c : recorder + " 'a b'\0 two"s) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02X", c);
        hex += byte;
    }
    ASSERT_TRUE(s.configure(test::NoPorts, "T: 1023:" + hex +
                                               "\nMISSING: exec: " + s.dir.file("nothing") +
                                               "\nGONE: open: " + s.dir.file("gone.txt") + "\n"));
    ASSERT_TRUE(s.load("0:0:0 T\n0:0:0 MISSING\n0:0:0 GONE\n"));
    EXPECT_TRUE(s.sequence.eventAt(0)->execute());
    EXPECT_EQ(test::waitForFile(recorder + ".out"), "a b\n");
    EXPECT_FALSE(s.sequence.eventAt(1)->execute());
    EXPECT_FALSE(s.sequence.eventAt(2)->execute());
    EXPECT_EQ(s.statuses(),
              (std::vector{EventStatus::Done, EventStatus::Failed, EventStatus::Failed}));
    EXPECT_TRUE(reporter.reports().empty());
}

} // namespace
} // namespace cadentor
