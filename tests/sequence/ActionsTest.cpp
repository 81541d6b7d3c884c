#include "sequence/Actions.h"

#include "SequenceTestSupport.h"
#include "support/RecordingReporter.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cadentor {
namespace {

using namespace std::string_literals;

TEST(CommandLineSplitting, BlanksSeparateAndQuotesGroup) {
    using Words = std::vector<std::string>;
    const std::pair<std::string, Words> cases[] = {
        {"", {}},
        {" \t ", {}},
        {"  prog\t\ta  b  ", {"prog", "a", "b"}},
        {"prog \"a b\" 'c d'", {"prog", "a b", "c d"}},
        {"prog \"it's\" 'say \"hi\"'", {"prog", "it's", "say \"hi\""}},
        {"prog x'1 2'\"3 4\"y", {"prog", "x1 23 4y"}},
        {"prog \"\" '' a\"\"b", {"prog", "", "", "ab"}},
        {"prog \"unterminated rest  of\tline", {"prog", "unterminated rest  of\tline"}},
        {"prog a'b c", {"prog", "ab c"}},
        {"prog $HOME *.txt ~ a|b;c", {"prog", "$HOME", "*.txt", "~", "a|b;c"}},
        {"C:\\x.exe \"C:\\Program Files\\a\" b\\", {"C:\\x.exe", "C:\\Program Files\\a", "b\\"}},
        {"prog \xff\x82\xa0", {"prog", "\xff\x82\xa0"}}};
    for (const auto& [line, words] : cases)
        EXPECT_EQ(splitCommandLine(line), words) << line;
}

class ProgramStart : public ::testing::Test {
protected:
    test::TempDir dir;
    test::RecordingReporter reporter;
};

TEST_F(ProgramStart, StartsTheProgramWithItsWords) {
    ASSERT_TRUE(startProgram("/usr/bin/touch \"" + dir.file("a b") + "\""));
    ASSERT_TRUE(startProgram("touch " + dir.file("on-path"))); // searched on PATH
    const std::string recorder = test::writeScript(dir, "args.sh");
    ASSERT_TRUE(startProgram(recorder + " 'x  y' z\0 after the zero"s));
    EXPECT_TRUE(test::waitForFile(dir.file("a b")));
    EXPECT_TRUE(test::waitForFile(dir.file("on-path")));
    EXPECT_EQ(test::waitForFile(recorder + ".out"), "x  y\nz\n");
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(ProgramStart, ProgramThatCannotRunFailsWithoutMessage) {
    const std::string plain = dir.write("plain.sh", "#!/bin/sh\n");
    const std::string text = test::writeScript(dir, "text", "");
    std::filesystem::resize_file(text, 0); // executable, but nothing the kernel can run
    for (const std::string& line : {dir.file("missing") + " x", "cadentor-no-such-program"s, plain,
                                    text, dir.path(), ""s, "  \t"s})
        EXPECT_FALSE(startProgram(line)) << line;
    EXPECT_TRUE(reporter.reports().empty());
}

// Whatever state this process is in, the program gets its own session, default signal
// handling, an empty signal mask and none of our descriptors beyond 0, 1 and 2.
TEST_F(ProgramStart, ProgramStartsDetachedAndClean) {
    const int opened = ::open("/dev/null", O_RDONLY); // inheritable on purpose
    ASSERT_EQ(::dup2(opened, 57), 57);
    ::close(opened);
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGUSR1, &ignore, &previous);
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    ::sigprocmask(SIG_BLOCK, &blocked, &previousMask);
    const std::string out = dir.file("state");
    const bool started =
        startProgram("/bin/sh -c 'set -- $(cut -d\" \" -f6 /proc/$$/stat); echo \"$$ $1 "
                     "$(grep -E \"^Sig(Ign|Blk)\" /proc/$$/status | cut -f2 | tr \"\\n\" \" \")"
                     "$(ls /proc/$$/fd | tr \"\\n\" \" \")\" > " +
                     out + ".tmp && mv " + out + ".tmp " + out + "'");
    ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGUSR1, &previous, nullptr);
    ::close(57);
    ASSERT_TRUE(started);
    const std::optional<std::string> state = test::waitForFile(out);
    ASSERT_TRUE(state);
    std::istringstream fields(*state);
    std::string pid, session, blockedMask, ignoredMask, fds;
    fields >> pid >> session >> blockedMask >> ignoredMask;
    std::getline(fields, fds);
    EXPECT_EQ(pid, session) << *state;
    EXPECT_EQ(blockedMask, "0000000000000000") << *state;
    EXPECT_EQ(ignoredMask, "0000000000000000") << *state;
    EXPECT_EQ(fds.find(" 57 "), std::string::npos) << *state;
}

TEST_F(ProgramStart, ManyStartsLeaveNoZombieAndNoChild) {
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(startProgram("/bin/true"));
    int zombies = 0;
    DIR* proc = ::opendir("/proc");
    ASSERT_TRUE(proc);
    while (dirent* entry = ::readdir(proc)) {
        std::ifstream stat("/proc/"s + entry->d_name + "/stat");
        std::string line, state, parent;
        if (std::getline(stat, line) && line.rfind(')') != std::string::npos) {
            std::istringstream(line.substr(line.rfind(')') + 1)) >> state >> parent;
            zombies += state == "Z" && parent == std::to_string(::getpid());
        }
    }
    ::closedir(proc);
    EXPECT_EQ(zombies, 0);
    errno = 0; // every started program belongs to someone else: nothing for us to reap
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// A test opener named xdg-open, first on PATH, that appends its arguments to opened.txt.
class TargetOpening : public ::testing::Test {
protected:
    void SetUp() override {
        test::writeScript(dir, "xdg-open", "echo \"$#:$*\" >> \"" + dir.file("opened.txt") + "\"");
        const char* path = std::getenv("PATH");
        savedPath_ = path ? std::optional<std::string>(path) : std::nullopt;
        ::setenv("PATH", (dir.path() + ":" + savedPath_.value_or("/usr/bin:/bin")).c_str(), 1);
    }
    void TearDown() override {
        savedPath_ ? ::setenv("PATH", savedPath_->c_str(), 1) : ::unsetenv("PATH");
    }
    std::optional<std::string> opened() { return test::waitForFile(dir.file("opened.txt")); }

    test::TempDir dir;
    test::RecordingReporter reporter;
    std::optional<std::string> savedPath_;
};

TEST_F(TargetOpening, ExistingPathGoesToTheOpenerAsOneArgument) {
    const std::string target = dir.write("read me.txt", "x");
    ASSERT_TRUE(openTarget(target + "\0.ignored"s));
    EXPECT_EQ(opened(), "1:" + target + "\n");
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(TargetOpening, UrlIsPassedUncheckedAndUnchanged) {
    ASSERT_TRUE(openTarget("https://example.org/a b?c=$HOME"));
    EXPECT_EQ(opened(), "1:https://example.org/a b?c=$HOME\n");
}

TEST_F(TargetOpening, MissingPathFailsWithoutStartingTheOpener) {
    EXPECT_FALSE(openTarget(dir.file("missing.txt")));
    EXPECT_FALSE(openTarget("C:\\data\\readme.txt")); // a drive letter is no scheme
    EXPECT_FALSE(openTarget("1a:thing"));             // nor a word that starts with a digit
    EXPECT_FALSE(openTarget(""));
    EXPECT_TRUE(reporter.reports().empty());
    ASSERT_TRUE(openTarget("ab:thing")); // the only request the opener ever sees
    EXPECT_EQ(opened(), "1:ab:thing\n");
}

TEST_F(TargetOpening, NoOpenerOnPathFails) {
    ::setenv("PATH", dir.file("nowhere").c_str(), 1);
    EXPECT_FALSE(openTarget(dir.write("t.txt", "x")));
}

} // namespace
} // namespace cadentor
