#include "commands/CommandDefinition.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

// A line, then the name, port and bytes it defines.
struct Definition {
    std::string line, name;
    PortId portId = 0;
    std::string bytes;
};
void PrintTo(const Definition& c, std::ostream* os) {
    *os << testing::PrintToString(c.line);
}

class CommandGrammarAccepts : public testing::TestWithParam<Definition> {};

TEST_P(CommandGrammarAccepts, WholeLine) {
    const Definition& c = GetParam();
    CommandDefinition definition;
    ASSERT_TRUE(parseCommandDefinition(c.line, definition));
    EXPECT_EQ(definition.name, c.name);
    EXPECT_EQ(definition.portId, c.portId);
    EXPECT_EQ(definition.bytes, ByteStream(c.bytes.begin(), c.bytes.end()));
}

INSTANTIATE_TEST_SUITE_P(Lines, CommandGrammarAccepts,
                         testing::ValuesIn(std::vector<Definition>{
                             {"PowerOn: 0: 02 50 4F 4E 03", "PowerOn", 0, "\x02PON\x03"},
                             {"Lamp:1:B00001111 0d", "Lamp", 1, "\x0f\x0d"},
                             {"Mute : 2 : b1  B10000000", "Mute", 2, "\xb1\x80"},
                             {"A: 0: bb B1 b10101010 b0", "A", 0, "\xbb\xb1\xaa\xb0"},
                             {"A\t:\t7\t:\t41\t42\t", "A", 7, "AB"},
                             {"A: 4294967295: 41", "A", 4294967295u, "A"},
                             {"Spare: 1023: 00", "Spare", ExecPortId, std::string(1, '\0')},
                             {"Notes: open: C:\\data\\readme.txt", "Notes", OpenPortId,
                              "C:\\data\\readme.txt"},
                             {"Calc: EXEC : calc.exe /x  ", "Calc", ExecPortId, "calc.exe /x  "},
                             {"A:OPEN\t:\t\xff: \xfe", "A", OpenPortId, "\xff: \xfe"},
                             {"exec: 5: 41", "exec", 5, "A"},
                             {"#\x82\xa0\xc8\v: 3: 7e", "#\x82\xa0\xc8\v", 3, "~"}}));

class CommandGrammarRefuses : public testing::TestWithParam<const char*> {};

TEST_P(CommandGrammarRefuses, WholeLine) {
    CommandDefinition definition;
    EXPECT_FALSE(parseCommandDefinition(GetParam(), definition));
}

INSTANTIATE_TEST_SUITE_P(Lines, CommandGrammarRefuses,
                         testing::Values("", " A: 0: 41", ": 0: 41", "A B: 0: 41", "A: x: 41",
                                         "A: 0:", "A: 0 41", "A: 0: 41 x", "A: 0: 4142",
                                         "A: 0: 41,42", "A: 0: 4", "A: 0: fff", "A: 0: b0100",
                                         "A: 0: B111111110", "A: 0: 41\v", "A: 4294967296: 41",
                                         "A: -1: 41", "A: execute: x", "A: exec x",
                                         "A: exec:", "A: open: \t "));

} // namespace
} // namespace cadentor
