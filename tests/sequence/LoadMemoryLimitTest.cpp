// Files too large for the memory at hand, and memory that runs out halfway through a load:
// each is the file's read message with a detail, never an exception, and nothing stays loaded.
// Each case runs in a child process whose address space is capped (RLIMIT_AS) a little above
// what it uses already.

#include "SequenceTestSupport.h"
#include "files/TextFile.h"

#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define CADENTOR_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CADENTOR_UNDER_ASAN 1
#endif
#endif

namespace cadentor {
namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

// What `run` returns when run in a child whose address space may grow by `headroom` at most.
std::string underAddressLimit(std::uint64_t headroom, const std::function<std::string()>& run) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        unsigned long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%lu", &pages) != 1)
                pages = 0;
            std::fclose(statm);
        }
        const rlimit limit{pages * ::sysconf(_SC_PAGESIZE) + headroom,
                           pages * ::sysconf(_SC_PAGESIZE) + headroom};
        std::string result = "no limit";
        try { // the child must never return into the test runner
            if (pages && ::setrlimit(RLIMIT_AS, &limit) == 0)
                result = run();
        } catch (const std::exception& e) {
            result = std::string("exception: ") + e.what();
        }
        ssize_t written = ::write(pipeFds[1], result.data(), result.size());
        ::_exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string result;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        result.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return result + " [child ended with status " + std::to_string(status) + "]";
    return result;
}

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
#ifdef CADENTOR_UNDER_ASAN
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#endif
        ASSERT_TRUE(s.configure(test::NoPorts, "X: exec: /bin/true\n"));
        ASSERT_TRUE(s.load("0:0:1 X\n"));
    }
    std::string sparse(const std::string& name, std::uint64_t size) {
        const std::string path = s.dir.write(name, "");
        std::filesystem::resize_file(path, size);
        return path;
    }
    std::string loadSequence(std::uint64_t headroom, const std::string& path) {
        return underAddressLimit(headroom, [&] {
            s.reporter.clear();
            s.sequence.load(path);
            return outcome(s.reporter, static_cast<std::size_t>(s.sequence.count()));
        });
    }
    std::string loadCommands(std::uint64_t headroom) {
        return underAddressLimit(headroom, [&] {
            s.reporter.clear();
            s.sequence.clearAndReloadCommands();
            return outcome(s.reporter, s.sequence.commands().size());
        });
    }

    test::SequenceSetup s;
};

TEST_F(LoadMemoryLimit, FileLargerThanTheMemoryLeftIsTooLargeToLoad) {
    const std::string sequence = sparse("show.txt", 3 * 1024 * MiB);
    EXPECT_EQ(loadSequence(1024 * MiB, sequence),
              "5 " + sequence + ": file too large to load (3.0 GiB); 0 left");
    const std::string commands = sparse("Command.def", 3 * 1024 * MiB);
    EXPECT_EQ(loadCommands(1024 * MiB),
              "8 " + commands + ": file too large to load (3.0 GiB); 0 left");
}

TEST_F(LoadMemoryLimit, MemoryRunningOutWhileLoadingLeavesNothingLoaded) {
    std::string lines;
    for (int i = 0; i < 1 << 20; ++i)
        lines += "0:0:0 X\n"; // 8 MiB of events, far more than fit in 48 MiB
    const std::string sequence = s.dir.write("show.txt", lines);
    EXPECT_EQ(loadSequence(48 * MiB, sequence),
              "5 " + sequence + ": not enough memory to load the file (8.0 MiB); 0 left");

    lines.clear();
    for (int i = 0; i < 1 << 20; ++i)
        lines += "C" + std::to_string(10000000 + i) + ":0:41\n"; // 15 bytes a line
    const std::string commands = s.dir.write("Command.def", lines);
    EXPECT_EQ(loadCommands(48 * MiB),
              "8 " + commands + ": not enough memory to load the file (15.0 MiB); 0 left");
    // With the memory, the same file loads whole.
    EXPECT_EQ(loadCommands(1024 * MiB), "1048576 left");
}

} // namespace
} // namespace cadentor
