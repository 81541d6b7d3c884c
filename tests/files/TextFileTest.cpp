#include "files/TextFile.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace cadentor;

using namespace std::string_view_literals;
using Lines = std::vector<std::pair<std::string, unsigned>>;

TEST(LineSplitting, EveryLineEndCountsOnceAndEmptyLinesAreSkipped) {
    const std::pair<std::string_view, Lines> cases[] = {
        {"a\r\nb\r\n", {{"a", 1}, {"b", 2}}},          {"a\rb", {{"a", 1}, {"b", 2}}},
        {"\r\n\r\nx\n\ny", {{"x", 3}, {"y", 5}}},      {"\r\n\n\r", {}},
        {"a\0b\nc"sv, {{"a", 1}, {"b", 1}, {"c", 2}}}, {"  \n\xff x", {{"  ", 1}, {"\xff x", 2}}}};
    for (const auto& [data, expected] : cases) {
        Lines lines;
        EXPECT_TRUE(forEachLine(data, [&](std::string_view line, unsigned number) {
            return lines.emplace_back(line, number), true;
        }));
        EXPECT_EQ(lines, expected) << data;
    }
    int calls = 0;
    EXPECT_FALSE(forEachLine("a\nb\nc", [&](std::string_view, unsigned) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
}

TEST(WholeFileRead, GivesTheBytesUnchangedOrFailsWithTheReason) {
    test::TempDir dir;
    const std::string bytes("A:0:41\r\n\0\xff", 10);
    std::string data, error;
    ASSERT_TRUE(readWholeFile(dir.write("f", bytes), data, error)) << error;
    EXPECT_EQ(data, bytes);
    // A FIFO is read to its end, from a writer that comes late and writes in two pieces.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    test::ChildProcess writer(
        {"/bin/sh", "-c", "sleep 0.1; (echo A; sleep 0.1; printf B) >" + fifo});
    EXPECT_TRUE(readWholeFile(fifo, data, error)) << error;
    EXPECT_EQ(data, "A\nB");
    EXPECT_FALSE(readWholeFile(fifo, data, error, {[] { return true; }})); // a stop ends the wait
    EXPECT_EQ(error, fifo + ": stopped while waiting for data");
    EXPECT_EQ(data, "");
    const std::string huge = dir.write("huge", ""); // sparse: refused before any allocation
    std::filesystem::resize_file(huge, 5ull << 30);
    // A sysfs attribute claims 4096 bytes and gives a few: a short read is no whole file.
    const std::string sysfs = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat info {};
    const bool haveSysfs = ::stat(sysfs.c_str(), &info) == 0 && info.st_size == 4096;
    for (const auto& [path, reason] :
         {std::pair{dir.file("missing"), "No such file or directory"},
          {dir.write("empty", ""), "file is empty"},
          {dir.path(), "Is a directory"},
          {huge, "file too large to load (5.0 GiB)"},
          {haveSysfs ? sysfs : dir.path(), haveSysfs ? "short read" : "Is a directory"},
          {fifo, "no data came for 200 ms (a pipe or device nobody writes to?)"},
          {"/dev/null", "file is empty"}}) {
        data = "old";
        EXPECT_FALSE(readWholeFile(path, data, error, {nullptr, 200}));
        EXPECT_EQ(error, path + ": " + reason);
        EXPECT_EQ(data, "") << path;
    }
}
