// What a started program gets from us (only /dev/null), and why a start failed.

#include "SequenceTestSupport.h"
#include "sequence/Actions.h"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cadentor {
namespace {

using namespace std::string_literals;
using Descriptors = std::map<std::string, std::string>;

// The process whose command line is exactly `words`, once it runs; 0 after ten seconds.
pid_t findProcess(const std::vector<std::string>& words) {
    std::string wanted;
    for (const std::string& word : words)
        wanted += word + '\0';
    for (int tries = 0; tries < 2000; ++tries) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string pid = entry.path().filename();
            if (pid.find_first_not_of("0123456789") != std::string::npos)
                continue;
            std::ifstream in(entry.path() / "cmdline", std::ios::binary);
            const std::string cmdline{std::istreambuf_iterator<char>(in), {}};
            if (cmdline == wanted)
                return std::stoi(pid);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
}

// What `pid` holds once it has settled: a program opens files of its own while it starts (the
// locale, for one), so the reading is taken again for up to five seconds until it is `wanted`.
// What a started program inherited from us it holds for good.
Descriptors descriptorsOf(pid_t pid, const Descriptors& wanted) {
    Descriptors open;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (int tries = 0; tries < 1000 && open != wanted; ++tries) {
        if (tries > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        open.clear();
        std::error_code gone;
        for (const auto& entry : std::filesystem::directory_iterator(dir, gone))
            open[entry.path().filename()] = std::filesystem::read_symlink(entry.path(), gone);
    }
    return open;
}

// Runs `start` in a child whose stdout, stderr and descriptor 57 are one pipe, as a runner's
// are when a supervisor reads its output. True when the pipe ended within five seconds after
// the child had returned, that is when nothing it started holds the pipe.
bool pipeEndsAfter(const std::function<bool()>& start) {
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::dup2(fds[1], 57);
        ::close(fds[0]);
        ::_exit(start() ? 0 : 1);
    }
    ::close(fds[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    pollfd readable{fds[0], POLLIN, 0};
    char byte;
    const bool ended = ::poll(&readable, 1, 5000) == 1 && ::read(fds[0], &byte, 1) == 0;
    ::close(fds[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && ended;
}

TEST(StartedProgram, GetsOnlyTheNullDeviceAndHoldsNoPipeOfOurs) {
    test::TempDir dir;
    const std::string sleepFor = "61." + std::to_string(::getpid()); // a command line of its own
    // The opener replaces itself by a sleep: what it holds, the sleep holds.
    test::writeScript(dir, "xdg-open", "exec sleep " + sleepFor + "1");
    const std::string path = dir.path() + ":" + std::getenv("PATH");
    const std::pair<std::function<bool()>, std::vector<std::string>> cases[] = {
        {[&] { return startProgram("sleep " + sleepFor + "0"); }, {"sleep", sleepFor + "0"}},
        {[&] { return ::setenv("PATH", path.c_str(), 1) == 0 && openTarget(dir.path()); },
         {"sleep", sleepFor + "1"}},
    };
    const Descriptors onlyNull{{"0", "/dev/null"}, {"1", "/dev/null"}, {"2", "/dev/null"}};
    for (const auto& [start, words] : cases) {
        SCOPED_TRACE(words[1]);
        EXPECT_TRUE(pipeEndsAfter(start));
        const pid_t started = findProcess(words);
        ASSERT_NE(started, 0);
        EXPECT_EQ(descriptorsOf(started, onlyNull), onlyNull);
        ::kill(started, SIGKILL);
    }
}

TEST(StartedProgram, AFailedStartKeepsItsReasonUntilTheNextExecution) {
    test::SequenceSetup s;
    const std::string plain = s.dir.write("plain.sh", "#!/bin/sh\n"); // not executable
    const std::string empty = test::writeScript(s.dir, "empty", "");
    std::filesystem::resize_file(empty, 0); // executable, but nothing the kernel can run
    ASSERT_TRUE(s.configure(test::NoPorts, "MISSING: exec: cadentor-no-such-program x\n"
                                           "PLAIN: exec: " +
                                               plain + "\nEMPTY: exec: " + empty +
                                               "\nGONE: open: " + s.dir.file("gone") +
                                               "\nDOC: open: " + s.dir.path() +
                                               "\nOK: exec: /bin/true\n"));
    ASSERT_TRUE(s.load("0:0 MISSING\n0:0 PLAIN\n0:0 EMPTY\n0:0 GONE\n0:0 DOC\n0:0 OK\n"));
    const char* savedPath = std::getenv("PATH");
    const std::string path = savedPath ? savedPath : "/usr/bin:/bin";
    ::setenv("PATH", s.dir.file("nowhere").c_str(), 1); // no opener either
    std::vector<std::string> reasons;
    for (int i = 0; i < s.sequence.count(); ++i) {
        s.sequence.eventAt(i)->execute();
        reasons.push_back(s.sequence.eventAt(i)->failureReason());
    }
    const std::vector<std::string> expected{"cadentor-no-such-program: not found on PATH",
                                            plain + ": Permission denied",
                                            empty + ": Exec format error",
                                            s.dir.file("gone") + ": No such file or directory",
                                            "xdg-open: not found on PATH",
                                            ""};
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(reasons, expected);
    EXPECT_TRUE(s.reporter.reports().empty());

    std::filesystem::permissions(plain, std::filesystem::perms::owner_all);
    SequenceEvent& fixed = *s.sequence.eventAt(1);
    EXPECT_TRUE(fixed.execute());
    EXPECT_EQ(fixed.failureReason(), "");
    s.sequence.rewind();
    EXPECT_EQ(s.sequence.eventAt(0)->failureReason(), "");
}

// A runner started with stdin, stdout and stderr closed: the launcher's own pipe then takes
// their numbers, and must still tell a failed start from a good one.
TEST(StartedProgram, FailuresAreToldEvenWithOurStandardDescriptorsClosed) {
    test::TempDir dir;
    const std::string plain = dir.write("plain.sh", "#!/bin/sh\n"); // not executable
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(0);
        ::close(1);
        ::close(2);
        std::string reason;
        const bool refused =
            !startProgram(plain, &reason) && reason == plain + ": Permission denied";
        ::_exit(refused && startProgram("/bin/true") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
} // namespace cadentor
