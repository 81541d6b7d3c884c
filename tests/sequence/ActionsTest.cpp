#include "sequence/Actions.h"

#include "files/DescriptorLimit.h"
#include "files/UniqueFd.h"
#include "support/ChildProcess.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/file.h>
#include <sys/resource.h>

using namespace cadentor;

namespace {

using namespace std::string_literals;

// The contents of `path` once it exists, or nothing after ten seconds.
std::optional<std::string> waitForFile(const std::string& path) {
    for (int tries = 0; tries < 2000; ++tries) {
        if (std::ifstream in{path, std::ios::binary})
            return std::string(std::istreambuf_iterator<char>(in), {});
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

// An executable `dir`/name, by default a script that writes its arguments, one a line, to
// <script>.out at once.
std::string writeScript(const test::TempDir& dir, const std::string& name,
                        const std::string& text = "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.tmp\" "
                                                  "&& mv \"$0.tmp\" \"$0.out\"\n") {
    const std::string path = dir.write(name, text);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

// A test opener named xdg-open, first on PATH, that writes its arguments to xdg-open.out.
class Actions : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("PATH", (dir.path() + ":" + savedPath).c_str(), 1); }
    void TearDown() override { ::setenv("PATH", savedPath.c_str(), 1); }

    test::TempDir dir;
    test::RecordingReporter reporter;
    const std::string opener = writeScript(dir, "xdg-open");
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
};

// Blanks separate words, quotes group them; nothing else is special.
TEST_F(Actions, ProgramStartsWithItsWordsAndAFailedStartSaysWhy) {
    const std::string recorder = writeScript(dir, "args.sh");
    ASSERT_TRUE(startProgram(recorder +
                             "\t 'x  y' \"it's\" a'1 2'\"3 4\"b '' $HOME;* \"open  end"s +
                             "\0 after the zero"s));
    EXPECT_EQ(waitForFile(recorder + ".out"), "x  y\nit's\na1 23 4b\n\n$HOME;*\nopen  end\n");
    EXPECT_FALSE(startProgram(" \t"));
    const std::string plain = dir.write("plain.sh", "#!/bin/sh\n"); // not executable
    const std::string empty = writeScript(dir, "empty", "");
    for (const auto& [line, reason] :
         {std::pair{"cadentor-no-such-program x"s, "cadentor-no-such-program: not found on PATH"s},
          {plain, plain + ": Permission denied"},
          {empty, empty + ": Exec format error"}}) {
        std::string why;
        EXPECT_FALSE(startProgram(line, &why));
        EXPECT_EQ(why, reason);
    }
    // By the time a failed start is told, its side has let go of our descriptors: a lock held
    // through one (as a port holds its device) is free once we close it.
    const std::string lockFile = dir.write("lock", "");
    for (int tries = 0; tries < 20; ++tries) {
        UniqueFd held(::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
        ASSERT_FALSE(startProgram(plain));
        held.reset();
        held.reset(::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0) << "held by the failed start";
    }
    // With our standard descriptors closed, the launcher's own pipe takes their numbers and
    // must still tell a failed start from a good one.
    test::ChildProcess closed([&] {
        ::close_range(0, 2, 0);
        std::string why;
        if (startProgram(plain, &why))
            return 1;
        if (why != plain + ": Permission denied")
            return 2;
        return startProgram("/bin/true") ? 0 : 3;
    });
    EXPECT_EQ(closed.wait(), 0) << "1: a failed start was taken as started, 2: not told why, "
                                   "3: a good start was taken as failed";
}

// Whatever state this process is in, the program gets /dev/null as its standard descriptors,
// its own session, a clean signal state, none of our other descriptors, and another parent.
TEST_F(Actions, ProgramStartsDetachedAndClean) {
    const std::string probe =
        writeScript(dir, "probe.sh",
                    // The signal state is read by the shell's builtins before it forks anything:
                    // while it forks, the shell itself blocks every signal for a moment.
                    "#!/bin/sh\nfds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
                    "exec > \"$0.tmp\"\n"
                    "while read -r key value; do case $key in SigBlk:|SigIgn:) printf '%s\\t%s\\n' "
                    "\"$key\" \"$value\";; esac; done < /proc/$$/status\n"
                    "[ \"$(cut -d' ' -f6 /proc/$$/stat)\" = $$ ] && echo leads its session\n"
                    "ls /proc/$$/fd | grep -x 57\necho $fds\nulimit -n\n"
                    "mv \"$0.tmp\" \"$0.out\"\n");
    // SIGUSR1 ignored, SIGUSR2 blocked, descriptor 57 inheritable, the descriptor limit raised
    // from the 256 we started with.
    test::ChildProcess starter([&] {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 256;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        raiseDescriptorLimit();
        ::getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur != limit.rlim_max)
            return 1;
        ::signal(SIGUSR1, SIG_IGN);
        sigset_t blocked{}; // empty
        sigaddset(&blocked, SIGUSR2);
        ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
        if (::dup2(STDERR_FILENO, 57) != 57)
            return 2;
        if (!startProgram(probe))
            return 3;
        return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD ? 0 : 4;
    });
    EXPECT_EQ(starter.wait(), 0) << "1: the descriptor limit was not raised, 2: no descriptor 57, "
                                    "3: the probe did not start, 4: it is our child";
    EXPECT_EQ(waitForFile(probe + ".out"),
              "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\nleads its session\n"
              "/dev/null /dev/null /dev/null\n256\n");
}

// Only an existing path or a URL reaches the opener, as one argument.
TEST_F(Actions, OpenerGetsAnExistingPathOrAUrlAndNothingElse) {
    for (const std::string& target :
         {dir.file("missing.txt"), "C:\\data\\readme.txt"s, "1a:x"s, ""s})
        EXPECT_FALSE(openTarget(target)) << target; // a drive letter or a digit is no scheme
    const std::string target = dir.write("read me.txt", "x");
    ASSERT_TRUE(openTarget(target + "\0.ignored"s));
    EXPECT_EQ(waitForFile(opener + ".out"), target + "\n");
    std::filesystem::remove(opener + ".out");
    ASSERT_TRUE(openTarget("https://example.org/a b?c=$HOME")); // unchecked and unchanged
    EXPECT_EQ(waitForFile(opener + ".out"), "https://example.org/a b?c=$HOME\n");
    ::setenv("PATH", dir.file("nowhere").c_str(), 1);
    std::string why;
    EXPECT_FALSE(openTarget(target, &why));
    EXPECT_EQ(why, "xdg-open: not found on PATH");
    EXPECT_FALSE(openTarget(dir.file("gone"), &why));
    EXPECT_EQ(why, dir.file("gone") + ": No such file or directory");
    EXPECT_TRUE(reporter.reports().empty());
}

} // namespace
