// cadentor-run left alone all day: output nobody reads, and runs that start again.

#include "Show.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

namespace cadentor::test {
namespace {

// How stdout and stderr are left: a pipe whose reader has gone (as after `| head -n 1`), one
// the test reads only at the end (a supervisor that stalls), or all three standard ones closed.
enum class Output { ReaderGone, NobodyReads, Closed };

// Runs `argv` so: its exit code (minus the signal that killed it; stillRunning after 10 s),
// and in `unread` what a pipe that nobody read holds at the end.
int runWith(Output output, const std::vector<std::string>& argv, std::string* unread = nullptr) {
    int pipes[2] = {-1, -1};
    if (output != Output::Closed && ::pipe2(pipes, O_CLOEXEC) != 0)
        return ChildProcess::stillRunning;
    ChildProcess child(argv, output == Output::Closed ? ChildProcess::noDescriptors : pipes[1]);
    ::close(pipes[1]);
    if (output == Output::ReaderGone)
        ::close(pipes[0]);
    const int code = child.wait(10000);
    if (code == ChildProcess::stillRunning) // before the pipe is read to its end
        child.sendSignal(SIGKILL), child.wait();
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
        EXPECT_EQ(runWith(output, show.command()), 0) << static_cast<int>(output);
        EXPECT_EQ(show.port0.read(4, 2000), "AB\nA");
        EXPECT_EQ(show.port0.read(0, 200), "");
    }
}

TEST(UnattendedRun, AReaderThatStallsNeitherHoldsUpTheShowNorGetsGarbledLines) {
    const std::string name(220, 'N'); // 2,000 lines of 250 bytes: more than a pipe holds
    Show show(name + ": 0: 41\n", repeat("0:0:0 " + name + "\n", 2000));
    std::string unread;
    EXPECT_EQ(runWith(Output::NobodyReads, show.command(), &unread), 0);
    EXPECT_EQ(show.port0.read(2000, 5000), std::string(2000, 'A'));
    const std::string line = "0:0:0.000\t" + show.port0.slavePath() + "\t" + name + "\tDone\n";
    ASSERT_GT(unread.size(), line.size()); // whole lines from the start, in order
    EXPECT_EQ(unread, repeat(line, unread.size() / line.size() + 1).substr(0, unread.size()));
}

TEST(UnattendedRun, LoopStartsAgainFromZeroUntilStoppedOrAFailure) {
    // The sequence; lines to read before SIGTERM (0: it must end by itself); the exit code; the
    // output (without time and port when stopped); port 0's bytes.
    const struct {
        const char* sequence;
        int linesBeforeStop, code;
        const char *out, *bytes;
    } cases[] = {
        {"0:0:0 A\n0:0:0.03 B\n", 6, 143, "A\tDone\nB\tDone\nA\tDone\nB\tDone\nA\tDone\nB\tDone\n",
         "ABABAB"},
        {"0:0:0 A\n0:0:0.02 Missing\n0:0:0.04 B\n", 0, 1,
         "0:0:0.000\t{0}\tA\tDone\n0:0:0.020\tExec\tMissing\tFailed\n", "A"},
        {"\n", 0, 0, "", ""},
    };
    for (const auto& loop : cases) {
        SCOPED_TRACE(loop.sequence);
        Show show("A: 0: 41\nB: 0: 42\nMissing: exec: /nonexistent/program\n", loop.sequence);
        ChildProcess run(show.command({"--loop"}));
        std::string lines, line;
        for (int i = 0; i < loop.linesBeforeStop && run.readLine(line); ++i)
            lines += line.substr(line.find('\t', line.find('\t') + 1) + 1) + "\n";
        if (loop.linesBeforeStop > 0)
            run.sendSignal(SIGTERM);
        EXPECT_EQ(run.wait(), loop.code) << run.err();
        EXPECT_EQ(loop.linesBeforeStop ? lines : run.out(), show.expand(loop.out));
        EXPECT_TRUE(show.port0.read(0, 200).starts_with(loop.bytes));
    }
}

} // namespace
} // namespace cadentor::test
