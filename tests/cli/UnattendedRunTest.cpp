// cadentor-run left alone all day: stops that come at once, output nobody reads, problems that
// show in the exit status, and runs that start again.

#include "support/ChildProcess.h"
#include "support/Pty.h"
#include "support/TempDir.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace cadentor::test {
namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;
const std::string runnerPath = CADENTOR_BINARY_DIR "/src/cli/cadentor-run";

// A show in a temporary directory: one pty as port 0, Command.def and seq.txt as given.
struct Show {
    Show(const std::string& commands, const std::string& sequence) {
        dir.write("Config.ini", "[Common]\nRequire=1\n[Port0]\nDevice=" + port.slavePath() + "\n");
        dir.write("Command.def", commands);
        dir.write("seq.txt", sequence);
    }
    std::vector<std::string> command(std::vector<std::string> options) const {
        options.insert(options.begin(), {runnerPath, "--dir", dir.path()});
        options.push_back(dir.file("seq.txt"));
        return options;
    }
    bool portExclusive() const {
        int held = 0;
        return ::ioctl(port.slaveFd(), TIOCGEXCL, &held) == 0 && held != 0;
    }

    TempDir dir;
    Pty port;
};

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size())
        ++n;
    return n;
}

// At most `limit` bytes from the master, waiting up to 10 ms for them: reading in a loop with
// this keeps a device slow (about 100 KB/s for a limit of 1 KB).
std::string readSlowly(const Pty& port, std::size_t limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pollfd p{port.masterFd(), POLLIN, 0};
    std::string data(limit, '\0');
    ssize_t got = ::poll(&p, 1, 0) > 0 ? ::read(port.masterFd(), data.data(), limit) : 0;
    data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return data;
}

struct StopCase {
    const char* name;
    int signal, code;
};
void PrintTo(const StopCase& stop, std::ostream* os) {
    *os << stop.name;
}

class StopInABurst : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopInABurst, EndsTheRunLongBeforeTheBurstIsThroughAndClosesThePort) {
    const char* const hex = "0123456789ABCDEF";
    std::string bytes = "00";
    for (int i = 1; i < 256; ++i)
        bytes += {' ', hex[i / 16], hex[i % 16]};
    std::string sequence;
    for (int i = 0; i < 5000; ++i)
        sequence += "0:0:0 B\n";
    Show show("B: 0: " + bytes + "\n", sequence);
    ChildProcess run(show.command({}));

    // Read slowly: the whole burst (1.28 MB) would take more than ten seconds.
    std::string got;
    for (auto until = Clock::now() + std::chrono::seconds(10); got.empty() && Clock::now() < until;)
        got += readSlowly(show.port, 1024);
    ASSERT_FALSE(got.empty()) << run.err();
    run.sendSignal(GetParam().signal);
    int code = ChildProcess::stillRunning;
    for (auto until = Clock::now() + std::chrono::seconds(5);
         code == ChildProcess::stillRunning && Clock::now() < until;)
        if ((code = run.wait(0)) == ChildProcess::stillRunning)
            got += readSlowly(show.port, 1024);
    run.wait(5000); // the rest of its output

    EXPECT_EQ(code, GetParam().code) << run.err();
    const std::size_t done = count(run.out(), "\tB\tDone\n");
    EXPECT_LT(done, 1000u);
    EXPECT_LT(got.size(), 1000u * 256u);
    EXPECT_FALSE(show.portExclusive());
}

INSTANTIATE_TEST_SUITE_P(Signals, StopInABurst,
                         ::testing::Values(StopCase{"Terminate", SIGTERM, 143},
                                           StopCase{"Interrupt", SIGINT, 130},
                                           StopCase{"HangUp", SIGHUP, 129}),
                         [](const auto& info) { return info.param.name; });

// How the runner's standard descriptors are left: stdout and stderr a pipe whose reader has
// gone (as after `| head -n 1`) or one that the test holds but does not read until the end
// (a supervisor that stalls), or all three closed.
enum class Output { ReaderGone, NobodyReads, Closed };

// Runs `argv` with its standard descriptors as `output`: the exit code, minus the signal that
// killed it, or ChildProcess::stillRunning after 10 s. `unread` gets what a pipe that nobody
// read holds at the end.
int runWith(Output output, const std::vector<std::string>& argv, std::string* unread = nullptr) {
    int pipes[2] = {-1, -1};
    if (output != Output::Closed && ::pipe(pipes) != 0)
        return ChildProcess::stillRunning;
    pid_t pid = ::fork();
    if (pid == 0) {
        if (output == Output::ReaderGone)
            ::close(pipes[0]);
        if (output != Output::Closed) {
            ::dup2(pipes[1], 1);
            ::dup2(pipes[1], 2);
        }
        for (int fd = output == Output::Closed ? 0 : 3; fd < 64; ++fd)
            ::close(fd);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (output != Output::Closed)
        ::close(pipes[1]);
    if (output == Output::ReaderGone)
        ::close(pipes[0]);
    int status = 0, code = ChildProcess::stillRunning;
    for (auto until = Clock::now() + std::chrono::seconds(10); Clock::now() < until;) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (code == ChildProcess::stillRunning) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    if (output == Output::NobodyReads) {
        char buffer[4096];
        for (ssize_t got; (got = ::read(pipes[0], buffer, sizeof buffer)) > 0;)
            if (unread)
                unread->append(buffer, static_cast<std::size_t>(got));
        ::close(pipes[0]);
    }
    return code;
}

TEST(UnattendedOutput, OutputThatCannotBeWrittenNeitherEndsTheShowNorReachesTheDevice) {
    for (Output output : {Output::ReaderGone, Output::Closed}) {
        Show show("A: 0: 41\nB: 0: 42 0A\n", "0:0:0 A\n0:0:0.02 B\n0:0:0.04 A\n");
        EXPECT_EQ(runWith(output, show.command({})), 0) << static_cast<int>(output);
        EXPECT_EQ(show.port.read(4, 2000), "AB\nA") << static_cast<int>(output);
        EXPECT_EQ(show.port.read(0, 200), "") << static_cast<int>(output);
    }
}

TEST(UnattendedOutput, AReaderThatStallsNeitherHoldsUpTheShowNorGetsGarbledLines) {
    // 2,000 lines of some 250 bytes: several times what a pipe holds.
    const std::string name(220, 'N');
    std::string sequence;
    for (int i = 0; i < 2000; ++i)
        sequence += "0:0:0 " + name + "\n";
    Show show(name + ": 0: 41\n", sequence);
    std::string unread;
    EXPECT_EQ(runWith(Output::NobodyReads, show.command({}), &unread), 0);
    EXPECT_EQ(show.port.read(2000, 5000), std::string(2000, 'A'));
    // What the pipe took is the beginning of the output, whole lines in order.
    const std::string line = "0:0:0.000\t" + show.port.slavePath() + "\t" + name + "\tDone\n";
    ASSERT_GT(unread.size(), line.size());
    std::string expected;
    while (expected.size() < unread.size())
        expected += line;
    EXPECT_EQ(unread, expected.substr(0, unread.size()));
}

// A start-up problem: Config.ini and Command.def instead of the show's ("" keeps the show's,
// nullptr for none), the option, and what the run must still print.
struct StartCase {
    const char *name, *config, *commands, *option, *out;
};
void PrintTo(const StartCase& start, std::ostream* os) {
    *os << start.name;
}

class StartUpProblem : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartUpProblem, IsReportedAndTheRunGoesOnButExitsOne) {
    const StartCase& start = GetParam();
    Show show("Go: exec: true\n", "0:0:0 Go\n");
    if (!*start.config || !start.commands)
        show.dir.write("seq.txt", "\n"); // without a command table no event loads
    if (*start.config)
        show.dir.write("Config.ini", start.config);
    if (!start.commands)
        std::filesystem::remove(show.dir.file("Command.def"));
    else if (*start.commands)
        show.dir.write("Command.def", start.commands);
    ChildProcess run(show.command(*start.option ? std::vector<std::string>{start.option}
                                                : std::vector<std::string>{}));
    EXPECT_EQ(run.wait(), 1) << run.err();
    EXPECT_EQ(run.out(), start.out);
    EXPECT_TRUE(run.err().starts_with("cadentor-run: ")) << run.err();
}

const char* const portMissing = "[Common]\nRequire=1\n[Port0]\nDevice=/nonexistent/ttyX\n";
INSTANTIATE_TEST_SUITE_P(Cases, StartUpProblem,
                         ::testing::Values(StartCase{"APortDidNotOpen", portMissing, "", "",
                                                     "0:0:0.000\tExec\tGo\tDone\n"},
                                           StartCase{"APortDidNotOpenBeforeAList", portMissing, "",
                                                     "--list", "0:0:0.000\tExec\tGo\n"},
                                           StartCase{"CommandDefIsMissing", "", nullptr, "", ""},
                                           StartCase{"CommandDefHasABadLine", "",
                                                     "Go: exec: true\nBad: 0: 4\n", "", ""}),
                         [](const auto& info) { return info.param.name; });

// A run with --loop: the options besides it and the sequence; how many lines to read before
// SIGTERM (0: none, the run must end by itself); the exit code and the lines that must come
// first ({0}: port 0), without time and port when read before the stop.
struct LoopCase {
    const char* name;
    std::vector<std::string> options;
    const char* sequence;
    int linesBeforeStop, code;
    const char *out, *bytes; // bytes: what port 0 must have received first
};
void PrintTo(const LoopCase& loop, std::ostream* os) {
    *os << loop.name;
}

class Loop : public ::testing::TestWithParam<LoopCase> {};

TEST_P(Loop, StartsAgainFromZeroUntilStoppedOrAFailure) {
    const LoopCase& loop = GetParam();
    Show show("A: 0: 41\nB: 0: 42\nMissing: exec: /nonexistent/program\n", loop.sequence);
    std::vector<std::string> options = loop.options;
    options.push_back("--loop");
    ChildProcess run(show.command(options));
    std::string lines, line;
    for (int i = 0; i < loop.linesBeforeStop && run.readLine(line); ++i)
        lines += line.substr(line.find('\t', line.find('\t') + 1) + 1) + "\n";
    if (loop.linesBeforeStop > 0)
        run.sendSignal(SIGTERM);
    EXPECT_EQ(run.wait(), loop.code) << run.err();
    std::string out = loop.out; // {0} stands for port 0
    for (std::size_t at; (at = out.find("{0}")) != std::string::npos;)
        out.replace(at, 3, show.port.slavePath());
    if (loop.linesBeforeStop == 0)
        EXPECT_EQ(run.out(), out);
    else
        EXPECT_EQ(lines, out);
    EXPECT_TRUE(show.port.read(0, 200).starts_with(loop.bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Loop,
    ::testing::Values(LoopCase{"RepeatsThePassWithThePortsOpen",
                               {},
                               "0:0:0 A\n0:0:0.03 B\n",
                               6,
                               143,
                               "A\tDone\nB\tDone\nA\tDone\nB\tDone\nA\tDone\nB\tDone\n",
                               "ABABAB"},
                      LoopCase{"EndsAtAFailure",
                               {},
                               "0:0:0 A\n0:0:0.02 Missing\n0:0:0.04 B\n",
                               0,
                               1,
                               "0:0:0.000\t{0}\tA\tDone\n0:0:0.020\tExec\tMissing\tFailed\n",
                               "A"},
                      LoopCase{"GoesOnOverSkippedFailures",
                               {"--skip-errors"},
                               "0:0:0.01 Missing\n0:0:0.02 A\n",
                               4,
                               143,
                               "Missing\tFailed\nA\tDone\nMissing\tFailed\nA\tDone\n",
                               "AA"},
                      LoopCase{"OfAnEmptySequenceEndsAtOnce", {}, "\n", 0, 0, "", ""},
                      LoopCase{"IsIgnoredByList",
                               {"--list"},
                               "0:0:0.02 B\n0:0:0 A\n",
                               0,
                               0,
                               "0:0:0.000\t{0}\tA\n0:0:0.020\t{0}\tB\n",
                               ""}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace cadentor::test
