#include "sequence/SequenceLine.h"

#include "sequence/TimeCode.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

struct LineCase {
    std::string line;
    bool parses;
    TimeCode timeCode = 0;
    std::string name = "X";
};

class SequenceLineGrammar : public ::testing::TestWithParam<LineCase> {};

TEST_P(SequenceLineGrammar, ParsesExactlyTheLanguage) {
    const LineCase& c = GetParam();
    TimeCode timeCode = 12345;
    std::string name = "untouched";
    ASSERT_EQ(parseSequenceLine(c.line, timeCode, name), c.parses) << c.line;
    EXPECT_EQ(timeCode, c.parses ? c.timeCode : 12345) << c.line;
    EXPECT_EQ(name, c.parses ? c.name : "untouched") << c.line;
}

const LineCase good[] = {
    {"0:0:1.5 LAMP_ON", true, 1500, "LAMP_ON"},
    {"1:02:03 START", true, 3723000, "START"},
    {"2:30 STOP", true, 150000, "STOP"},
    {"0:0:.25 X", true, 250},
    {"0:0:5. X", true, 5000},
    {"0:0:1e2 X", true, 100000},
    {"0:90:0 X", true, 5400000},
    {"0:0:1.001 X", true, 1000},
    {"0:0:1.243 X", true, 1242},
    {"0:0:10\tPLAY", true, 10000, "PLAY"},
    {"0:0:1 A:B", true, 1000, "A:B"},
    {"1193:2:47.295 X", true, 4294967295u},
    {"1193:2:47.296 X", true, 0},
    // Number forms.
    {"0:0:1E2 X", true, 100000},
    {"0:0:1e+2 X", true, 100000},
    {"0:0:1e-1 X", true, 100},
    {"0:0:1.e2 X", true, 100000},
    {"0:0:.5e1 X", true, 5000},
    {"0:0:2.5E-3 X", true, 2},
    {"1:2:3.5e1 X", true, 3755000},
    {"00:000:0001.5000 X", true, 1500},
    {"1:2.5 X", true, 62500},
    {"5:30 X", true, 330000},
    {"0:61:0 X", true, 3660000},
    // Wrapping: the low 32 bits of the truncated value, also beyond 2^63 and 2^64 ms.
    {"0:0:4294967296 X", true, 0},
    {"0:0:4294967.2965 X", true, 0},
    {"4294967295:0:0 X", true, 4291367296u},
    {"0:0:1e16 X", true, 2313682944u},
    {"0:0:1.5e19 X", true, 190840832u},
    // Seconds beyond the double's range have no low bits: 0.
    {"0:0:1e400 X", true, 0},
    {"0:0:0e400 X", true, 0},
    // Blanks and names.
    {"0:0:1  X", true, 1000},
    {"0:0:1\t \tX", true, 1000},
    {"0:0:1 :::", true, 1000, ":::"},
    {"0:0:1 0:0:2", true, 1000, "0:0:2"},
    {"0:0:1 \x83\x7d\x83\x43\xff", true, 1000, "\x83\x7d\x83\x43\xff"},
    {"0:0:1 X\xa0", true, 1000, "X\xa0"}};

const LineCase bad[] = {{" 0:0:1 X", false},
                        {"\t0:0:1 X", false},
                        {"0:0:1 X ", false},
                        {"0:0:1 X\t", false},
                        {"0:0:1 X Y", false},
                        {"0:0:1X", false},
                        {"0:0:-1 X", false},
                        {"1:2:3:4 X", false},
                        {"0:0:1", false},
                        {"0:0:1 ", false},
                        {"X 0:0:1", false},
                        {"0:0:1e X", false},
                        {". X", false},
                        {"\xef\xbb\xbf"
                         "0:0:1 X",
                         false},
                        {"", false},
                        {"   ", false},
                        {"0:0:1e+ X", false},
                        {"0:0:1E- X", false},
                        {"0:0:e2 X", false},
                        {"0:0:. X", false},
                        {"0:0:.e1 X", false},
                        {"0:0:1.5.5 X", false},
                        {"0:0:1,5 X", false},
                        {"0:0:+1 X", false},
                        {"+0:0:1 X", false},
                        {"0:0:inf X", false},
                        {"4294967296:0:0 X", false},
                        {"0:4294967296:0 X", false},
                        {"4294967296:0 X", false},
                        {"0::1 X", false},
                        {":0:1 X", false},
                        {"0:0: 1 X", false},
                        {"0 :0:1 X", false},
                        {"1.5:0 X", false},
                        {"0:0:1\xa0X", false},
                        {"0:0:1\vX", false}};

INSTANTIATE_TEST_SUITE_P(Accepted, SequenceLineGrammar, ::testing::ValuesIn(good));
INSTANTIATE_TEST_SUITE_P(Refused, SequenceLineGrammar, ::testing::ValuesIn(bad));

TEST(TimeCodeFormat, ShowsHoursMinutesAndMilliseconds) {
    const std::pair<TimeCode, const char*> cases[] = {{0, "0:0:0.000"},
                                                      {59999, "0:0:59.999"},
                                                      {60000, "0:1:0.000"},
                                                      {3725500, "1:2:5.500"},
                                                      {3599999, "0:59:59.999"},
                                                      {4294967295u, "1193:2:47.295"},
                                                      {123 * 3600000u + 1, "123:0:0.001"}};
    for (const auto& [timeCode, text] : cases)
        EXPECT_EQ(formatTimeCode(timeCode), text);
}

} // namespace
} // namespace cadentor
