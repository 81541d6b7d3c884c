#include "sequence/SequenceLine.h"

#include "sequence/TimeCode.h"

#include <gtest/gtest.h>
#include <optional>

namespace cadentor {
namespace {

struct LineCase {
    std::string line;
    std::optional<TimeCode> timeCode = std::nullopt; // none: the line is refused
    std::string name = "X";
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(c.line);
}

class SequenceLineGrammar : public ::testing::TestWithParam<LineCase> {};

TEST_P(SequenceLineGrammar, ParsesExactlyTheLanguage) {
    const LineCase& c = GetParam();
    TimeCode timeCode = 12345;
    std::string name = "untouched";
    ASSERT_EQ(parseSequenceLine(c.line, timeCode, name), c.timeCode.has_value());
    EXPECT_EQ(timeCode, c.timeCode.value_or(12345));
    EXPECT_EQ(name, c.timeCode ? c.name : "untouched");
}

const LineCase cases[] = {
    {"0:0:1.5 LAMP_ON", 1500, "LAMP_ON"},
    {"1:02:03 START", 3723000, "START"},
    {"2:30 STOP", 150000, "STOP"},
    {"0:0:.25 X", 250},
    {"0:0:5. X", 5000},
    {"0:0:1e2 X", 100000},
    {"0:90:0 X", 5400000},
    {"0:0:1.001 X", 1000},
    {"0:0:1.243 X", 1242},
    {"0:0:10\tPLAY", 10000, "PLAY"},
    {"0:0:1 A:B", 1000, "A:B"},
    {"1193:2:47.295 X", 4294967295u},
    {"1193:2:47.296 X", 0},
    {"0:0:1E+2 X", 100000},
    {"0:0:1.e2 X", 100000},
    {"0:0:2.5E-3 X", 2},
    {"00:000:0001.5000 X", 1500},
    {"1:2.5 X", 62500},
    // The low 32 bits of the truncated value, also beyond 2^63 and 2^64 ms; none past a double.
    {"0:0:4294967296 X", 0},
    {"4294967295:0:0 X", 4291367296u},
    {"0:0:1e16 X", 2313682944u},
    {"0:0:1.5e19 X", 190840832u},
    {"0:0:1e400 X", 0},
    {"0:0:1\t \tX", 1000},
    {"0:0:1 \x83\x7d\xff", 1000, "\x83\x7d\xff"},
    {" 0:0:1 X"},
    {"0:0:1 X "},
    {"0:0:1 X Y"},
    {"0:0:1X"},
    {"0:0:-1 X"},
    {"1:2:3:4 X"},
    {"0:0:1"},
    {"X 0:0:1"},
    {"0:0:1e X"},
    {". X"},
    {"\xef\xbb\xbf\x30:0:1 X"}, // a byte-order mark before "0:0:1 X"
    {"0:0:e2 X"},
    {"+0:0:1 X"},
    {"0:0:inf X"},
    {"4294967296:0:0 X"},
    {"0:4294967296:0 X"},
    {"4294967296:0 X"},
    {"0::1 X"},
    {"0:0:1\xa0X"},
};
INSTANTIATE_TEST_SUITE_P(Lines, SequenceLineGrammar, ::testing::ValuesIn(cases));

TEST(TimeCodeFormat, ShowsHoursMinutesAndMilliseconds) {
    const std::pair<TimeCode, const char*> cases[] = {
        {0, "0:0:0.000"},       {59999, "0:0:59.999"},          {60000, "0:1:0.000"},
        {3725500, "1:2:5.500"}, {4294967295u, "1193:2:47.295"},
    };
    for (const auto& [timeCode, text] : cases)
        EXPECT_EQ(formatTimeCode(timeCode), text);
}

} // namespace
} // namespace cadentor
