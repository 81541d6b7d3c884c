#include "sequence/Actions.h"

#include "SequenceTestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
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
        {"prog $HOME *.txt ~ a|b;c", {"prog", "$HOME", "*.txt", "~", "a|b;c"}},
        {"C:\\x.exe \"C:\\Program Files\\a\" b\\", {"C:\\x.exe", "C:\\Program Files\\a", "b\\"}},
        {"prog \xff\x82\xa0", {"prog", "\xff\x82\xa0"}},
    };
    for (const auto& [line, words] : cases)
        EXPECT_EQ(splitCommandLine(line), words) << line;
}

// A test opener named xdg-open, first on PATH, that writes its arguments to xdg-open.out.
class Actions : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("PATH", (dir.path() + ":" + savedPath).c_str(), 1); }
    void TearDown() override { ::setenv("PATH", savedPath.c_str(), 1); }
    // What the opener was given; then the opener is ready for the next request.
    std::optional<std::string> opened() {
        std::optional<std::string> text = test::waitForFile(opener + ".out");
        std::filesystem::remove(opener + ".out");
        return text;
    }

    test::TempDir dir;
    test::RecordingReporter reporter;
    const std::string opener = test::writeScript(dir, "xdg-open");
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
};

TEST_F(Actions, ProgramStartsWithItsWordsOrFailsWithoutMessage) {
    const std::string recorder = test::writeScript(dir, "args.sh");
    ASSERT_TRUE(startProgram(recorder + " 'x  y' z\0 after the zero"s));
    EXPECT_EQ(test::waitForFile(recorder + ".out"), "x  y\nz\n");
    const std::string plain = dir.write("plain.sh", "#!/bin/sh\n");
    const std::string empty = test::writeScript(dir, "empty", "");
    std::filesystem::resize_file(empty, 0); // executable, but nothing the kernel can run
    for (const std::string& line : {dir.file("missing") + " x", "cadentor-no-such-program"s, plain,
                                    empty, dir.path(), ""s, "  \t"s})
        EXPECT_FALSE(startProgram(line)) << line;
    EXPECT_TRUE(reporter.reports().empty());
}

// Whatever state this process is in, the program gets its own session, default signal
// handling, an empty signal mask and none of our descriptors beyond 0, 1 and 2.
TEST_F(Actions, ProgramStartsDetachedAndClean) {
    const std::string probe = test::writeScript(
        dir, "probe.sh",
        // The signal state is read by the shell's builtins before it forks anything: while
        // it forks, the shell itself blocks every signal for a moment.
        "exec > \"$0.tmp\"\n"
        "while read -r key value; do case $key in SigBlk:|SigIgn:) printf '%s\\t%s\\n' "
        "\"$key\" \"$value\";; esac; done < /proc/$$/status\n"
        "[ \"$(cut -d' ' -f6 /proc/$$/stat)\" = $$ ] && echo leads its session\n"
        "ls /proc/$$/fd | grep -x 57\n"
        "mv \"$0.tmp\" \"$0.out\"");
    ASSERT_EQ(::dup2(STDERR_FILENO, 57), 57); // inheritable on purpose
    const auto previous = ::signal(SIGUSR1, SIG_IGN);
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    ::sigprocmask(SIG_BLOCK, &blocked, &previousMask);
    const bool started = startProgram(probe);
    ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    ::signal(SIGUSR1, previous);
    ::close(57);
    ASSERT_TRUE(started);
    EXPECT_EQ(test::waitForFile(probe + ".out"),
              "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\nleads its session\n");
}

// A zombie of ours would be a child that waitpid could reap.
TEST_F(Actions, ManyStartsLeaveNoZombieAndNoChild) {
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(startProgram("/bin/true"));
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// Only an existing path or a URL reaches the opener, as one argument.
TEST_F(Actions, OpenerGetsAnExistingPathOrAUrlAndNothingElse) {
    EXPECT_FALSE(openTarget(dir.file("missing.txt")));
    EXPECT_FALSE(openTarget("C:\\data\\readme.txt")); // a drive letter is no scheme
    EXPECT_FALSE(openTarget("1a:thing"));             // nor a word that starts with a digit
    EXPECT_FALSE(openTarget(""));
    const std::string target = dir.write("read me.txt", "x");
    ASSERT_TRUE(openTarget(target + "\0.ignored"s));
    EXPECT_EQ(opened(), target + "\n");                         // the first request the opener sees
    ASSERT_TRUE(openTarget("https://example.org/a b?c=$HOME")); // unchecked and unchanged
    EXPECT_EQ(opened(), "https://example.org/a b?c=$HOME\n");
    ::setenv("PATH", dir.file("nowhere").c_str(), 1);
    EXPECT_FALSE(openTarget(target)); // no opener on PATH
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(Actions, EventsStartOrOpenWhatTheirCommandSays) {
    test::SequenceSetup s;
    ASSERT_TRUE(s.configure(test::NoPorts, "T: exec: touch \"" + dir.file("a b") +
                                               "\"\nNO: exec: " + dir.file("none") +
                                               "\nDOC: open: " + dir.path() +
                                               "\nGONE: open: " + dir.file("gone") + "\n"));
    ASSERT_TRUE(s.load("0:0:0 T\n0:0:0 NO\n0:0:0 DOC\n0:0:0 GONE\n"));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(s.sequence.eventAt(i)->execute(), i % 2 == 0) << i;
    EXPECT_TRUE(test::waitForFile(dir.file("a b")));
    EXPECT_EQ(opened(), dir.path() + "\n");
    constexpr EventStatus D = EventStatus::Done, F = EventStatus::Failed;
    EXPECT_EQ(s.statuses(), (std::vector{D, F, D, F}));
    EXPECT_TRUE(s.reporter.reports().empty());
}

} // namespace
} // namespace cadentor
