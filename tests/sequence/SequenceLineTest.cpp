#include "sequence/SequenceLine.h"

#include "sequence/TimeCode.h"

#include <gtest/gtest.h>
#include <ostream>

namespace cadentor {
namespace {

struct LineCase {
    std::string line;
    bool parses;
    TimeCode timeCode = 0;
    std::string name = {};
};

void PrintTo(const LineCase& c, std::ostream* out) {
    *out << '"' << c.line << '"';
}

class SequenceLineGrammar : public ::testing::TestWithParam<LineCase> {};

TEST_P(SequenceLineGrammar, ParsesExactlyTheLanguage) {
    const LineCase& c = GetParam();
    TimeCode timeCode = 12345;
    std::string name = "untouched";
    ASSERT_EQ(parseSequenceLine(c.line, timeCode, name), c.parses);
    if (c.parses) {
        EXPECT_EQ(timeCode, c.timeCode);
        EXPECT_EQ(name, c.name);
    }
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, SequenceLineGrammar,
                         ::testing::Values(LineCase{"0:0:1.5 LAMP_ON", true, 1500, "LAMP_ON"},
                                           LineCase{"1:02:03 START", true, 3723000, "START"},
                                           LineCase{"2:30 STOP", true, 150000, "STOP"},
                                           LineCase{"0:0:.25 X", true, 250, "X"},
                                           LineCase{"0:0:5. X", true, 5000, "X"},
                                           LineCase{"0:0:1e2 X", true, 100000, "X"},
                                           LineCase{"0:90:0 X", true, 5400000, "X"},
                                           LineCase{"0:0:1.001 X", true, 1000, "X"},
                                           LineCase{"0:0:1.243 X", true, 1242, "X"},
                                           LineCase{"0:0:10\tPLAY", true, 10000, "PLAY"},
                                           LineCase{"0:0:1 A:B", true, 1000, "A:B"},
                                           LineCase{"1193:2:47.295 X", true, 4294967295u, "X"},
                                           LineCase{"1193:2:47.296 X", true, 0, "X"}));

INSTANTIATE_TEST_SUITE_P(
    NumberForms, SequenceLineGrammar,
    ::testing::Values(
        LineCase{"0:0:1E2 X", true, 100000, "X"}, LineCase{"0:0:1e+2 X", true, 100000, "X"},
        LineCase{"0:0:1e-1 X", true, 100, "X"}, LineCase{"0:0:1.e2 X", true, 100000, "X"},
        LineCase{"0:0:.5e1 X", true, 5000, "X"}, LineCase{"0:0:2.5E-3 X", true, 2, "X"},
        LineCase{"1:2:3.5e1 X", true, 3755000, "X"},
        LineCase{"00:000:0001.5000 X", true, 1500, "X"}, LineCase{"1:2 X", true, 62000, "X"},
        LineCase{"1:2.5 X", true, 62500, "X"}, LineCase{"0:61:0 X", true, 3660000, "X"},
        LineCase{"0:0:3600 X", true, 3600000, "X"}, LineCase{"0:0:4294967296 X", true, 0, "X"},
        LineCase{"0:0:4294967.2965 X", true, 0, "X"},
        LineCase{"4294967295:0:0 X", true, 4291367296u, "X"},
        // Beyond 2^63 and beyond 2^64 ms: the low 32 bits of the whole value.
        LineCase{"0:0:1e16 X", true, 2313682944u, "X"},
        LineCase{"0:0:1.5e19 X", true, 190840832u, "X"},
        // Seconds that overflow the double have no value to wrap: 0.
        LineCase{"0:0:1e400 X", true, 0, "X"}, LineCase{"0:0:0e400 X", true, 0, "X"},
        LineCase{"0:0:1e X", false}, LineCase{"0:0:1e+ X", false}, LineCase{"0:0:1E- X", false},
        LineCase{"0:0:e2 X", false}, LineCase{"0:0:. X", false}, LineCase{"0:0:.e1 X", false},
        LineCase{"0:0:1.5.5 X", false}, LineCase{"0:0:1,5 X", false}, LineCase{"0:0:+1 X", false},
        LineCase{"+0:0:1 X", false}, LineCase{"0:0:inf X", false}, LineCase{"0:0:nan X", false},
        LineCase{"4294967296:0:0 X", false}, LineCase{"0:4294967296:0 X", false},
        LineCase{"4294967296:0 X", false}, LineCase{"0::1 X", false}, LineCase{":0:1 X", false},
        LineCase{"0:0: 1 X", false}, LineCase{"0 :0:1 X", false}, LineCase{"1.5:0 X", false}));

INSTANTIATE_TEST_SUITE_P(
    BlanksAndNames, SequenceLineGrammar,
    ::testing::Values(
        LineCase{"0:0:1  X", true, 1000, "X"}, LineCase{"0:0:1\t \tX", true, 1000, "X"},
        LineCase{"0:0:1 :::", true, 1000, ":::"}, LineCase{"0:0:1 0:0:2", true, 1000, "0:0:2"},
        LineCase{"0:0:1 \x83\x7d\x83\x43\xff", true, 1000, "\x83\x7d\x83\x43\xff"},
        LineCase{"0:0:1 X\xa0", true, 1000, "X\xa0"}, LineCase{" 0:0:1 X", false},
        LineCase{"\t0:0:1 X", false}, LineCase{"0:0:1 X ", false}, LineCase{"0:0:1 X\t", false},
        LineCase{"0:0:1 X Y", false}, LineCase{"0:0:1X", false}, LineCase{"0:0:1\xa0X", false},
        LineCase{"0:0:1\vX", false}, LineCase{"0:0:1 ", false}, LineCase{"0:0:1", false},
        LineCase{"", false}, LineCase{"   ", false}, LineCase{"X 0:0:1", false},
        LineCase{"0:0:-1 X", false}, LineCase{"1:2:3:4 X", false}, LineCase{". X", false},
        LineCase{"\xef\xbb\xbf"
                 "0:0:1 X",
                 false}));

TEST(SequenceLineGrammar, ShortFormAfterAFailedFullFormCountsNoHours) {
    // The full form matches "5:30" before failing at the missing second colon.
    TimeCode timeCode = 0;
    std::string name;
    ASSERT_TRUE(parseSequenceLine("5:30 X", timeCode, name));
    EXPECT_EQ(timeCode, 330000u);
}

TEST(SequenceLineGrammar, FailureLeavesTheOutputsAlone) {
    TimeCode timeCode = 7;
    std::string name = "keep";
    EXPECT_FALSE(parseSequenceLine("0:0:1 X Y", timeCode, name));
    EXPECT_EQ(timeCode, 7u);
    EXPECT_EQ(name, "keep");
}

struct FormatCase {
    TimeCode timeCode;
    const char* text;
};

class TimeCodeFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(TimeCodeFormat, ShowsHoursMinutesAndMilliseconds) {
    EXPECT_EQ(formatTimeCode(GetParam().timeCode), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Examples, TimeCodeFormat,
                         ::testing::Values(FormatCase{0, "0:0:0.000"},
                                           FormatCase{59999, "0:0:59.999"},
                                           FormatCase{60000, "0:1:0.000"},
                                           FormatCase{3725500, "1:2:5.500"},
                                           FormatCase{3599999, "0:59:59.999"},
                                           FormatCase{4294967295u, "1193:2:47.295"}));

TEST(TimeCodeFormat, ThreeDecimalsAreAlwaysTheMilliseconds) {
    for (TimeCode ms = 0; ms < 60000; ms += 7) {
        const std::string text = formatTimeCode(123 * 3600000u + ms);
        char expected[32];
        std::snprintf(expected, sizeof expected, "123:0:%u.%03u", ms / 1000, ms % 1000);
        ASSERT_EQ(text, expected);
    }
}

} // namespace
} // namespace cadentor
