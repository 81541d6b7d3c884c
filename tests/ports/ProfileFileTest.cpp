#include "ports/ProfileFile.h"

#include "support/TempDir.h"

#include <climits>
#include <gtest/gtest.h>

namespace cadentor {
namespace {

TEST(ProfileFile, ReadsIntegersBySignAndLeadingDigits) {
    const std::pair<const char*, int> cases[] = {{"12", 12},
                                                 {"-1", -1},
                                                 {"+7", 7},
                                                 {"007", 7},
                                                 {"9600 bps", 9600},
                                                 {"12abc34", 12},
                                                 {"abc", 0},
                                                 {"-", 0},
                                                 {"- 5", 0},
                                                 {"0x10", 0},
                                                 {"4294967295", -1},
                                                 {"4294967296", 0},
                                                 {"-2147483648", INT_MIN},
                                                 {"2147483648", INT_MIN}};
    for (const auto& [text, value] : cases)
        EXPECT_EQ(parseProfileInt(text), value) << text;
}

TEST(ProfileFile, StripsBlanksAndOnePairOfQuotesFromValues) {
    const std::pair<const char*, const char*> cases[] = {
        {"Key=COM3", "COM3"},       {" \tKey = COM3 \t", "COM3"},
        {"Key=\"COM3\"", "COM3"},   {"Key = ' a b ' ", " a b "},
        {"Key=\"\"x\"\"", "\"x\""}, {"Key=\"x'", "\"x'"},
        {"Key=\"", "\""},           {"Key=", ""},
        {"Key=a=b", "a=b"},         {"Key=x ; no comment", "x ; no comment"}};
    for (const auto& [line, value] : cases) {
        const ProfileFile profile = ProfileFile::parse(std::string("[S]\n") + line);
        const std::string* found = profile.find("S", "Key");
        ASSERT_NE(found, nullptr) << line;
        EXPECT_EQ(*found, value) << line;
    }
}

TEST(ProfileFile, NamesIgnoreCaseAndTheFirstOccurrenceWins) {
    ProfileFile p = ProfileFile::parse("[pOrT0]\nDEVICE=ttyUSB1\nk=1\nK=2\n[B]\nk=3\n"
                                       "[port0]\nk=4\nonly=5\n");
    EXPECT_EQ(p.readString("Port0", "Device", "x"), "ttyUSB1");
    EXPECT_EQ(p.readInt("PORT0", "k", 0), 1);
    EXPECT_EQ(p.readInt("b", "K", 0), 3);
    EXPECT_EQ(p.find("Port0", "only"), nullptr); // the repeated section is ignored whole
}

TEST(ProfileFile, IgnoresCommentsMalformedLinesAndKeysOutsideSections) {
    ProfileFile p = ProfileFile::parse("Require=9\n[Common]\n;Require=5\n  ; x=1\nnonsense\n"
                                       "=7\nRequire=3\n[Broken\nafter=1\n");
    EXPECT_EQ(p.readInt("Common", "Require", 1), 3);
    EXPECT_EQ(p.find("Common", "after"), nullptr); // not given to the section above
    EXPECT_EQ(p.find("Common", ""), nullptr);
}

TEST(ProfileFile, ReadsEveryLineEndLongLinesAndAByteOrderMark) {
    const std::string longValue(100000, 'v');
    for (std::string text : {"[S]\r\na=1\r\nb=2\r\n", "[S]\na=1\nb=2", "[S]\ra=1\rb=2\r",
                             "\xef\xbb\xbf[S]\na=1\nb=2\n"}) {
        ProfileFile p = ProfileFile::parse(text + "\nlong=" + longValue + "\nc=3");
        EXPECT_EQ(p.readString("S", "a", ""), "1") << text; // no CR left on the value
        EXPECT_EQ(p.readInt("S", "b", 0), 2) << text;
        EXPECT_EQ(p.readString("S", "long", ""), longValue);
        EXPECT_EQ(p.readInt("S", "c", 0), 3);
    }
}

TEST(ProfileFile, MissingValuesEmptyNumbersAndMissingFilesGiveTheDefault) {
    ProfileFile p = ProfileFile::parse("[S]\nempty=\n");
    EXPECT_EQ(p.readInt("S", "empty", 42), 42);
    EXPECT_EQ(p.readString("S", "empty", "d"), "");
    EXPECT_EQ(p.readInt("S", "absent", 42), 42);
    EXPECT_EQ(p.readString("T", "absent", "d"), "d");
    test::TempDir dir;
    EXPECT_EQ(ProfileFile::load(dir.file("none.ini")).readInt("Common", "Require", 1), 1);
    EXPECT_EQ(ProfileFile::load(dir.write("empty.ini", "")).readInt("Common", "Require", 1), 1);
    const std::string path = dir.write("one.ini", "[Common]\nRequire=-4\n");
    EXPECT_EQ(ProfileFile::load(path).readInt("Common", "Require", 1), -4);
}

} // namespace
} // namespace cadentor
