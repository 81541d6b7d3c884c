// cadentor-run as a process: files in a temporary directory, ptys as the serial devices.

#include "support/ChildProcess.h"
#include "files/ProgramDirectory.h"
#include "messages/Messages.h"
#include "support/Pty.h"
#include "support/TempDir.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace cadentor::test {
namespace {

using namespace std::string_literals;
const std::string runnerPath = CADENTOR_BINARY_DIR "/src/cli/cadentor-run";

class Runner : public ::testing::Test {
protected:
    // Replaces {0} and {1} by the ptys' paths, {d} by the directory, {s} by the sequence file
    // {x} by the examples' directory and {mN} by message N.
    std::string expand(std::string text) const {
        for (std::size_t at = 0; (at = text.find('{', at)) != std::string::npos;) {
            std::size_t end = text.find('}', at);
            std::string key = text.substr(at + 1, end - at - 1);
            std::string value = key == "0"   ? port0.slavePath()
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
    // Config.ini with both ptys, Command.def and seq.txt as given (none for nullptr).
    void writeFiles(const char* config, const char* commands, const char* sequence) {
        dir.write("Config.ini", config ? expand(config)
                                       : expand("[Common]\nRequire=2\n[Port0]\nDevice={0}\n"
                                                "BaudRate=115200\n[Port1]\nDevice={1}\n"));
        if (commands)
            dir.write("Command.def", commands);
        if (sequence)
            dir.write("seq.txt", sequence);
    }
    std::vector<std::string> command(std::vector<std::string> args) const {
        args.insert(args.begin(), {runnerPath, "--dir", dir.path()});
        return args;
    }

    TempDir dir;
    Pty port0;
    Pty port1;
};

// A run: an option ("" for none; then seq.txt when there is a sequence), Config.ini (nullptr:
// both ptys), Command.def and seq.txt (nullptr: none); then what it must give: the exit code,
// stdout, stderr and the bytes each pty received.
struct RunCase {
    const char *name, *option, *config, *commands, *sequence;
    int code;
    const char *out, *err;
    std::string port0 = "", port1 = "";
};
void PrintTo(const RunCase& run, std::ostream* os) {
    *os << run.name;
}

class RunnerCase : public Runner, public ::testing::WithParamInterface<RunCase> {};

TEST_P(RunnerCase, PrintsAndSendsExactlyThis) {
    const RunCase& run = GetParam();
    writeFiles(run.config, run.commands, run.sequence);
    std::vector<std::string> args;
    if (*run.option)
        args.push_back(run.option);
    if (run.sequence)
        args.push_back(dir.file("seq.txt"));

    ChildProcess result(command(args));

    EXPECT_EQ(result.wait(), run.code);
    EXPECT_EQ(result.out(), expand(run.out));
    EXPECT_EQ(result.err(), expand(run.err));
    // Byte for byte: no line-end translation on the way, nothing more.
    EXPECT_EQ(port0.read(0, 200), run.port0);
    EXPECT_EQ(port1.read(0, 200), run.port1);
    // Port 0 is opened and set up (output processing off) unless checking or not configured;
    // a pty never opened keeps output processing on.
    bool opened = !run.config && run.option != "--check"s;
    EXPECT_EQ((port0.slaveSettings().c_oflag & OPOST) == 0, opened);
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
        RunCase{"AnEmptySequenceFinishesAtOnce", "", nullptr, "A: 0: 41\n", "\n\r\n", 0, "", ""},
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
        RunCase{"UnknownCommandShowsMessageNineWithTheNameOnTheNextLine", "", nullptr, "A: 0: 41\n",
                "0:0:0 A\n0:0:1 NoSuchCommand\n", 2, "",
                "cadentor-run: {m9}\nNoSuchCommand\n  {s}:2\n"},
        RunCase{
            "MissingCommandDefIsReportedAndStartUpCarriesOn", "", nullptr, nullptr, "0:0:0 A\n", 2,
            "",
            "cadentor-run: {m8}\n  {d}/Command.def: No such file or directory (examples in {x})\n"
            "cadentor-run: {m9}\nA\n  {s}:1\n"},
        RunCase{"APortThatCannotOpenIsReportedAndProgramsStillRun", "",
                "[Common]\nRequire=1\n[Port0]\nDevice=/nonexistent/ttyX\n", "Go: exec: true\n",
                "0:0:0 Go\n", 1, "0:0:0.000\tExec\tGo\tDone\n",
                "cadentor-run: {m3}\n  /nonexistent/ttyX: No such file or directory\n"},
        RunCase{"CommandListOfATableWithoutCommandsIsALoadFailure", "--command-list", nullptr,
                "\n\n", nullptr, 2, "", "cadentor-run: Command.def in {d} defines no command\n"},
        // Checking stops at the first problem: exactly one message.
        RunCase{"CheckReportsANegativeRequire", "--check", "[Common]\nRequire=-1\n", "A: 0: 41\n",
                "0:0:0 A\n", 2, "", "cadentor-run: {m10}\n  {d}/Config.ini: Require=-1\n"},
        RunCase{"CheckReportsACommandLineThatDoesNotParse", "--check", nullptr,
                "A: 0: 41\nB: 0: 4\n", "0:0:0 X\n", 2, "",
                "cadentor-run: {m7}\n  {d}/Command.def:2\n"},
        RunCase{"CheckReportsAPortIdBeyondTheConfiguredPorts", "--check", nullptr,
                "A: 0: 41\nB: 2: 42\n", "0:0:0 A\n0:0:1 B\n", 2, "",
                "cadentor-run: {m11}\n  {s}:2\n"}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return info.param.name; });

TEST_F(Runner, CommandListRunsEveryCommandAtTimeZero) {
    writeFiles(nullptr, "A: 0: 41\nB: 1: 42\nC: exec: true\n", nullptr);
    ChildProcess result(command({"--command-list"}));
    EXPECT_EQ(result.wait(), 0) << result.err();
    const std::string out = result.out();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
    for (const char* line :
         {"0:0:0.000\t{0}\tA\tDone\n", "0:0:0.000\t{1}\tB\tDone\n", "0:0:0.000\tExec\tC\tDone\n"})
        EXPECT_NE(out.find(expand(line)), std::string::npos) << out;
    EXPECT_EQ(port0.read(1, 2000) + port1.read(1, 2000), "AB");
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}
// The value of `key` in the text of a /proc/PID/status file; "" when it has none.
std::string statusField(const std::string& status, const std::string& key) {
    std::size_t at = status.find("\n" + key + ":\t");
    if (at == std::string::npos)
        return "";
    at += key.size() + 3;
    return status.substr(at, status.find('\n', at) - at);
}
long voluntarySwitches(pid_t pid) {
    return std::stol(statusField(fileText("/proc/" + std::to_string(pid) + "/status"),
                                 "voluntary_ctxt_switches"));
}

TEST_F(Runner, StartedProgramsGetNoBlockedOrIgnoredStopSignals) {
    // cp copies its own status as the runner started it (a shell would mask signals itself).
    std::string out = dir.file("status.txt");
    writeFiles(nullptr, ("Probe: exec: cp /proc/self/status " + out + "\n").c_str(),
               "0:0:0 Probe\n");
    ChildProcess result(command({dir.file("seq.txt")}));
    ASSERT_EQ(result.wait(), 0) << result.err();
    std::string text; // complete once its last line, the switches, has come
    for (int i = 0; i < 500 && statusField(text, "voluntary_ctxt_switches").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        text = fileText(out);
    }
    const unsigned long stopBits = (1ul << (SIGINT - 1)) | (1ul << (SIGTERM - 1));
    for (const char* mask : {"SigBlk", "SigIgn"}) {
        ASSERT_NE(statusField(text, mask), "") << "the probe did not run";
        EXPECT_EQ(std::stoul(statusField(text, mask), nullptr, 16) & stopBits, 0u) << mask;
    }
}

class RunnerStops : public Runner, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(RunnerStops, OnASignalWhileAwaitingAFarEventWithoutSpinning) {
    // 1000 hours ahead: beyond half the range of the millisecond counter.
    writeFiles(nullptr, "First: 0: 31\nFar: 0: 32\n", "0:0:0 First\n1000:0:0 Far\n");
    ChildProcess child(command({dir.file("seq.txt")}));
    std::string line;
    ASSERT_TRUE(child.readLine(line)) << child.err();
    EXPECT_EQ(line, expand("0:0:0.000\t{0}\tFirst\tDone"));
    EXPECT_EQ(port0.read(1, 2000), "1");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long before = voluntarySwitches(child.pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long after = voluntarySwitches(child.pid());
    // Waking every fraction of a millisecond would give hundreds.
    EXPECT_LT(after - before, 10);

    child.sendSignal(GetParam().first);
    // Exits with the code (is not killed by the signal), stopped in its sleep.
    EXPECT_EQ(child.wait(10000), GetParam().second);
    EXPECT_EQ(child.out() + child.err(), "");
    EXPECT_EQ(port0.read(0, 200), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, RunnerStops,
                         ::testing::Values(std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}),
                         [](const auto& info) {
                             return info.param.first == SIGINT ? "Interrupt" : "Terminate";
                         });

TEST(RunnerUsage, BadArgumentsExitTwoWithTheComplaintAndTheUsageOnStderr) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "no SEQUENCE given"},
        {{"--skip-errors", "--list"}, "no SEQUENCE given"},
        {{"--fast", "seq.txt"}, "unknown option '--fast'"},
        {{"--list", "--check", "seq.txt"}, "--list and --check exclude each other"},
        {{"--command-list", "seq.txt"}, "give either SEQUENCE or --command-list, not both"},
        {{"a.txt", "b.txt"}, "more than one SEQUENCE given"},
        {{"seq.txt", "--dir"}, "--dir needs a directory"},
        {{""}, "the SEQUENCE file name is empty"}};
    for (auto [args, complaint] : cases) {
        args.insert(args.begin(), runnerPath);
        ChildProcess result(args);
        EXPECT_EQ(result.wait(), 2) << complaint;
        EXPECT_EQ(result.out(), "") << complaint;
        EXPECT_TRUE(result.err().starts_with("cadentor-run: "s + complaint + "\nusage: "))
            << result.err();
    }
}

TEST(RunnerInformation, HelpAndVersionGoToStdoutAndAMissingDirIsAUsageError) {
    ChildProcess help({runnerPath, "--help"}), version({runnerPath, "--version"}),
        noDir({runnerPath, "--dir", "/nonexistent/dir", "seq.txt"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_TRUE(help.out().starts_with("usage: cadentor-run [--dir DIR]")) << help.out();
    EXPECT_EQ(help.err(), "");
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.out(), loadMessage(MessageId::AppTitle) + "\n");
    EXPECT_EQ(noDir.wait(), 2);
    EXPECT_EQ(noDir.err(), "cadentor-run: --dir /nonexistent/dir: No such file or directory\n");
}

} // namespace
} // namespace cadentor::test
