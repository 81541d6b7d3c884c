#include "commands/CommandDefinition.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

struct Accepted {
    std::string line;
    std::string name;
    PortId portId;
    ByteStream bytes;
};

ByteStream text(std::string_view s) {
    return ByteStream(s.begin(), s.end());
}

void PrintTo(const Accepted& c, std::ostream* os) {
    *os << '"' << c.line << '"';
}

class CommandGrammarAccepts : public testing::TestWithParam<Accepted> {};
class CommandGrammarRefuses : public testing::TestWithParam<std::string> {};

TEST_P(CommandGrammarAccepts, WholeLine) {
    const Accepted& c = GetParam();
    CommandDefinition definition;
    ASSERT_TRUE(parseCommandDefinition(c.line, definition));
    EXPECT_EQ(definition.name, c.name);
    EXPECT_EQ(definition.portId, c.portId);
    EXPECT_EQ(definition.bytes, c.bytes);
}

TEST_P(CommandGrammarRefuses, WholeLine) {
    CommandDefinition definition;
    EXPECT_FALSE(parseCommandDefinition(GetParam(), definition));
}

const std::vector<Accepted> accepted{
    {"PowerOn: 0: 02 50 4F 4E 03", "PowerOn", 0, {0x02, 0x50, 0x4F, 0x4E, 0x03}},
    {"Lamp:1:B00001111 0d", "Lamp", 1, {0x0F, 0x0D}},
    {"Mute : 2 : b1  B10000000", "Mute", 2, {0xB1, 0x80}},
    {"Notes: open: C:\\data\\readme.txt", "Notes", OpenPortId, text("C:\\data\\readme.txt")},
    {"Calc: EXEC : calc.exe /x", "Calc", ExecPortId, text("calc.exe /x")},
    {"Spare: 1023: 41", "Spare", ExecPortId, {0x41}},
    {"A:0:41", "A", 0, {0x41}},
    {"A: 0: 41 ", "A", 0, {0x41}},
    {"A: 0: 41  42 \t ", "A", 0, {0x41, 0x42}},
    {"A\t:\t7\t:\t41\t42\t", "A", 7, {0x41, 0x42}},
    {"A: 0: 0f ff", "A", 0, {0x0F, 0xFF}},
    {"A: 0: 00 00", "A", 0, {0x00, 0x00}},
    {"A: 0: B11111111", "A", 0, {0xFF}},
    {"A: 0: bb B1 b10101010 b0", "A", 0, {0xBB, 0xB1, 0xAA, 0xB0}},
    {"A: 4294967295: 41", "A", 4294967295u, {0x41}},
    {"A: 00004294967295: 41", "A", 4294967295u, {0x41}},
    {"A: 1024: 41", "A", OpenPortId, {0x41}},
    {"open: 5: 41", "open", 5, {0x41}},
    {"#A: 0: 41", "#A", 0, {0x41}},
    {"\x82\xa0\xc8\xff: 3: 7e", "\x82\xa0\xc8\xff", 3, {0x7E}},
    {"A\v: 0: 41", "A\v", 0, {0x41}},
    {"A: exec: notepad.exe  ", "A", ExecPortId, text("notepad.exe  ")},
    {"A: Exec: x", "A", ExecPortId, text("x")},
    {"A:OPEN\t:\t\xff: \xfe", "A", OpenPortId, text("\xff: \xfe")},
    {"exec: exec: :", "exec", ExecPortId, text(":")}};
INSTANTIATE_TEST_SUITE_P(Lines, CommandGrammarAccepts, testing::ValuesIn(accepted));

INSTANTIATE_TEST_SUITE_P(Lines, CommandGrammarRefuses,
                         testing::Values("", " A: 0: 41", "   ", "\t", ": 0: 41", "A B: 0: 41",
                                         "A 0: 41", "A:: 0: 41", "# A: 0: 41", "; A: 0: 41",
                                         "A: x: 41", "A:", "A: ", "A: 0:", "A: 0:  \t ", "A: 0 41",
                                         "A: 0: 41 x", "A: 0: 41,42", "A: 0: 4142", "A: 0: 4",
                                         "A: 0: fff", "A: 0: 4g", "A: 0: B111111110", "A: 0: b0100",
                                         "A: 0: b0000000", "A: 0: B0000000 1", "A: 0: 41\v",
                                         "A: 4294967296: 41", "A: 99999999999999999999: 41",
                                         "A: -1: 41", "A: +1: 41", "A: 0x1: 41", "A: execute: x",
                                         "A: opener: x", "A: exec x", "A: exec:", "A: open: \t ",
                                         "A: run: x"));

} // namespace
} // namespace cadentor
