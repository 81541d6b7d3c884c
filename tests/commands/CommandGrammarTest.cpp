#include "commands/CommandDefinition.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

TEST(CommandGrammar, AcceptsWholeLinesOnlyAndGivesNamePortAndBytes) {
    const struct {
        const char *line, *name;
        PortId portId;
        std::string bytes;
    } accepted[] = {
        {"PowerOn: 0: 02 50 4F 4E 03", "PowerOn", 0, "\x02PON\x03"},
        {"Mute : 2 : b1  B10000000", "Mute", 2, "\xb1\x80"},
        {"A: 0: bb B1 b10101010 b0", "A", 0, "\xbb\xb1\xaa\xb0"},
        {"A\t:\t7\t:\t41\t42\t", "A", 7, "AB"},
        {"A: 4294967295: 41", "A", 4294967295u, "A"},
        {"Spare: 1023: 00", "Spare", ExecPortId, std::string(1, '\0')},
        {"Notes: open: C:\\data\\readme.txt", "Notes", OpenPortId, "C:\\data\\readme.txt"},
        {"Calc: EXEC : calc.exe /x  ", "Calc", ExecPortId, "calc.exe /x  "},
        {"A:OPEN\t:\t\xff: \xfe", "A", OpenPortId, "\xff: \xfe"},
        {"#\x82\xa0\xc8\v: 3: 7e", "#\x82\xa0\xc8\v", 3, "~"}};
    for (const auto& c : accepted) {
        CommandDefinition definition;
        ASSERT_TRUE(parseCommandDefinition(c.line, definition)) << c.line;
        EXPECT_EQ(definition.name, c.name);
        EXPECT_EQ(definition.portId, c.portId) << c.line;
        EXPECT_EQ(definition.bytes, ByteStream(c.bytes.begin(), c.bytes.end())) << c.line;
    }
    for (const char* line : {"", " A: 0: 41", ": 0: 41", "A B: 0: 41", "A: x: 41", "A: 0:",
                             "A: 0 41", "A: 0: 41 x", "A: 0: 4142", "A: 0: 41,42", "A: 0: 4",
                             "A: 0: fff", "A: 0: b0100", "A: 0: B111111110", "A: 0: 41\v",
                             "A: 4294967296: 41", "A: -1: 41", "A: execute: x", "A: exec:",
                             "A: open: \t "}) {
        CommandDefinition definition;
        EXPECT_FALSE(parseCommandDefinition(line, definition)) << line;
    }
}

} // namespace
} // namespace cadentor
