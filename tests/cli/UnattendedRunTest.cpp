// cadentor-run left alone all day: stops that come at once, output nobody reads, and runs that
// start again.

#include "support/ChildProcess.h"
#include "support/Pty.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>

namespace cadentor::test {
namespace {

using Clock = std::chrono::steady_clock;

// A show in a temporary directory: one pty as port 0, Command.def and seq.txt as given.
struct Show {
    Show(const std::string& commands, const std::string& sequence) {
        dir.write("Config.ini", "[Common]\nRequire=1\n[Port0]\nDevice=" + port.slavePath() + "\n");
        dir.write("Command.def", commands);
        dir.write("seq.txt", sequence);
    }
    std::vector<std::string> command(std::vector<std::string> options) const {
        options.insert(options.begin(),
                       {CADENTOR_BINARY_DIR "/src/cli/cadentor-run", "--dir", dir.path()});
        options.push_back(dir.file("seq.txt"));
        return options;
    }
    TempDir dir;
    Pty port;
};

// At most 1 KB from the master after 10 ms: read in a loop, a device of about 100 KB/s.
std::string readSlowly(const Pty& port) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pollfd p{port.masterFd(), POLLIN, 0};
    std::string data(1024, '\0');
    const ssize_t got = ::poll(&p, 1, 0) > 0 ? ::read(port.masterFd(), data.data(), 1024) : 0;
    data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return data;
}

TEST(UnattendedRun, AStopSignalEndsABurstLongBeforeItIsThroughAndFreesThePort) {
    std::string bytes = "00", sequence;
    for (int i = 1; i < 256; ++i)
        bytes += {' ', "0123456789ABCDEF"[i / 16], "0123456789ABCDEF"[i % 16]};
    for (int i = 0; i < 5000; ++i)
        sequence += "0:0:0 B\n"; // 1.28 MB: more than ten seconds at this device's speed
    for (const auto& [signal, code] : {std::pair{SIGTERM, 143}, {SIGINT, 130}, {SIGHUP, 129}}) {
        Show show("B: 0: " + bytes + "\n", sequence);
        ChildProcess run(show.command({}));
        std::string got;
        for (auto until = Clock::now() + std::chrono::seconds(10);
             got.empty() && Clock::now() < until;)
            got += readSlowly(show.port);
        ASSERT_FALSE(got.empty()) << run.err();
        run.sendSignal(signal);
        int exit = ChildProcess::stillRunning;
        for (auto until = Clock::now() + std::chrono::seconds(5);
             exit == ChildProcess::stillRunning && Clock::now() < until;)
            if ((exit = run.wait(0)) == ChildProcess::stillRunning)
                got += readSlowly(show.port);
        EXPECT_EQ(exit, code) << run.err();
        EXPECT_LT(got.size(), 1000u * 256u);
        int held = 0;
        EXPECT_TRUE(::ioctl(show.port.slaveFd(), TIOCGEXCL, &held) == 0 && held == 0);
    }
}

// How stdout and stderr are left: a pipe whose reader has gone (as after `| head -n 1`), one
// the test reads only at the end (a supervisor that stalls), or all three standard ones closed.
enum class Output { ReaderGone, NobodyReads, Closed };

// Runs `argv` so: its exit code (minus the signal that killed it; stillRunning after 10 s),
// and in `unread` what a pipe that nobody read holds at the end.
int runWith(Output output, const std::vector<std::string>& argv, std::string* unread = nullptr) {
    int pipes[2] = {-1, -1};
    if (output != Output::Closed && ::pipe(pipes) != 0)
        return ChildProcess::stillRunning;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (output != Output::Closed)
            ::dup2(pipes[1], 1), ::dup2(pipes[1], 2);
        for (int fd = output == Output::Closed ? 0 : 3; fd < 64; ++fd)
            ::close(fd);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipes[1]);
    if (output == Output::ReaderGone)
        ::close(pipes[0]);
    int status = 0, code = ChildProcess::stillRunning;
    for (auto until = Clock::now() + std::chrono::seconds(10); Clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            break;
        }
    if (code == ChildProcess::stillRunning)
        ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
    char buffer[4096];
    if (output == Output::NobodyReads)
        for (ssize_t got; (got = ::read(pipes[0], buffer, sizeof buffer)) > 0;)
            unread->append(buffer, static_cast<std::size_t>(got));
    ::close(pipes[0]);
    return code;
}

TEST(UnattendedRun, OutputThatCannotBeWrittenNeitherEndsTheShowNorReachesTheDevice) {
    for (Output output : {Output::ReaderGone, Output::Closed}) {
        Show show("A: 0: 41\nB: 0: 42 0A\n", "0:0:0 A\n0:0:0.02 B\n0:0:0.04 A\n");
        EXPECT_EQ(runWith(output, show.command({})), 0) << static_cast<int>(output);
        EXPECT_EQ(show.port.read(4, 2000), "AB\nA");
        EXPECT_EQ(show.port.read(0, 200), "");
    }
}

TEST(UnattendedRun, AReaderThatStallsNeitherHoldsUpTheShowNorGetsGarbledLines) {
    const std::string name(220, 'N'); // 2,000 lines of 250 bytes: more than a pipe holds
    std::string sequence;
    for (int i = 0; i < 2000; ++i)
        sequence += "0:0:0 " + name + "\n";
    Show show(name + ": 0: 41\n", sequence);
    std::string unread, expected;
    EXPECT_EQ(runWith(Output::NobodyReads, show.command({}), &unread), 0);
    EXPECT_EQ(show.port.read(2000, 5000), std::string(2000, 'A'));
    const std::string line = "0:0:0.000\t" + show.port.slavePath() + "\t" + name + "\tDone\n";
    ASSERT_GT(unread.size(), line.size());
    while (expected.size() < unread.size())
        expected += line; // whole lines from the start, in order
    EXPECT_EQ(unread, expected.substr(0, unread.size()));
}

TEST(UnattendedRun, LoopStartsAgainFromZeroUntilStoppedOrAFailure) {
    // Options besides --loop; the sequence; lines to read before SIGTERM (0: it must end by
    // itself); the exit code; the output (without time and port when stopped); port 0's bytes.
    const struct {
        std::vector<std::string> options;
        const char* sequence;
        int linesBeforeStop, code;
        const char *out, *bytes;
    } cases[] = {
        {{},
         "0:0:0 A\n0:0:0.03 B\n",
         6,
         143,
         "A\tDone\nB\tDone\nA\tDone\nB\tDone\nA\tDone\nB\tDone\n",
         "ABABAB"},
        {{},
         "0:0:0 A\n0:0:0.02 Missing\n0:0:0.04 B\n",
         0,
         1,
         "0:0:0.000\t{0}\tA\tDone\n0:0:0.020\tExec\tMissing\tFailed\n",
         "A"},
        {{"--skip-errors"},
         "0:0:0.01 Missing\n0:0:0.02 A\n",
         4,
         143,
         "Missing\tFailed\nA\tDone\nMissing\tFailed\nA\tDone\n",
         "AA"},
        {{}, "\n", 0, 0, "", ""},
        {{"--list"}, "0:0:0.02 B\n0:0:0 A\n", 0, 0, "0:0:0.000\t{0}\tA\n0:0:0.020\t{0}\tB\n", ""},
    };
    for (const auto& loop : cases) {
        SCOPED_TRACE(loop.sequence);
        Show show("A: 0: 41\nB: 0: 42\nMissing: exec: /nonexistent/program\n", loop.sequence);
        std::vector<std::string> options = loop.options;
        options.push_back("--loop");
        ChildProcess run(show.command(options));
        std::string lines, line, out = loop.out;
        for (int i = 0; i < loop.linesBeforeStop && run.readLine(line); ++i)
            lines += line.substr(line.find('\t', line.find('\t') + 1) + 1) + "\n";
        if (loop.linesBeforeStop > 0)
            run.sendSignal(SIGTERM);
        EXPECT_EQ(run.wait(), loop.code) << run.err();
        for (std::size_t at; (at = out.find("{0}")) != std::string::npos;)
            out.replace(at, 3, show.port.slavePath());
        EXPECT_EQ(loop.linesBeforeStop ? lines : run.out(), out);
        EXPECT_TRUE(show.port.read(0, 200).starts_with(loop.bytes));
    }
}

} // namespace
} // namespace cadentor::test
