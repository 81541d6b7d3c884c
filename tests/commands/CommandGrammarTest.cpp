#include "commands/CommandDefinition.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

struct GrammarCase {
    std::string line;
    bool ok;
    std::string name = {};
    PortId portId = 0;
    ByteStream bytes = {};
};

ByteStream text(std::string_view s) {
    return ByteStream(s.begin(), s.end());
}

void PrintTo(const GrammarCase& c, std::ostream* os) {
    *os << '"' << c.line << '"';
}

class CommandGrammar : public testing::TestWithParam<GrammarCase> {};

TEST_P(CommandGrammar, ParsesWholeLineOrRefuses) {
    const GrammarCase& c = GetParam();
    CommandDefinition definition;
    ASSERT_EQ(parseCommandDefinition(c.line, definition), c.ok);
    if (!c.ok)
        return;
    EXPECT_EQ(definition.name, c.name);
    EXPECT_EQ(definition.portId, c.portId);
    EXPECT_EQ(definition.bytes, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    DocumentedExamples, CommandGrammar,
    testing::Values(
        GrammarCase{
            "PowerOn: 0: 02 50 4F 4E 03", true, "PowerOn", 0, {0x02, 0x50, 0x4F, 0x4E, 0x03}},
        GrammarCase{"Lamp:1:B00001111 0d", true, "Lamp", 1, {0x0F, 0x0D}},
        GrammarCase{"Mute : 2 : b1  B10000000", true, "Mute", 2, {0xB1, 0x80}},
        GrammarCase{"Notes: open: C:\\data\\readme.txt", true, "Notes", OpenPortId,
                    text("C:\\data\\readme.txt")},
        GrammarCase{"Calc: EXEC : calc.exe /x", true, "Calc", ExecPortId, text("calc.exe /x")},
        GrammarCase{"Spare: 1023: 41", true, "Spare", ExecPortId, {0x41}}));

INSTANTIATE_TEST_SUITE_P(
    ByteCommands, CommandGrammar,
    testing::Values(GrammarCase{"A:0:41", true, "A", 0, {0x41}},
                    GrammarCase{"A: 0: 41 ", true, "A", 0, {0x41}},
                    GrammarCase{"A: 0: 41  42 \t ", true, "A", 0, {0x41, 0x42}},
                    GrammarCase{"A: 0: 41\t42", true, "A", 0, {0x41, 0x42}},
                    GrammarCase{"A\t:\t7\t:\t41 \t 42\t", true, "A", 7, {0x41, 0x42}},
                    GrammarCase{"A: 0: 0f ff", true, "A", 0, {0x0F, 0xFF}},
                    GrammarCase{"A: 0: 0F", true, "A", 0, {0x0F}},
                    GrammarCase{"A: 0: 0f", true, "A", 0, {0x0F}},
                    GrammarCase{"A: 0: 00 00", true, "A", 0, {0x00, 0x00}},
                    GrammarCase{"A: 0: B11111111", true, "A", 0, {0xFF}},
                    GrammarCase{"A: 0: b00000000", true, "A", 0, {0x00}},
                    GrammarCase{"A: 0: b0", true, "A", 0, {0xB0}},
                    GrammarCase{"A: 0: bb B1 b10101010", true, "A", 0, {0xBB, 0xB1, 0xAA}},
                    GrammarCase{"A: 4294967295: 41", true, "A", 4294967295u, {0x41}},
                    GrammarCase{"A: 00004294967295: 41", true, "A", 4294967295u, {0x41}},
                    GrammarCase{"A: 1024: 41", true, "A", OpenPortId, {0x41}},
                    GrammarCase{"open: 5: 41", true, "open", 5, {0x41}},
                    GrammarCase{"#A: 0: 41", true, "#A", 0, {0x41}},
                    GrammarCase{"\x82\xa0\xc8\xff: 3: 7e", true, "\x82\xa0\xc8\xff", 3, {0x7E}},
                    GrammarCase{"A\v: 0: 41", true, "A\v", 0, {0x41}}));

INSTANTIATE_TEST_SUITE_P(
    Actions, CommandGrammar,
    testing::Values(GrammarCase{"A: exec: notepad.exe  ", true, "A", ExecPortId,
                                text("notepad.exe  ")},
                    GrammarCase{"A: Exec: x", true, "A", ExecPortId, text("x")},
                    GrammarCase{"A: EXEC: x", true, "A", ExecPortId, text("x")},
                    GrammarCase{"A: eXeC:x", true, "A", ExecPortId, text("x")},
                    GrammarCase{"A: open: C:\\a.txt", true, "A", OpenPortId, text("C:\\a.txt")},
                    GrammarCase{"A:OPEN\t:\t\xff: \xfe", true, "A", OpenPortId, text("\xff: \xfe")},
                    GrammarCase{"A: exec: :", true, "A", ExecPortId, text(":")},
                    GrammarCase{"exec: exec: x", true, "exec", ExecPortId, text("x")},
                    GrammarCase{"open:open:open", true, "open", OpenPortId, text("open")}));

INSTANTIATE_TEST_SUITE_P(
    Refused, CommandGrammar,
    testing::Values(GrammarCase{"", false}, GrammarCase{" A: 0: 41", false},
                    GrammarCase{"   ", false}, GrammarCase{"\t", false},
                    GrammarCase{": 0: 41", false}, GrammarCase{"A B: 0: 41", false},
                    GrammarCase{"A 0: 41", false}, GrammarCase{"A:: 0: 41", false},
                    GrammarCase{"# A: 0: 41", false}, GrammarCase{"; A: 0: 41", false},
                    GrammarCase{"A: x: 41", false}, GrammarCase{"A:", false},
                    GrammarCase{"A: ", false}, GrammarCase{"A: 0:", false},
                    GrammarCase{"A: 0:  \t ", false}, GrammarCase{"A: 0 41", false},
                    GrammarCase{"A: 0: 41 x", false}, GrammarCase{"A: 0: 41,42", false},
                    GrammarCase{"A: 0: 4142", false}, GrammarCase{"A: 0: 4", false},
                    GrammarCase{"A: 0: fff", false}, GrammarCase{"A: 0: 4g", false},
                    GrammarCase{"A: 0: B111111110", false}, GrammarCase{"A: 0: b0100", false},
                    GrammarCase{"A: 0: b0000000", false}, GrammarCase{"A: 0: B0000000 1", false},
                    GrammarCase{"A: 0: 41\v", false}, GrammarCase{"A: 4294967296: 41", false},
                    GrammarCase{"A: 99999999999999999999: 41", false},
                    GrammarCase{"A: -1: 41", false}, GrammarCase{"A: +1: 41", false},
                    GrammarCase{"A: 0x1: 41", false}, GrammarCase{"A: execute: x", false},
                    GrammarCase{"A: opener: x", false}, GrammarCase{"A: exec x", false},
                    GrammarCase{"A: exec:", false}, GrammarCase{"A: open: \t ", false},
                    GrammarCase{"A: run: x", false}));

} // namespace
} // namespace cadentor
