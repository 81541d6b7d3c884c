// cadentor-run as a process: files in a temporary directory, ptys as the serial devices.

#include "cli/StopSignals.h"
#include "files/ProgramDirectory.h"
#include "messages/Messages.h"
#include "ports/StopRequest.h"
#include "support/ChildProcess.h"
#include "support/Pty.h"
#include "support/TempDir.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace cadentor::test {
namespace {

using namespace std::string_literals;
const std::string runnerPath = CADENTOR_BINARY_DIR "/src/cli/cadentor-run";

// A run: an option ("" for none; then seq.txt when there is a sequence), Config.ini (nullptr:
// both ptys), Command.def and seq.txt (nullptr: none); then what it must give: the exit code,
// stdout, stderr and the bytes each pty received. {0} and {1} stand for the ptys' paths, {d}
// for the directory, {s} for the sequence file, {x} for the examples and {mN} for message N.
struct RunCase {
    const char *name, *option, *config, *commands, *sequence;
    int code;
    const char *out, *err;
    std::string port0 = "", port1 = "";
};
void PrintTo(const RunCase& run, std::ostream* os) {
    *os << run.name;
}

class Runner : public ::testing::Test {
protected:
    std::string expand(std::string text) const {
        for (std::size_t at = 0; (at = text.find('{', at)) != std::string::npos;) {
            const std::size_t end = text.find('}', at);
            const std::string key = text.substr(at + 1, end - at - 1);
            const std::string value = key == "0"   ? port0.slavePath()
                                      : key == "1" ? port1.slavePath()
                                      : key == "d" ? dir.path()
                                      : key == "s" ? dir.file("seq.txt")
                                      : key == "x" ? examplesDirectory()
                                                   : loadMessage(std::stoul(key.substr(1)));
            text.replace(at, end - at + 1, value);
            at += value.size();
        }
        return text;
    }
    std::vector<std::string> write(const char* config, const char* commands, const char* sequence,
                                   std::vector<std::string> args) {
        dir.write("Config.ini", expand(config ? config
                                              : "[Common]\nRequire=2\n[Port0]\nDevice={0}\n"
                                                "BaudRate=115200\n[Port1]\nDevice={1}\n"));
        if (commands)
            dir.write("Command.def", commands);
        if (sequence)
            args.push_back(dir.write("seq.txt", sequence));
        args.insert(args.begin(), {runnerPath, "--dir", dir.path()});
        return args;
    }

    TempDir dir;
    Pty port0, port1;
};

class RunnerCase : public Runner, public ::testing::WithParamInterface<RunCase> {};

TEST_P(RunnerCase, PrintsAndSendsExactlyThis) {
    const RunCase& run = GetParam();
    ChildProcess result(
        write(run.config, run.commands, run.sequence,
              *run.option ? std::vector<std::string>{run.option} : std::vector<std::string>{}));
    EXPECT_EQ(result.wait(), run.code);
    EXPECT_EQ(result.out(), expand(run.out));
    EXPECT_EQ(result.err(), expand(run.err));
    EXPECT_EQ(port0.read(0, 200), run.port0); // byte for byte, nothing more
    EXPECT_EQ(port1.read(0, 200), run.port1);
    // Port 0 is opened and set up (output processing off) unless checking or not configured.
    EXPECT_EQ((port0.slaveSettings().c_oflag & OPOST) == 0,
              !run.config && run.option != "--check"s);
}

const char* const failing = "A: 0: 41\nMissing: exec: /nonexistent/program\nB: 0: 42\n";
const char* const failingSequence = "0:0:0 A\n0:0:0.02 Missing\n0:0:0.02 B\n0:0:0.05 Missing\n";
const char* const missingReason =
    "cadentor-run: could not start Missing\n  /nonexistent/program: No such file or directory\n";
const std::string missingTwice = std::string(missingReason) + missingReason;

INSTANTIATE_TEST_SUITE_P(
    Runs, RunnerCase,
    ::testing::Values(
        // Out of order in the file: the run goes by time code.
        RunCase{"InTimeOrderWithTheirBytes", "", nullptr,
                "Hello: 0: 48 69\nRaw: 1: 0A 0D 00\nLast: 0: FF\nBits: 1: B00000001\n",
                "0:0:0.08 Bits\n0:0:0 Hello\n0:0:0.04 Last\n0:0:0 Raw\n", 0,
                "0:0:0.000\t{0}\tHello\tDone\n0:0:0.000\t{1}\tRaw\tDone\n"
                "0:0:0.040\t{0}\tLast\tDone\n0:0:0.080\t{1}\tBits\tDone\n",
                "", "\x48\x69\xFF", "\x0A\x0D\x00\x01"s},
        RunCase{"AFailedEventStopsTheRunWithExitOne", "", nullptr, failing, failingSequence, 1,
                "0:0:0.000\t{0}\tA\tDone\n0:0:0.020\tExec\tMissing\tFailed\n", missingReason, "A"},
        RunCase{"SkipErrorsGoesOnAndStillExitsOne", "--skip-errors", nullptr, failing,
                failingSequence, 1,
                "0:0:0.000\t{0}\tA\tDone\n0:0:0.020\tExec\tMissing\tFailed\n"
                "0:0:0.020\t{0}\tB\tDone\n0:0:0.050\tExec\tMissing\tFailed\n",
                missingTwice.c_str(), "AB"},
        // --list starts up as a run does, ports opened, but runs nothing.
        RunCase{"ListPrintsTheEventsWithoutRunningThem", "--list", nullptr,
                "A: 0: 41\nRun: exec: /nonexistent/program\n", "1:02:03.5 A\n0:0:1 Run\n", 0,
                "0:0:1.000\tExec\tRun\n1:2:3.500\t{0}\tA\n", ""},
        RunCase{"CheckValidatesWithoutOpeningAnyDevice", "--check",
                "[Common]\nRequire=2\n[Port0]\nDevice=/nonexistent/ttyX\n[Port1]\nDevice={0}\n",
                "A: 0: 41\nB: 1: 42\n", "0:0:0 A\n0:0:2 B\n", 0,
                "0:0:0.000\t/nonexistent/ttyX\tA\n0:0:2.000\t{0}\tB\n", ""},
        RunCase{
            "MissingCommandDefIsReportedAndStartUpCarriesOn", "", nullptr, nullptr, "0:0:0 A\n", 2,
            "",
            "cadentor-run: {m8}\n  {d}/Command.def: No such file or directory (examples in {x})\n"
            "cadentor-run: {m9}\nA\n  {s}:1\n"},
        RunCase{"APortThatCannotOpenIsReportedAndProgramsStillRun", "",
                "[Common]\nRequire=1\n[Port0]\nDevice=/nonexistent/ttyX\n", "Go: exec: true\n",
                "0:0:0 Go\n", 1, "0:0:0.000\tExec\tGo\tDone\n",
                "cadentor-run: {m3}\n  /nonexistent/ttyX: No such file or directory\n"},
        RunCase{"APortThatCannotOpenIsReportedBeforeAList", "--list",
                "[Common]\nRequire=1\n[Port0]\nDevice=/nonexistent/ttyX\n", "Go: exec: true\n",
                "0:0:0 Go\n", 1, "0:0:0.000\tExec\tGo\n",
                "cadentor-run: {m3}\n  /nonexistent/ttyX: No such file or directory\n"},
        RunCase{"ABadCommandLineIsReportedAndExitsOne", "", nullptr, "Go: exec: true\nBad: 0: 4\n",
                "\n", 1, "", "cadentor-run: {m7}\n  {d}/Command.def:2\n"},
        RunCase{"CommandListRunsEveryCommandAtTimeZero", "--command-list", nullptr,
                "A: 0: 41\nB: 1: 42\nC: exec: true\n", nullptr, 0,
                "0:0:0.000\t{0}\tA\tDone\n0:0:0.000\t{1}\tB\tDone\n0:0:0.000\tExec\tC\tDone\n", "",
                "A", "B"},
        RunCase{"CommandListOfATableWithoutCommandsIsALoadFailure", "--command-list", nullptr,
                "\n\n", nullptr, 2, "", "cadentor-run: Command.def in {d} defines no command\n"},
        // Checking stops at the first problem: exactly one message.
        RunCase{"CheckReportsAPortIdBeyondTheConfiguredPorts", "--check", nullptr,
                "A: 0: 41\nB: 2: 42\n", "0:0:0 A\n0:0:1 B\n", 2, "",
                "cadentor-run: {m11}\n  {s}:2\n"}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return info.param.name; });

long voluntarySwitches(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (status >> key && key != "voluntary_ctxt_switches:")
        status.ignore(1 << 20, '\n');
    status >> value;
    return value;
}

TEST_F(Runner, StopsOnASignalWhileAwaitingAFarEventWithoutSpinning) {
    // 1000 hours ahead: beyond half the range of the millisecond counter.
    for (const auto& [signal, code] : {std::pair{SIGINT, 130}, {SIGTERM, 143}}) {
        ChildProcess child(
            write(nullptr, "First: 0: 31\nFar: 0: 32\n", "0:0:0 First\n1000:0:0 Far\n", {}));
        std::string line;
        ASSERT_TRUE(child.readLine(line)) << child.err();
        EXPECT_EQ(line, expand("0:0:0.000\t{0}\tFirst\tDone"));
        EXPECT_EQ(port0.read(1, 2000), "1");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const long before = voluntarySwitches(child.pid());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_LT(voluntarySwitches(child.pid()) - before, 10); // spinning would give hundreds
        child.sendSignal(signal);
        EXPECT_EQ(child.wait(10000), code); // exits with the code, not killed by the signal
        EXPECT_EQ(child.out() + child.err(), "");
        EXPECT_EQ(port0.read(0, 200), "");
    }
}

TEST(StopSignals, TheFirstSignalIsNotedAndStopsTheSecondOfItsKindKills) {
    // In a child: whatever the runner may be stuck in, a second Ctrl-C still ends it.
    const pid_t child = ::fork();
    if (child == 0) {
        cli::StopSignals signals;
        ::raise(SIGINT);
        if (signals.received() != SIGINT || !stopRequested())
            ::_exit(1);
        ::raise(SIGINT);
        ::_exit(2); // not reached: the second SIGINT kills
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
}

TEST(RunnerUsage, BadArgumentsExitTwoWithTheComplaintAndTheUsageOnStderr) {
    // The arguments, split at blanks; the exit code; the start of stderr (of stdout for 0).
    for (const auto& [args, code, start] :
         {std::tuple{"", 2, "no SEQUENCE given\nusage: "},
          {"--fast seq.txt", 2, "unknown option '--fast'\nusage: "},
          {"--list --check seq.txt", 2, "--list and --check exclude each other\nusage: "},
          {"--command-list seq.txt", 2, "give either SEQUENCE or --command-list, not both\n"},
          {"a.txt b.txt", 2, "more than one SEQUENCE given\nusage: "},
          {"--dir /nonexistent/dir seq.txt", 2,
           "--dir /nonexistent/dir: No such file or directory\n"},
          {"--help", 0, "usage: cadentor-run [--dir DIR]"},
          {"--version", 0, "Cadentor Ver.0.02\n"}}) {
        std::vector<std::string> argv{runnerPath};
        std::istringstream words(args);
        for (std::string word; words >> word;)
            argv.push_back(word);
        ChildProcess result(argv);
        EXPECT_EQ(result.wait(), code) << args;
        const std::string expected = (code ? "cadentor-run: "s : ""s) + start;
        EXPECT_EQ((code ? result.err() : result.out()).substr(0, expected.size()), expected);
        EXPECT_EQ(code ? result.out() : result.err(), "") << args;
    }
}

} // namespace
} // namespace cadentor::test
