#include "sequence/Actions.h"

#include "SequenceTestSupport.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

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

using Words = std::vector<std::string>;

struct SplitCase {
    std::string line;
    Words words;
};

void PrintTo(const SplitCase& c, std::ostream* out) {
    *out << '[' << c.line << ']';
}

class CommandLineSplitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(CommandLineSplitting, GivesTheWords) {
    EXPECT_EQ(splitCommandLine(GetParam().line), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineSplitting,
    ::testing::Values(
        SplitCase{"", {}}, SplitCase{" \t ", {}}, SplitCase{"prog", {"prog"}},
        SplitCase{"prog a b", {"prog", "a", "b"}},
        SplitCase{"  prog\t\ta  b  ", {"prog", "a", "b"}},
        SplitCase{"prog \"a b\" c", {"prog", "a b", "c"}},
        SplitCase{"prog 'a b' c", {"prog", "a b", "c"}},
        SplitCase{"prog \"it's\" 'say \"hi\"'", {"prog", "it's", "say \"hi\""}},
        SplitCase{"prog a\"b c\"d", {"prog", "ab cd"}},
        SplitCase{"prog x'1 2'\"3 4\"y", {"prog", "x1 23 4y"}},
        SplitCase{"prog \"\" ''", {"prog", "", ""}}, SplitCase{"prog a\"\"b", {"prog", "ab"}},
        SplitCase{"prog \"unterminated rest  of\tline", {"prog", "unterminated rest  of\tline"}},
        SplitCase{"prog a'b c", {"prog", "ab c"}},
        SplitCase{"prog $HOME *.txt ~ a|b;c", {"prog", "$HOME", "*.txt", "~", "a|b;c"}},
        SplitCase{"C:\\x.exe /s \"C:\\Program Files\\a\" b\\",
                  {"C:\\x.exe", "/s", "C:\\Program Files\\a", "b\\"}},
        SplitCase{"prog \xff\x82\xa0", {"prog", "\xff\x82\xa0"}}));

class ProgramStart : public ::testing::Test {
protected:
    test::TempDir dir;
    test::RecordingReporter reporter;
};

TEST_F(ProgramStart, QuotedArgumentKeepsItsBlank) {
    ASSERT_TRUE(startProgram("/usr/bin/touch \"" + dir.file("a b") + "\" '" + dir.file("c") + "'"));
    EXPECT_TRUE(test::waitForFile(dir.file("a b")));
    EXPECT_TRUE(test::waitForFile(dir.file("c")));
    EXPECT_FALSE(test::waitForFile(dir.file("a"), 0));
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(ProgramStart, ProgramIsSearchedOnPath) {
    ASSERT_TRUE(startProgram("touch " + dir.file("found")));
    EXPECT_TRUE(test::waitForFile(dir.file("found")));
}

TEST_F(ProgramStart, CommandLineEndsAtAZeroByte) {
    const std::string recorder = test::writeArgumentRecorder(dir, "args.sh");
    using namespace std::string_literals;
    ASSERT_TRUE(startProgram(recorder + " one\0 two"s));
    EXPECT_EQ(test::waitForFile(recorder + ".out"), "one\n");
}

TEST_F(ProgramStart, MissingOrNotExecutableProgramFailsWithoutMessage) {
    EXPECT_FALSE(startProgram(dir.file("no-such-program") + " x"));
    EXPECT_FALSE(startProgram("cadentor-no-such-program-on-path"));
    const std::string plain = dir.write("plain.sh", "#!/bin/sh\ntouch \"$0.ran\"\n");
    EXPECT_FALSE(startProgram(plain));
    // Executable, but not a program the kernel can run: not handed to a shell either.
    const std::string text = dir.write("text", "touch \"$0.ran\"\n");
    std::filesystem::permissions(text, std::filesystem::perms::owner_all);
    EXPECT_FALSE(startProgram(text));
    EXPECT_FALSE(startProgram(dir.path()));
    EXPECT_FALSE(startProgram(""));
    EXPECT_FALSE(startProgram("  \t"));
    EXPECT_TRUE(reporter.reports().empty());
}

// The started program has its own session, default signal handling, and only the standard
// descriptors of ours, whatever state this process is in.
TEST_F(ProgramStart, ProgramStartsDetachedAndClean) {
    // Deliberately inheritable, and high enough not to meet the shell's own descriptors.
    const int opened = ::open("/dev/null", O_RDONLY);
    const int leaked = ::dup2(opened, 57);
    ::close(opened);
    ASSERT_EQ(leaked, 57);
    struct sigaction previous {};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGUSR1, &ignore, &previous);

    const std::string out = dir.file("state");
    const bool started = startProgram("/bin/sh -c 'set -- $(cut -d\" \" -f6 /proc/$$/stat); "
                                      "echo \"$$ $1 $(grep SigIgn /proc/$$/status | cut -f2) $(ls "
                                      "/proc/$$/fd | tr \"\\n\" \" \")\""
                                      " > " +
                                      out + ".tmp && mv " + out + ".tmp " + out + "'");
    ::sigaction(SIGUSR1, &previous, nullptr);
    ::close(leaked);
    ASSERT_TRUE(started);

    std::optional<std::string> state = test::waitForFile(out);
    ASSERT_TRUE(state);
    std::istringstream fields(*state);
    std::string pid, session, ignored, fds;
    fields >> pid >> session >> ignored;
    std::getline(fields, fds);
    EXPECT_EQ(pid, session) << "not a session leader: " << *state;
    EXPECT_EQ(ignored, "0000000000000000") << *state;
    EXPECT_EQ(fds.find(" " + std::to_string(leaked) + " "), std::string::npos) << *state;
}

int zombieChildren() {
    int zombies = 0;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return -1;
    const std::string ourPid = std::to_string(::getpid());
    while (dirent* entry = ::readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 1));
        std::string state, parent;
        rest >> state >> parent;
        zombies += state == "Z" && parent == ourPid;
    }
    ::closedir(proc);
    return zombies;
}

TEST_F(ProgramStart, ManyStartsLeaveNoChildBehind) {
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(startProgram("/bin/true"));
    for (int i = 0; i < 10; ++i)
        ASSERT_FALSE(startProgram("/no/such/program"));
    EXPECT_EQ(zombieChildren(), 0);
    // Nothing is left for us to reap: every started program belongs to someone else.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// An opener named xdg-open, first on PATH, that appends its argument to opened.txt.
class TargetOpening : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = std::getenv("PATH");
        hadPath_ = path != nullptr;
        savedPath_ = path ? path : "";
        const std::string opener = dir.write(
            "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" + dir.file("opened.txt") + "\"\n" +
                            "printf '%s\\n' \"$#\" > \"" + dir.file("count") + "\"\n");
        std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
        ::setenv("PATH", (dir.path() + ":" + savedPath_).c_str(), 1);
    }
    void TearDown() override {
        if (hadPath_)
            ::setenv("PATH", savedPath_.c_str(), 1);
        else
            ::unsetenv("PATH");
    }
    std::optional<std::string> opened() { return test::waitForFile(dir.file("opened.txt")); }

    test::TempDir dir;
    test::RecordingReporter reporter;

private:
    std::string savedPath_;
    bool hadPath_ = false;
};

TEST_F(TargetOpening, ExistingPathGoesToTheOpenerAsOneArgument) {
    const std::string target = dir.write("read me.txt", "x");
    ASSERT_TRUE(openTarget(target));
    EXPECT_EQ(opened(), target + "\n");
    EXPECT_EQ(test::waitForFile(dir.file("count")), "1\n");
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(TargetOpening, UrlIsPassedUncheckedAndUnchanged) {
    ASSERT_TRUE(openTarget("https://example.org/a b?c=$HOME"));
    EXPECT_EQ(opened(), "https://example.org/a b?c=$HOME\n");
}

TEST_F(TargetOpening, MissingPathFailsWithoutStartingTheOpener) {
    EXPECT_FALSE(openTarget(dir.file("missing.txt")));
    EXPECT_FALSE(openTarget("C:\\data\\readme.txt")); // a drive letter is no scheme
    EXPECT_FALSE(openTarget("1a:thing"));             // nor is a word that starts with a digit
    EXPECT_FALSE(openTarget(""));
    EXPECT_TRUE(reporter.reports().empty());
    // A later successful open is the only one the opener ever saw.
    ASSERT_TRUE(openTarget("ab:thing"));
    EXPECT_EQ(opened(), "ab:thing\n");
}

TEST_F(TargetOpening, TargetEndsAtAZeroByte) {
    const std::string target = dir.write("t.txt", "x");
    ASSERT_TRUE(openTarget(target + std::string("\0.missing", 9)));
    EXPECT_EQ(opened(), target + "\n");
}

TEST_F(TargetOpening, NoOpenerOnPathFails) {
    test::TempDir empty;
    ::setenv("PATH", empty.path().c_str(), 1);
    EXPECT_FALSE(openTarget(dir.write("t.txt", "x")));
    EXPECT_TRUE(reporter.reports().empty());
}

} // namespace
} // namespace cadentor
