#include "ports/ProfileFile.h"

#include "support/TempDir.h"

#include <climits>
#include <gtest/gtest.h>

namespace cadentor {
namespace {

struct IntCase {
    const char* text;
    int value;
};

class ProfileIntReading : public ::testing::TestWithParam<IntCase> {};

TEST_P(ProfileIntReading, ReadsSignAndLeadingDigitsOnly) {
    EXPECT_EQ(parseProfileInt(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileIntReading,
                         ::testing::Values(IntCase{"12", 12}, IntCase{"-1", -1}, IntCase{"+7", 7},
                                           IntCase{"007", 7}, IntCase{"9600 bps", 9600},
                                           IntCase{"12abc34", 12}, IntCase{"abc", 0},
                                           IntCase{"-", 0}, IntCase{"- 5", 0}, IntCase{"0x10", 0},
                                           IntCase{"4294967295", -1}, IntCase{"4294967296", 0},
                                           IntCase{"-2147483648", INT_MIN},
                                           IntCase{"2147483648", INT_MIN}));

TEST(ProfileFile, SectionAndKeyNamesIgnoreCase) {
    ProfileFile p = ProfileFile::parse("[pOrT0]\r\nDEVICE=ttyUSB1\r\nbaudrate=19200\r\n");
    EXPECT_EQ(p.readString("Port0", "Device", "x"), "ttyUSB1");
    EXPECT_EQ(p.readInt("PORT0", "BaudRate", 0), 19200);
}

TEST(ProfileFile, FirstOccurrenceOfAKeyOrSectionWins) {
    ProfileFile p = ProfileFile::parse("[A]\nk=1\nK=2\n[B]\nk=3\n[a]\nk=4\nonly=5\n");
    EXPECT_EQ(p.readInt("A", "k", 0), 1);
    EXPECT_EQ(p.readInt("B", "k", 0), 3);
    EXPECT_EQ(p.find("A", "only"), nullptr); // the repeated section is ignored whole
}

struct ValueCase {
    const char* line;
    const char* value;
};

class ProfileValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ProfileValues, StripBlanksAndOnePairOfQuotes) {
    ProfileFile p = ProfileFile::parse(std::string("[S]\n") + GetParam().line + "\n");
    const std::string* value = p.find("S", "Key");
    ASSERT_NE(value, nullptr) << GetParam().line;
    EXPECT_EQ(*value, GetParam().value) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileValues,
    ::testing::Values(ValueCase{"Key=COM3", "COM3"}, ValueCase{" \tKey = COM3 \t", "COM3"},
                      ValueCase{"Key=\"COM3\"", "COM3"}, ValueCase{"Key = ' a b ' ", " a b "},
                      ValueCase{"Key=\"\"x\"\"", "\"x\""}, ValueCase{"Key=\"x'", "\"x'"},
                      ValueCase{"Key=\"", "\""}, ValueCase{"Key=", ""}, ValueCase{"Key=a=b", "a=b"},
                      ValueCase{"Key=x ; not a comment", "x ; not a comment"}));

TEST(ProfileFile, IgnoresCommentsMalformedLinesAndKeysOutsideSections) {
    ProfileFile p = ProfileFile::parse("Require=9\n[Common]\n;Require=5\n  ; x=1\nnonsense\n"
                                       "=7\nRequire=3\n[Broken\nafter=1\n");
    EXPECT_EQ(p.readInt("Common", "Require", 1), 3);
    EXPECT_EQ(p.find("Common", "after"), nullptr); // not attributed to the section above
    EXPECT_EQ(p.find("Common", ""), nullptr);
}

TEST(ProfileFile, EveryLineEndStyleReadsTheSame) {
    for (const char* text : {"[S]\r\na=1\r\nb=2\r\n", "[S]\na=1\nb=2", "[S]\ra=1\rb=2\r"}) {
        ProfileFile p = ProfileFile::parse(text);
        EXPECT_EQ(p.readInt("S", "a", 0), 1);
        EXPECT_EQ(p.readInt("S", "b", 0), 2);
        EXPECT_EQ(p.readString("S", "a", ""), "1"); // no CR left on the value
    }
}

TEST(ProfileFile, ReadsLinesOfAnyLength) {
    const std::string longValue(100000, 'v');
    ProfileFile p = ProfileFile::parse("[S]\nlong=" + longValue + "\nnext=1\n");
    EXPECT_EQ(p.readString("S", "long", ""), longValue);
    EXPECT_EQ(p.readInt("S", "next", 0), 1);
}

TEST(ProfileFile, MissingKeysAndEmptyNumbersGiveTheDefault) {
    ProfileFile p = ProfileFile::parse("[S]\nempty=\n");
    EXPECT_EQ(p.readInt("S", "empty", 42), 42);
    EXPECT_EQ(p.readString("S", "empty", "d"), "");
    EXPECT_EQ(p.readInt("S", "absent", 42), 42);
    EXPECT_EQ(p.readString("T", "absent", "d"), "d");
}

TEST(ProfileFile, MissingOrEmptyFileHoldsNothing) {
    test::TempDir dir;
    EXPECT_EQ(ProfileFile::load(dir.file("none.ini")).readInt("Common", "Require", 1), 1);
    EXPECT_EQ(ProfileFile::load(dir.write("empty.ini", "")).readInt("Common", "Require", 1), 1);
    EXPECT_EQ(ProfileFile::load(dir.write("one.ini", "[Common]\nRequire=-4\n"))
                  .readInt("Common", "Require", 1),
              -4);
}

} // namespace
} // namespace cadentor
