// cadentor-run as a process: files in a temporary directory, ptys as the serial devices.

#include "ChildProcess.h"
#include "messages/Messages.h"
#include "support/Pty.h"
#include "support/TempDir.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <thread>

namespace cadentor::test {
namespace {

const std::string runnerPath = CADENTOR_BINARY_DIR "/src/cli/cadentor-run";

std::string message(MessageId id) {
    return loadMessage(id);
}

class Runner : public ::testing::Test {
protected:
    // Config.ini with one section per pty, in order.
    void configurePorts(std::initializer_list<const Pty*> ptys) {
        std::string ini = "[Common]\nRequire=" + std::to_string(ptys.size()) + "\n";
        int n = 0;
        for (const Pty* pty : ptys)
            ini += "[Port" + std::to_string(n++) + "]\nDevice=" + pty->slavePath() +
                   "\nBaudRate=115200\n";
        dir.write("Config.ini", ini);
    }
    std::string sequence(std::string_view lines) { return dir.write("seq.txt", lines); }

    RunResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {runnerPath, "--dir", dir.path()});
        return runToEnd(args);
    }
    std::vector<std::string> start(std::vector<std::string> args) {
        args.insert(args.begin(), {runnerPath, "--dir", dir.path()});
        return args;
    }

    TempDir dir;
    Pty port0;
    Pty port1;
};

TEST_F(Runner, SendsEveryEventInTimeOrderWithItsBytes) {
    configurePorts({&port0, &port1});
    dir.write("Command.def",
              "Hello: 0: 48 69\nRaw: 1: 0A 0D 00\nLast: 0: FF\nBits: 1: B00000001\n");
    // Out of order in the file: the run goes by time code.
    std::string seq = sequence("0:0:0.08 Bits\n0:0:0 Hello\n0:0:0.04 Last\n0:0:0 Raw\n");

    RunResult result = run({seq});

    EXPECT_EQ(result.status.code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string p0 = port0.slavePath(), p1 = port1.slavePath();
    EXPECT_EQ(result.out, "0:0:0.000\t" + p0 + "\tHello\tDone\n" + "0:0:0.000\t" + p1 +
                              "\tRaw\tDone\n" + "0:0:0.040\t" + p0 + "\tLast\tDone\n" +
                              "0:0:0.080\t" + p1 + "\tBits\tDone\n");
    // Byte for byte: no line-end translation on the way.
    EXPECT_EQ(port0.read(3, 2000), std::string("\x48\x69\xFF", 3));
    EXPECT_EQ(port1.read(4, 2000), std::string("\x0A\x0D\x00\x01", 4));
}

TEST_F(Runner, AFailedEventStopsTheRunWithExitOne) {
    configurePorts({&port0});
    dir.write("Command.def", "A: 0: 41\nMissing: exec: /nonexistent/program\nB: 0: 42\n");
    std::string seq = sequence("0:0:0 A\n0:0:0.02 Missing\n0:0:0.04 B\n");

    RunResult result = run({seq});

    EXPECT_EQ(result.status.code, 1);
    EXPECT_EQ(result.out, "0:0:0.000\t" + port0.slavePath() + "\tA\tDone\n" +
                              "0:0:0.020\tExec\tMissing\tFailed\n");
    EXPECT_EQ(port0.read(0, 300), "A");
}

TEST_F(Runner, SkipErrorsPassesOverTheFailureAndStillExitsOne) {
    configurePorts({&port0});
    dir.write("Command.def", "A: 0: 41\nMissing: exec: /nonexistent/program\nB: 0: 42\n");
    std::string seq = sequence("0:0:0 A\n0:0:0.02 Missing\n0:0:0.02 B\n0:0:0.05 Missing\n");

    RunResult result = run({"--skip-errors", seq});

    EXPECT_EQ(result.status.code, 1);
    const std::string p0 = port0.slavePath();
    EXPECT_EQ(result.out, "0:0:0.000\t" + p0 + "\tA\tDone\n" +
                              "0:0:0.020\tExec\tMissing\tFailed\n" + "0:0:0.020\t" + p0 +
                              "\tB\tDone\n" + "0:0:0.050\tExec\tMissing\tFailed\n");
    EXPECT_EQ(port0.read(2, 2000), "AB");
}

TEST_F(Runner, AnEmptySequenceFinishesAtOnce) {
    configurePorts({&port0});
    dir.write("Command.def", "A: 0: 41\n");
    RunResult result = run({sequence("\n\r\n")});
    EXPECT_EQ(result.status.code, 0) << result.err;
    EXPECT_EQ(result.out, "");
}

TEST_F(Runner, CommandListRunsEveryCommandAtTimeZero) {
    configurePorts({&port0});
    dir.write("Command.def", "A: 0: 41\nB: 0: 42\nC: exec: true\n");

    RunResult result = run({"--command-list"});

    EXPECT_EQ(result.status.code, 0) << result.err;
    std::istringstream lines(result.out);
    std::string line;
    std::vector<std::string> names;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(line.starts_with("0:0:0.000\t")) << line;
        EXPECT_TRUE(line.ends_with("\tDone")) << line;
        names.push_back(line);
    }
    EXPECT_EQ(names.size(), 3u);
    std::string sent = port0.read(2, 2000);
    EXPECT_TRUE(sent == "AB" || sent == "BA") << sent;
}

TEST_F(Runner, CommandListOfATableWithoutCommandsIsALoadFailure) {
    configurePorts({&port0});
    dir.write("Command.def", "\n\n");
    RunResult result = run({"--command-list"});
    EXPECT_EQ(result.status.code, 2);
    EXPECT_NE(result.err.find("defines no command"), std::string::npos) << result.err;
}

TEST_F(Runner, ListPrintsTheEventsWithoutRunningThem) {
    configurePorts({&port0});
    dir.write("Command.def", "A: 0: 41\nRun: exec: /nonexistent/program\n");
    std::string seq = sequence("1:02:03.5 A\n0:0:1 Run\n");

    RunResult result = run({"--list", seq});

    EXPECT_EQ(result.status.code, 0) << result.err;
    EXPECT_EQ(result.out, "0:0:1.000\tExec\tRun\n1:2:3.500\t" + port0.slavePath() + "\tA\n");
    EXPECT_EQ(port0.read(0, 200), "");
    // --list starts up as a run does: the port was opened and set up (output processing off).
    EXPECT_EQ(port0.slaveSettings().c_oflag & OPOST, 0u);
}

TEST_F(Runner, CheckValidatesWithoutOpeningAnyDevice) {
    dir.write("Config.ini", "[Common]\nRequire=2\n[Port0]\nDevice=/nonexistent/ttyX\n[Port1]\n"
                            "Device=" +
                                port0.slavePath() + "\n");
    dir.write("Command.def", "A: 0: 41\nB: 1: 42\n");
    std::string seq = sequence("0:0:0 A\n0:0:2 B\n");

    RunResult result = run({"--check", seq});

    EXPECT_EQ(result.status.code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "0:0:0.000\t/nonexistent/ttyX\tA\n0:0:2.000\t" + port0.slavePath() + "\tB\n");
    // The pty was never opened: its settings are as the pty came.
    EXPECT_NE(port0.slaveSettings().c_oflag & OPOST, 0u);
}

struct CheckProblem {
    const char* name;
    const char* config;
    const char* commands;
    const char* sequence;
    MessageId id;
    const char* detail; // relative to the directory; empty for none
};
void PrintTo(const CheckProblem& problem, std::ostream* os) {
    *os << problem.name;
}

class CheckReportsTheFirstProblem : public Runner,
                                    public ::testing::WithParamInterface<CheckProblem> {};

TEST_P(CheckReportsTheFirstProblem, AndExitsTwo) {
    const CheckProblem& problem = GetParam();
    dir.write("Config.ini", problem.config);
    dir.write("Command.def", problem.commands);
    std::string seq = sequence(problem.sequence);

    RunResult result = run({"--check", seq});

    EXPECT_EQ(result.status.code, 2);
    EXPECT_EQ(result.out, "");
    std::string expected = "cadentor-run: " + message(problem.id) + "\n";
    if (*problem.detail)
        expected += "  " + dir.path() + "/" + problem.detail + "\n";
    // Exactly one message: checking stops at the first problem.
    EXPECT_EQ(result.err, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Problems, CheckReportsTheFirstProblem,
    ::testing::Values(CheckProblem{"NegativeRequire", "[Common]\nRequire=-1\n", "A: 0: 41\n",
                                   "0:0:0 A\n", MessageId::BadPortCount, "Config.ini: Require=-1"},
                      CheckProblem{"CommandLineDoesNotParse", "[Common]\nRequire=1\n",
                                   "A: 0: 41\nB: 0: 4\n", "0:0:0 X\n",
                                   MessageId::CommandParseFailed, "Command.def:2"},
                      CheckProblem{"PortIdBeyondTheConfiguredPorts", "[Common]\nRequire=1\n",
                                   "A: 0: 41\nB: 1: 42\n", "0:0:0 A\n0:0:1 B\n",
                                   MessageId::BadPortId, "seq.txt:2"},
                      CheckProblem{"SequenceLineDoesNotParse", "[Common]\nRequire=1\n",
                                   "A: 0: 41\n", "0:0:0 A\n0:0:1 A \n",
                                   MessageId::SequenceParseFailed, "seq.txt:2"}),
    [](const ::testing::TestParamInfo<CheckProblem>& info) { return info.param.name; });

TEST_F(Runner, UnknownCommandShowsMessageNineWithTheNameOnTheNextLine) {
    configurePorts({&port0});
    dir.write("Command.def", "A: 0: 41\n");
    std::string seq = sequence("0:0:0 A\n0:0:1 NoSuchCommand\n");

    RunResult result = run({seq});

    EXPECT_EQ(result.status.code, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "cadentor-run: " + message(MessageId::CommandNotFound) +
                              "\nNoSuchCommand\n  " + seq + ":2\n");
    EXPECT_EQ(port0.read(0, 200), "");
}

TEST_F(Runner, MissingCommandDefIsReportedAndStartUpCarriesOn) {
    configurePorts({&port0});
    std::string seq = sequence("0:0:0 A\n");

    RunResult result = run({seq});

    EXPECT_EQ(result.status.code, 2);
    EXPECT_EQ(result.err, "cadentor-run: " + message(MessageId::CommandReadFailed) + "\n  " +
                              dir.file("Command.def") + ": No such file or directory\n" +
                              "cadentor-run: " + message(MessageId::CommandNotFound) + "\nA\n  " +
                              seq + ":1\n");
}

TEST_F(Runner, APortThatCannotOpenIsReportedAndProgramsStillRun) {
    dir.write("Config.ini", "[Common]\nRequire=1\n[Port0]\nDevice=/nonexistent/ttyX\n");
    dir.write("Command.def", "Go: exec: true\n");

    RunResult result = run({sequence("0:0:0 Go\n")});

    EXPECT_EQ(result.status.code, 0);
    EXPECT_EQ(result.err, "cadentor-run: " + message(MessageId::PortOpenFailed) +
                              "\n  /nonexistent/ttyX: No such file or directory\n");
    EXPECT_EQ(result.out, "0:0:0.000\tExec\tGo\tDone\n");
}

TEST_F(Runner, StartedProgramsGetNoBlockedOrIgnoredStopSignals) {
    configurePorts({&port0});
    // cp copies its own status, as the runner started it (no shell, which masks signals
    // itself while it waits for its children).
    std::string out = dir.file("status.txt");
    dir.write("Command.def", "Probe: exec: cp /proc/self/status " + out + "\n");

    RunResult result = run({sequence("0:0:0 Probe\n")});
    ASSERT_EQ(result.status.code, 0) << result.err;

    std::string text;
    for (int i = 0; i < 500 && text.find("voluntary_ctxt_switches") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(out);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ASSERT_NE(text.find("voluntary_ctxt_switches"), std::string::npos) << "the probe did not run";
    std::istringstream lines(text);
    std::string line;
    int masks = 0;
    const unsigned long stopBits = (1ul << (SIGINT - 1)) | (1ul << (SIGTERM - 1));
    while (std::getline(lines, line)) {
        if (!line.starts_with("SigBlk:") && !line.starts_with("SigIgn:"))
            continue;
        ++masks;
        EXPECT_EQ(std::stoul(line.substr(7), nullptr, 16) & stopBits, 0u) << line;
    }
    EXPECT_EQ(masks, 2);
}

// The count of times the process gave up the processor (slept) so far.
long voluntarySwitches(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (status >> key)
        if (key == "voluntary_ctxt_switches:" && status >> value)
            return value;
    return -1;
}

TEST_F(Runner, AnEventDaysAheadIsAwaitedInOneSleep) {
    configurePorts({&port0});
    dir.write("Command.def", "First: 0: 31\nFar: 0: 32\n");
    // 1000 hours ahead: beyond half the range of the millisecond counter.
    ChildProcess child(start({sequence("0:0:0 First\n1000:0:0 Far\n")}));
    std::string line;
    ASSERT_TRUE(child.readLine(line)) << child.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long before = voluntarySwitches(child.pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long after = voluntarySwitches(child.pid());

    ASSERT_GE(before, 0);
    // Waking every fraction of a millisecond would give hundreds.
    EXPECT_LT(after - before, 10);
    child.sendSignal(SIGTERM);
    EXPECT_EQ(child.wait(10000).code, 143);
    EXPECT_EQ(port0.read(1, 2000), "1");
}

struct StopCase {
    int signal;
    int code;
};
void PrintTo(const StopCase& stop, std::ostream* os) {
    *os << "signal " << stop.signal;
}

class RunnerStops : public Runner, public ::testing::WithParamInterface<StopCase> {};

TEST_P(RunnerStops, OnASignalMidRun) {
    configurePorts({&port0});
    dir.write("Command.def", "First: 0: 31\nLater: 0: 32\n");
    ChildProcess child(start({sequence("0:0:0 First\n0:0:30 Later\n")}));
    std::string line;
    ASSERT_TRUE(child.readLine(line)) << child.err();
    EXPECT_EQ(line, "0:0:0.000\t" + port0.slavePath() + "\tFirst\tDone");
    EXPECT_EQ(port0.read(1, 2000), "1");

    auto sent = std::chrono::steady_clock::now();
    child.sendSignal(GetParam().signal);
    ExitStatus status = child.wait(10000);

    ASSERT_TRUE(status.exited) << "still running or killed by signal " << status.signal;
    EXPECT_EQ(status.code, GetParam().code);
    // Stopped in its sleep, not at the next event thirty seconds later.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(10));
    EXPECT_EQ(child.out(), "");
    EXPECT_EQ(child.err(), "");
    EXPECT_EQ(port0.read(0, 200), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, RunnerStops,
                         ::testing::Values(StopCase{SIGINT, 130}, StopCase{SIGTERM, 143}),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                             return info.param.signal == SIGINT ? "Interrupt" : "Terminate";
                         });

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* complaint;
};
void PrintTo(const UsageCase& usage, std::ostream* os) {
    *os << usage.name;
}

class RunnerUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(RunnerUsage, ExitsTwoWithTheUsageOnStderr) {
    std::vector<std::string> args = GetParam().args;
    args.insert(args.begin(), runnerPath);
    RunResult result = runToEnd(args);
    EXPECT_EQ(result.status.code, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with(std::string("cadentor-run: ") + GetParam().complaint + "\n"))
        << result.err;
    EXPECT_NE(result.err.find("usage: cadentor-run"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    BadArguments, RunnerUsage,
    ::testing::Values(UsageCase{"NoSequence", {}, "no SEQUENCE given"},
                      UsageCase{"OnlyOptions", {"--skip-errors", "--list"}, "no SEQUENCE given"},
                      UsageCase{"UnknownOption", {"--fast", "seq.txt"}, "unknown option '--fast'"},
                      UsageCase{"ListAndCheck",
                                {"--list", "--check", "seq.txt"},
                                "--list and --check exclude each other"},
                      UsageCase{"SequenceAndCommandList",
                                {"--command-list", "seq.txt"},
                                "give either SEQUENCE or --command-list, not both"},
                      UsageCase{"TwoSequences", {"a.txt", "b.txt"}, "more than one SEQUENCE given"},
                      UsageCase{"DirWithoutValue", {"seq.txt", "--dir"}, "--dir needs a directory"},
                      UsageCase{"EmptySequenceName", {""}, "the SEQUENCE file name is empty"}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return info.param.name; });

TEST(RunnerInformation, HelpAndVersionGoToStdout) {
    RunResult help = runToEnd({runnerPath, "--help"});
    EXPECT_EQ(help.status.code, 0);
    EXPECT_TRUE(help.out.starts_with("usage: cadentor-run [--dir DIR]")) << help.out;
    EXPECT_EQ(help.err, "");

    RunResult version = runToEnd({runnerPath, "--version"});
    EXPECT_EQ(version.status.code, 0);
    EXPECT_EQ(version.out, message(MessageId::AppTitle) + "\n");
}

TEST(RunnerInformation, ADirectoryThatDoesNotExistIsAUsageError) {
    RunResult result = runToEnd({runnerPath, "--dir", "/nonexistent/dir", "seq.txt"});
    EXPECT_EQ(result.status.code, 2);
    EXPECT_EQ(result.err, "cadentor-run: --dir /nonexistent/dir: No such file or directory\n");
}

} // namespace
} // namespace cadentor::test
