#include "files/TextFile.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace cadentor {
namespace {

TEST(LargeFile, BeyondFourGibibytesIsRefusedBeforeAnyAllocation) {
    test::TempDir dir;
    const std::string path = dir.write("huge.txt", "");
    std::filesystem::resize_file(path, 5ull << 30); // sparse: takes no room
    std::string data = "old", error;
    EXPECT_FALSE(readWholeFile(path, data, error));
    EXPECT_EQ(error, path + ": file too large to load (5.0 GiB)");
    EXPECT_TRUE(data.empty());
}

TEST(LargeFile, SizesReadAsBytesMebibytesOrGibibytes) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {512, "512 bytes"},      {1048575, "1048575 bytes"}, {1048576, "1.0 MiB"},
        {15728640, "15.0 MiB"},  {1073741823, "1024.0 MiB"}, {1073741824, "1.0 GiB"},
        {3221225472, "3.0 GiB"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(formatFileSize(bytes), text) << bytes;
}

} // namespace
} // namespace cadentor
