#include "sequence/SequenceLine.h"

#include "sequence/TimeCode.h"

#include <gtest/gtest.h>

using namespace cadentor;

TEST(SequenceLineGrammar, GivesTheTimeCodeInMillisecondsAndTheNameOrLeavesTheOutputs) {
    // The low 32 bits of the truncated value, also beyond 2^64 ms; none past a double.
    const std::pair<const char*, TimeCode> accepted[] = {
        {"0:0:1.5 LAMP_ON", 1500u},   {"1:02:03 START", 3723000u},
        {"2:30 STOP", 150000u},       {"0:0:.25 X", 250u},
        {"0:0:1.243 X", 1242u},       {"0:0:2.5E-3 X", 2u},
        {"0:0:1e+2 X", 100000u},      {"00:90:0001.5 X", 5401500u},
        {"1:2.5 X", 62500u},          {"1193:2:47.295 X", 4294967295u},
        {"1193:2:47.296 X", 0u},      {"0:0:1.5e19 X", 190840832u},
        {"0:0:1e400 X", 0u},          {"0:0:1\t \tA:B", 1000u},
        {"0:0:1 \x83\x7d\xff", 1000u}};
    for (const auto& [line, timeCode] : accepted) {
        TimeCode parsed = 12345;
        std::string name;
        ASSERT_TRUE(parseSequenceLine(line, parsed, name)) << line;
        EXPECT_EQ(parsed, timeCode) << line;
        EXPECT_EQ(name, std::string(line).substr(std::string(line).find_last_of(" \t") + 1));
    }
    for (const char* line : {" 0:0:1 X", "0:0:1 X ", "0:0:1 X Y", "0:0:1X", "0:0:-1 X", "1:2:3:4 X",
                             "0:0:1", "0:0:e2 X", "+0:0:1 X", "4294967296:0:0 X", "0::1 X",
                             "0:0:1\xa0X", "\xef\xbb\xbf\x30:0:1 X"}) {
        TimeCode timeCode = 12345;
        std::string name = "untouched";
        EXPECT_FALSE(parseSequenceLine(line, timeCode, name)) << line;
        EXPECT_EQ(std::to_string(timeCode) + name, "12345untouched") << line;
    }
    EXPECT_EQ(formatTimeCode(59999u) + " " + formatTimeCode(3725500u) + " " +
                  formatTimeCode(3661005u) + " " + formatTimeCode(4294967295u),
              "0:0:59.999 1:2:5.500 1:1:1.005 1193:2:47.295");
}
