// Files too large for the memory at hand, and memory that runs out halfway through a load:
// each is the file's read message with a detail, never an exception, and nothing stays loaded.
// Each case runs in a child process whose address space is capped (RLIMIT_AS) a little above
// what it uses already.

#include "SequenceTestSupport.h"
#include "files/TextFile.h"
#include "support/ChildRun.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

// "<message id> <detail>; <what is left loaded>"
std::string outcome(const test::RecordingReporter& reporter, std::size_t left) {
    std::string text;
    for (const ErrorReport& report : reporter.reports())
        text += std::to_string(static_cast<unsigned>(report.id)) + " " + report.detail + "; ";
    return text + std::to_string(left) + " left";
}

class LoadMemoryLimit : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::underAddressSanitizer())
            GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
        ASSERT_TRUE(s.configure(test::NoPorts, "X: exec: /bin/true\n"));
        ASSERT_TRUE(s.load("0:0:1 X\n"));
    }
    std::string sparse(const std::string& name, std::uint64_t size) {
        const std::string path = s.dir.write(name, "");
        std::filesystem::resize_file(path, size);
        return path;
    }
    // Loads `path` as the sequence, or Command.def again when `path` is empty.
    std::string load(std::uint64_t headroom, const std::string& path = "") {
        return test::runInChild(
            [&] {
                s.reporter.clear();
                if (path.empty())
                    s.sequence.clearAndReloadCommands();
                else
                    s.sequence.load(path);
                return outcome(s.reporter, path.empty()
                                               ? s.sequence.commands().size()
                                               : static_cast<std::size_t>(s.sequence.count()));
            },
            {.addressHeadroom = headroom});
    }

    test::SequenceSetup s;
};

TEST_F(LoadMemoryLimit, FileLargerThanTheMemoryLeftIsTooLargeToLoad) {
    const std::string sequence = sparse("show.txt", 3 * 1024 * MiB);
    EXPECT_EQ(load(1024 * MiB, sequence),
              "5 " + sequence + ": file too large to load (3.0 GiB); 0 left");
    const std::string commands = sparse("Command.def", 3 * 1024 * MiB);
    EXPECT_EQ(load(1024 * MiB), "8 " + commands + ": file too large to load (3.0 GiB); 0 left");
}

TEST_F(LoadMemoryLimit, MemoryRunningOutWhileLoadingLeavesNothingLoaded) {
    std::string lines;
    for (int i = 0; i < 1 << 20; ++i)
        lines += "0:0:0 X\n"; // 8 MiB of events, far more than fit in 48 MiB
    const std::string sequence = s.dir.write("show.txt", lines);
    EXPECT_EQ(load(48 * MiB, sequence),
              "5 " + sequence + ": not enough memory to load the file (8.0 MiB); 0 left");

    lines.clear();
    for (int i = 0; i < 1 << 20; ++i)
        lines += "C" + std::to_string(10000000 + i) + ":0:41\n"; // 15 bytes a line
    const std::string commands = s.dir.write("Command.def", lines);
    EXPECT_EQ(load(48 * MiB),
              "8 " + commands + ": not enough memory to load the file (15.0 MiB); 0 left");
    // With the memory, the same file loads whole.
    EXPECT_EQ(load(1024 * MiB), "1048576 left");
}

} // namespace
} // namespace cadentor
