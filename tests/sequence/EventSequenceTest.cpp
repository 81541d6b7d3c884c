#include "SequenceTestSupport.h"
#include "messages/Messages.h"
#include "support/Pty.h"

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
    EXPECT_EQ(s.statuses(), std::vector(3, EventStatus::Pending));
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

TEST(EventExecution, ExecAndOpenEventsDoWhatTheirCommandSays) {
    test::SequenceSetup s;
    ASSERT_TRUE(s.configure(test::NoPorts, "T: exec: touch \"" + s.dir.file("a b") +
                                               "\"\nNO: exec: " + s.dir.file("none") +
                                               "\nGONE: open: " + s.dir.file("gone.txt") + "\n"));
    ASSERT_TRUE(s.load("0:0:0 T\n0:0:0 NO\n0:0:0 GONE\n"));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(s.sequence.eventAt(i)->execute(), i == 0);
    EXPECT_TRUE(test::waitForFile(s.dir.file("a b")));
    EXPECT_EQ(s.statuses(),
              (std::vector{EventStatus::Done, EventStatus::Failed, EventStatus::Failed}));
    EXPECT_TRUE(s.reporter.reports().empty());
}

} // namespace
} // namespace cadentor
