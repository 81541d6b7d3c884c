#include "commands/CommandDefinition.h"

#include <gtest/gtest.h>

using namespace cadentor;

using namespace std::string_literals;

TEST(CommandGrammar, AcceptsWholeLinesOnlyAndGivesNamePortAndBytes) {
    // A line, then "name port bytes" of its definition (1023: exec, 1024: open).
    for (const auto& [line, defined] :
         {std::pair{"PowerOn: 0: 02 50 4F 4E 03"s, "PowerOn 0 \x02PON\x03"s},
          {"Mute : 2 : b1  B10000000", "Mute 2 \xb1\x80"},
          {"A: 0: bb B1 b10101010 b0", "A 0 \xbb\xb1\xaa\xb0"},
          {"A\t:\t7\t:\t41\t42\t", "A 7 AB"},
          {"A: 4294967295: 41", "A 4294967295 A"},
          {"Spare: 1023: 00", "Spare 1023 \0"s},
          {"Notes: open: C:\\data\\readme.txt", "Notes 1024 C:\\data\\readme.txt"},
          {"Calc: EXEC : calc.exe /x  ", "Calc 1023 calc.exe /x  "},
          {"A:OPEN\t:\t\xff: \xfe", "A 1024 \xff: \xfe"},
          {"#\x82\xa0\xc8\v: 3: 7e", "#\x82\xa0\xc8\v 3 ~"}}) {
        CommandDefinition d;
        ASSERT_TRUE(parseCommandDefinition(line, d)) << line;
        EXPECT_EQ(d.name + " " + std::to_string(d.portId) + " " +
                      std::string(d.bytes.begin(), d.bytes.end()),
                  defined);
    }
    CommandDefinition refused;
    for (const char* line :
         {" A: 0: 41", "", ": 0: 41", "A B: 0: 41", "A: x: 41", "A: 0:", "A: 0 41",
          "A: 4294967296: 41", "A: -1: 41", "A: execute: x", "A: exec:", "A: open: \t "})
        EXPECT_FALSE(parseCommandDefinition(line, refused)) << line;
    for (const char* bytes :
         {" 41 x", " 4142", " 41,42", " 4", " fff", " b0100", " B111111110", " 41\v"})
        EXPECT_FALSE(parseCommandDefinition("A: 0:"s + bytes, refused)) << bytes;
}
