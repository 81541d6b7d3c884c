#include "commands/CommandTable.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

namespace cadentor {
namespace {

using namespace std::string_view_literals;

class CommandLoad : public testing::Test {
protected:
    std::string path() const { return dir.file("Command.def"); }
    void write(std::string_view bytes) const { dir.write("Command.def", bytes); }

    // The port and bytes of `name`, or nothing.
    std::optional<std::pair<PortId, ByteStream>> find(std::string_view name) const {
        PortId port = 0;
        const std::uint8_t* bytes = nullptr;
        std::uint32_t count = 0;
        if (!table.lookup(name, port, bytes, count))
            return std::nullopt;
        return std::make_pair(port, ByteStream(bytes, bytes + count));
    }

    void expectOneMessage(MessageId id, const std::string& detail) const {
        ASSERT_EQ(reporter.ids(), std::vector<MessageId>{id});
        EXPECT_EQ(reporter.reports()[0].text, loadMessage(id));
        EXPECT_EQ(reporter.reports()[0].detail, detail);
    }

    test::TempDir dir;
    test::ScopedProgramDirectory programDirectory{dir.path()};
    test::RecordingReporter reporter;
    CommandTable table;
};

TEST_F(CommandLoad, MissingFileShowsReadFailure) {
    EXPECT_FALSE(table.load());
    expectOneMessage(MessageId::CommandReadFailed, path() + ": No such file or directory");
    EXPECT_TRUE(table.isEmpty());
}

TEST_F(CommandLoad, EmptyFileShowsReadFailure) {
    write("");
    EXPECT_FALSE(table.load());
    expectOneMessage(MessageId::CommandReadFailed, path() + ": file is empty");
    EXPECT_TRUE(table.isEmpty());
}

TEST_F(CommandLoad, OnlyLineEndsLoadNothingWithoutMessage) {
    write("\r\n\n\r\0\r\n"sv);
    EXPECT_TRUE(table.load());
    EXPECT_TRUE(reporter.ids().empty());
    EXPECT_TRUE(table.isEmpty());
}

TEST_F(CommandLoad, EveryLineEndStyleAndZeroByteEndALine) {
    write("A: 0: 41\r\nB: 1: 42\nC: 2: 43\rD: 3: 44\0E: exec: run  "sv);
    EXPECT_TRUE(table.load());
    EXPECT_TRUE(reporter.ids().empty());
    EXPECT_EQ(table.size(), 5u);
    EXPECT_EQ(find("C"), std::make_pair(PortId{2}, ByteStream{0x43}));
    EXPECT_EQ(find("D"), std::make_pair(PortId{3}, ByteStream{0x44}));
    EXPECT_EQ(find("E"), std::make_pair(ExecPortId, ByteStream{'r', 'u', 'n', ' ', ' '}));
}

TEST_F(CommandLoad, FirstDefinitionOfANameWins) {
    write("A: 0: 41\nA: 1: 42\na: 0: 43\n");
    EXPECT_TRUE(table.load());
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(find("A"), std::make_pair(PortId{0}, ByteStream{0x41}));
    EXPECT_EQ(find("a"), std::make_pair(PortId{0}, ByteStream{0x43}));
}

TEST_F(CommandLoad, ParseFailureKeepsEarlierLinesAndNamesTheEditorLine) {
    struct Case {
        std::string_view file;
        std::string line;
    };
    for (const Case& c : {Case{"A: 0: 41\nB: 1: 42\nC: 2: 4\nD: 3: 44\n"sv, ":3"},
                          Case{"A: 0: 41\r\n\r\nB: 1: 42\r\nC: 2: x\r\n"sv, ":4"},
                          Case{"A: 0: 41\0B: 1: 42\0C\nD: 3: 44"sv, ":1"},
                          Case{"A: 0: 41\rB: 1: 42\r\r C: 2: 43"sv, ":4"}}) {
        SCOPED_TRACE(c.line);
        reporter.clear();
        write(c.file);
        EXPECT_FALSE(table.load());
        expectOneMessage(MessageId::CommandParseFailed, path() + c.line);
        EXPECT_EQ(table.size(), 2u);
        EXPECT_TRUE(find("A") && find("B"));
        EXPECT_FALSE(find("D"));
    }
}

TEST_F(CommandLoad, ReloadKeepsNothingOfTheOldFile) {
    write("A: 0: 41\nB: 0: 42\n");
    ASSERT_TRUE(table.load());
    write("B: 5: 55\nC: 0: 43\n");
    EXPECT_TRUE(table.load());
    EXPECT_FALSE(find("A"));
    EXPECT_EQ(find("B"), std::make_pair(PortId{5}, ByteStream{0x55}));
    EXPECT_EQ(table.size(), 2u);

    write("A: 0: 41\nbad\n");
    EXPECT_FALSE(table.load());
    EXPECT_EQ(table.size(), 1u);
    EXPECT_FALSE(find("B") || find("C"));

    write("bad\n");
    EXPECT_FALSE(table.load());
    EXPECT_TRUE(table.isEmpty());

    write("A: 0: 41\n");
    ASSERT_TRUE(table.load());
    ASSERT_EQ(::unlink(path().c_str()), 0);
    EXPECT_FALSE(table.load());
    EXPECT_TRUE(table.isEmpty());
    EXPECT_EQ(reporter.ids(),
              (std::vector<MessageId>{MessageId::CommandParseFailed, MessageId::CommandParseFailed,
                                      MessageId::CommandReadFailed}));
}

} // namespace
} // namespace cadentor
