#include "files/TextFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cadentor {
namespace {

using Lines = std::vector<std::pair<std::string, unsigned>>;

Lines split(std::string_view data) {
    Lines lines;
    forEachLine(data, [&](std::string_view line, unsigned number) {
        lines.emplace_back(std::string(line), number);
        return true;
    });
    return lines;
}

TEST(LineSplitting, EveryLineEndStyleGivesTheSameLines) {
    const Lines expected{{"a", 1}, {"b", 2}};
    EXPECT_EQ(split("a\r\nb\r\n"), expected);
    EXPECT_EQ(split("a\nb\n"), expected);
    EXPECT_EQ(split("a\rb\r"), expected);
    EXPECT_EQ(split("a\nb"), expected);
}

TEST(LineSplitting, EmptyLinesAreSkippedButCounted) {
    EXPECT_EQ(split("\r\n\r\nx\n\ny"), (Lines{{"x", 3}, {"y", 5}}));
    EXPECT_EQ(split("\r\n\n\r"), Lines{});
    EXPECT_EQ(split(""), Lines{});
}

TEST(LineSplitting, ZeroByteEndsALineOnTheSameEditorLine) {
    using namespace std::string_view_literals;
    EXPECT_EQ(split("a\0b\nc"sv), (Lines{{"a", 1}, {"b", 1}, {"c", 2}}));
}

TEST(LineSplitting, KeepsBlanksAndHighBytes) {
    EXPECT_EQ(split("  \n\xff\xfe x"), (Lines{{"  ", 1}, {"\xff\xfe x", 2}}));
}

TEST(LineSplitting, StopsWhenTheCallbackSaysSo) {
    int calls = 0;
    bool finished = forEachLine("a\nb\nc", [&](std::string_view, unsigned) { return ++calls < 2; });
    EXPECT_FALSE(finished);
    EXPECT_EQ(calls, 2);
}

TEST(WholeFileRead, ReadsBytesUnchanged) {
    test::TempDir dir;
    std::string bytes("A:0:41\r\n\0\xff", 10);
    std::string path = dir.write("f", bytes);
    std::string data, error;
    ASSERT_TRUE(readWholeFile(path, data, error)) << error;
    EXPECT_EQ(data, bytes);
}

TEST(WholeFileRead, FailsWithAReasonForMissingEmptyAndDirectory) {
    test::TempDir dir;
    std::string data, error;
    EXPECT_FALSE(readWholeFile(dir.file("missing"), data, error));
    EXPECT_EQ(error, dir.file("missing") + ": No such file or directory");
    EXPECT_FALSE(readWholeFile(dir.write("empty", ""), data, error));
    EXPECT_EQ(error, dir.file("empty") + ": file is empty");
    EXPECT_FALSE(readWholeFile(dir.path(), data, error));
    EXPECT_NE(error.find("Is a directory"), std::string::npos);
}

TEST(WholeFileRead, UnreadableFileIsAFailure) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads any file";
    test::TempDir dir;
    std::string path = dir.write("secret", "x");
    ::chmod(path.c_str(), 0);
    std::string data, error;
    EXPECT_FALSE(readWholeFile(path, data, error));
    EXPECT_NE(error.find("Permission denied"), std::string::npos);
}

} // namespace
} // namespace cadentor
