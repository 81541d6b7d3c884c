// cadentor-run as a process: files in a temporary directory, ptys as the serial devices; and
// left alone all day: output nobody reads, and runs that start again.

#include "cli/Runner.h"

#include "Show.h"
#include "cli/StopSignals.h"
#include "files/ProgramDirectory.h"
#include "files/UniqueFd.h"
#include "messages/Messages.h"
#include "ports/PortSet.h"
#include "ports/StopRequest.h"
#include "sequence/SequenceClock.h"
#include "support/ChildProcess.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/stat.h>

namespace cadentor::test {
namespace {

using namespace std::string_literals;

std::string refusal(MessageId id, const std::string& detail) {
    return "cadentor-run: " + loadMessage(id) + "\n  " + detail + "\n";
}
std::string warning(const std::string& text) {
    return "cadentor-run: warning: " + text + "\n";
}

TEST(Runner, PrintsAndSendsExactlyThis) {
    // The options, Config.ini ("": both ptys), Command.def and seq.txt ("": none); then the exit
    // code, stdout, stderr and the bytes each pty received; last the descriptor that
    // JOURNAL_STREAM names (0: none). --check refuses what a run refuses and warns of what it
    // reads otherwise than it seems.
    const char* const failing = "A: 0: 41\nMissing: exec: /nonexistent/program\nB: 0: 42\n";
    const char* const failingSequence = "0:0:0 A\n0:0:0.02 Missing\n0:0:0.02 B\n0:0:0.05 Missing\n";
    const std::string cannotStart = "could not start Missing\n",
                      reason = "  /nonexistent/program: No such file or directory\n",
                      missing = "cadentor-run: " + cannotStart + reason,
                      ranA = "0:0:0.000\t{0}\tA\tDone\n0:0:0.020\tExec\tMissing\tFailed\n",
                      events = "0:0:0 A\n0:0:0.02 Missing\n";
    const std::string port0 = "[Port0]\nDevice={0}\n", in = "in {d}/Config.ini)";
    const struct {
        std::string options, config, commands, sequence;
        int code;
        std::string out, err, port0 = "", port1 = "";
        int journal = 0;
    } cases[] = {
        // Out of order in the file: the run goes by time code.
        {"", "", "Hello: 0: 48 69\nRaw: 1: 0A 0D 00\nLast: 0: FF\nBits: 1: B00000001\n",
         "0:0:0.08 Bits\n0:0:0 Hello\n0:0:0.04 Last\n0:0:0 Raw\n", 0,
         "0:0:0.000\t{0}\tHello\tDone\n0:0:0.000\t{1}\tRaw\tDone\n"
         "0:0:0.040\t{0}\tLast\tDone\n0:0:0.080\t{1}\tBits\tDone\n",
         "", "\x48\x69\xFF", "\x0A\x0D\x00\x01"s},
        // 10 KB, more than a pty holds while nobody reads it: all of it is there after the end.
        {"", "", "Z: 0:" + repeat(" 5A", 256) + "\n", repeat("0:0:0 Z\n", 40), 0,
         repeat("0:0:0.000\t{0}\tZ\tDone\n", 40), "", std::string(10240, 'Z')},
        {"", "", failing, failingSequence, 1, ranA, missing, "A"},
        {"--skip-errors", "", failing, failingSequence, 1,
         ranA + "0:0:0.020\t{0}\tB\tDone\n0:0:0.050\tExec\tMissing\tFailed\n", missing + missing,
         "AB"},
        // --loop ends at a failure, and at once when there is nothing to run.
        {"--loop", "", failing, failingSequence, 1, ranA, missing, "A"},
        {"--loop", "", "A: 0: 41\n", "\n", 0, "", ""},
        // A failed send: its message once, with the device's reason.
        {"", "[Common]\nRequire=1\n[Port0]\nDevice=/dev/full\n", "A: 0: 41\n", "0:0:0 A\n", 1,
         "0:0:0.000\t/dev/full\tA\tFailed\n",
         "cadentor-run: COMポートへのデータ送信に失敗しました\n  /dev/full: No space left on "
         "device\n"},
        // --list starts up as a run does, ports opened, but runs nothing.
        {"--list", "", "A: 0: 41\nRun: exec: /nonexistent/program\n", "1:02:03.5 A\n0:0:1 Run\n", 0,
         "0:0:1.000\tExec\tRun\n1:2:3.500\t{0}\tA\n", ""},
        {"--check", "[Common]\nRequire=2\n[Port0]\nDevice=/nonexistent/ttyX\n[Port1]\nDevice={0}\n",
         "A: 0: 41\nB: 1: 42\n", "0:0:0 A\n0:0:2 B\n", 0,
         "0:0:0.000\t/nonexistent/ttyX\tA\n0:0:2.000\t{0}\tB\n", ""},
        {"--command-list", "", "\n\n", "", 2, "",
         "cadentor-run: Command.def in {d} defines no command\n"},
        {"--check", port0 + "BaudRate=abc\n", "A: 0: 41\n", "0:0:0 A\n", 2, "",
         warning("{d}/Config.ini [Port0] BaudRate=abc: not a number, read as 0") +
             refusal(MessageId::PortSetupFailed, "{0}: speed 0 not supported ([Port0] " + in)},
        {"--check", "[Port0]\nDevice=udp://127.0.0.1:9\n", "A: 0:" + repeat(" 41", 65508) + "\n",
         "0:0:0 A\n", 2, "",
         refusal(MessageId::PortWriteFailed,
                 "udp://127.0.0.1:9: A has 65508 bytes, more than one datagram (65507) holds")},
        // Line settings do not apply to a network device; IPv6 leaves out its header.
        {"--check", "[Port0]\nDevice=udp://[::1]:9\nStopBits=1\n",
         "A: 0:" + repeat(" 41", 65527) + "\n", "0:0:0 A\n", 0, "0:0:0.000\tudp://[::1]:9\tA\n",
         ""},
        {"--check",
         "[Common]\nRequire=4294967297\n" + port0 +
             "WriteTimeout=3 s\nParity=even\nStopBits=two\nBaudRate=9600 bps\n",
         "A: 0: 41\n", "0:0:0 A\n", 0, "0:0:0.000\t{0}\tA\n",
         warning("{d}/Config.ini [Common] Require=4294967297: a number out of range, read as 1") +
             warning("{d}/Config.ini [Port0] BaudRate=9600 bps: text after the number, read as "
                     "9600") +
             warning("{d}/Config.ini [Port0] Parity=even: not a number, read as 0 (no parity)") +
             warning(
                 "{d}/Config.ini [Port0] StopBits=two: not a number, read as 0 (one stop bit)") +
             warning("{d}/Config.ini [Port0] WriteTimeout=3 s: text after the number, the default "
                     "3000 applies")},
        // An editor's byte order mark is no part of the first name.
        {"--check", "",
         "\xef\xbb\xbf"
         "A: 0: 41\n",
         "0:0:0 A\n", 0, "0:0:0.000\t{0}\tA\n", ""},
        {"--check --loop", "", "P: exec: true\n", "0:0:0 P\n", 0, "0:0:0.000\tExec\tP\n",
         warning("--loop: a pass lasts 1 ms, so P starts 1000 times a second; an event at the end "
                 "gives the pass its length")},
        {"--check --loop", "", "P: exec: true\nA: 0: 41\n", "0:0:0 P\n0:0:1 A\n", 0,
         "0:0:0.000\tExec\tP\n0:0:1.000\t{0}\tA\n", ""},
        // To the journal, every line carries its level, a detail line its message's, and stderr
        // begins with what was loaded; the other stream stays as it is.
        {"--skip-errors", "", failing, events, 1, ranA,
         "<6>cadentor-run: loaded {d}: port 0 {0}, port 1 {1}; 2 events from {d}/seq.txt\n"
         "<3>cadentor-run: " +
             cannotStart + "<3>" + reason,
         "A", "", 2},
        {"--skip-errors", "", failing, events, 1,
         "<6>0:0:0.000\t{0}\tA\tDone\n<3>0:0:0.020\tExec\tMissing\tFailed\n", missing, "A", "", 1},
        {"--check", "[Common]\nRequire=1 port\n[Port0]\nDevice={0}\n", failing, "0:0:0 A\n", 0,
         "0:0:0.000\t{0}\tA\n",
         "<4>cadentor-run: warning: {d}/Config.ini [Common] Require=1 port: text after the "
         "number, read as 1\n<6>cadentor-run: loaded {d}: port 0 {0}; 1 event from {d}/seq.txt\n",
         "", "", 2},
        // A failed lookup: the name under its message, as every detail.
        {"", "", failing, "0:0:0 A\n0:0:1 Nope\n", 2, "",
         "<3>cadentor-run: " + loadMessage(MessageId::CommandNotFound) +
             "\n<3>  Nope\n<3>  {d}/seq.txt:2\n",
         "", "", 2},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << &run - cases);
        Show show(run.commands, run.sequence, run.config);
        ChildProcess result([&] {
            struct stat stream {};
            if (run.journal != 0 && ::fstat(run.journal, &stream) == 0)
                ::setenv(
                    "JOURNAL_STREAM",
                    (std::to_string(stream.st_dev) + ":" + std::to_string(stream.st_ino)).c_str(),
                    1);
            return exec(show.command(run.options));
        });
        EXPECT_EQ(result.wait(), run.code);
        EXPECT_EQ(result.out(), show.expand(run.out));
        EXPECT_EQ(result.err(), show.expand(run.err));
        EXPECT_EQ(show.port0.read(0, 200), run.port0); // byte for byte, nothing more
        EXPECT_EQ(show.port1.read(0, 200), run.port1);
        // Port 0 is opened and set up (output processing off) unless --check keeps it closed.
        const bool opened = run.config.empty() && !run.options.starts_with("--check");
        EXPECT_EQ((show.port0.slaveSettings().c_oflag & OPOST) == 0, opened);
    }
}

TEST(Runner, StartedProgramsWriteOnOurOutputOnlyWhenAsked) {
    for (const std::string option : {"", "--program-output=null", "--program-output=inherit"}) {
        Show show("", "0:0:0 P\n");
        show.dir.write("Command.def",
                       show.expand("P: exec: sh -c \"echo out; echo err >&2; touch {d}/ran\"\n"));
        ChildProcess run(show.command(option));
        EXPECT_EQ(run.wait(), 0);
        for (int ms = 0; ms < 10000 && !std::filesystem::exists(show.dir.file("ran")); ms += 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const bool inherit = option.ends_with("inherit");
        EXPECT_EQ(run.out().find("out\n") != std::string::npos, inherit) << option;
        EXPECT_EQ(run.err(), inherit ? "err\n" : "") << option;
    }
}

// The number after `field` ("VmLck:") in /proc/PID/status, -1 when there is none.
long statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    long value = -1;
    for (std::string word; status >> word && word != field;) {
    }
    status >> value;
    return value;
}

TEST(Runner, StopsOnASignalWhileAwaitingAFarEventWithoutSpinning) {
    // 1000 hours ahead: beyond half the range of the millisecond counter.
    for (const auto& [signal, code] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
        Show show("First: 0: 31\nFar: 0: 32\n", "0:0:0 First\n1000:0:0 Far\n");
        ChildProcess child(show.command());
        std::string line;
        ASSERT_TRUE(child.readLine(line)) << child.err();
        EXPECT_EQ(line, show.expand("0:0:0.000\t{0}\tFirst\tDone"));
        EXPECT_EQ(show.port0.read(1, 2000), "1");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const long before = statusField(child.pid(), "voluntary_ctxt_switches:");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // Spinning would give hundreds.
        EXPECT_LT(statusField(child.pid(), "voluntary_ctxt_switches:") - before, 10);
        child.sendSignal(signal);
        EXPECT_EQ(child.wait(10000), code); // exits with the code, not killed by the signal
        EXPECT_EQ(child.out(), "");         // and prints and sends nothing
        EXPECT_EQ(child.err(), "");
        EXPECT_EQ(show.port0.read(0, 200), "");
    }
}

#ifdef __SANITIZE_ADDRESS__
constexpr bool memoryLocks = false; // the sanitizers' runtime turns mlockall into a no-op
#else
constexpr bool memoryLocks = true;
#endif

// Read back while the runner waits for a far event: --realtime puts its loop on SCHED_FIFO at
// the priority, while a program it starts runs at normal priority; without it nothing changes.
TEST(Runner, RealtimePutsTheLoopOnFifoAndStartedProgramsAtNormalPriority) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "SCHED_FIFO needs root here (RLIMIT_RTPRIO is 0)";
    for (const auto& [option, priority] :
         {std::pair{"--realtime"s, 10}, {"--realtime=42"s, 42}, {""s, 0}}) {
        Show show("P: exec: sh -c \"chrt -p $$\"\n", "0:0:0 P\n1000:0:0 P\n");
        ChildProcess run(show.command(option + " --program-output=inherit"));
        std::string line; // the started program's line, after the runner's own
        while (run.readLine(line) && line.find("policy:") == std::string::npos) {
        }
        EXPECT_TRUE(line.ends_with("policy: SCHED_OTHER")) << option << ": " << line;
        sched_param param{};
        ASSERT_EQ(::sched_getparam(run.pid(), &param), 0);
        EXPECT_EQ(::sched_getscheduler(run.pid()),
                  priority == 0 ? SCHED_OTHER : SCHED_FIFO | SCHED_RESET_ON_FORK)
            << option;
        EXPECT_EQ(param.sched_priority, priority) << option;
        EXPECT_EQ(statusField(run.pid(), "VmLck:") > 0, priority != 0 && memoryLocks) << option;
        EXPECT_EQ(run.err(), "") << option;
    }
}

// With RLIMIT_RTPRIO 0, a finite RLIMIT_MEMLOCK and no privilege (dropped to nobody before the
// runner starts), --realtime is one warning that says what to grant.
TEST(Runner, RealtimeRefusedIsOneWarningAndTheRunGoesOn) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "dropping to an unprivileged user needs root";
    Show show("A: 0: 41\n", "0:0:0 A\n", "[Common]\nRequire=1\n[Port0]\nDevice=NUL\n");
    ::chmod(show.dir.path().c_str(), 0711); // for the user the runner drops to
    std::vector<std::string> args{"/usr/bin/prlimit", "--rtprio=0",    "--memlock=8388608",
                                  "/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                  "--clear-groups"};
    const std::vector<std::string> runner = show.command("--realtime");
    args.insert(args.end(), runner.begin(), runner.end());
    ChildProcess run(args);
    EXPECT_EQ(run.wait(), 0) << run.err();
    EXPECT_EQ(run.out(), "0:0:0.000\tNUL\tA\tDone\n");
    EXPECT_EQ(run.err(), warning("--realtime: SCHED_FIFO priority 10 refused (Operation not "
                                 "permitted): grant LimitRTPRIO=10 in the unit, rtprio in "
                                 "/etc/security/limits.d, or CAP_SYS_NICE; running at normal "
                                 "priority; memory not locked (RLIMIT_MEMLOCK is 8192 KiB, not "
                                 "unlimited): grant LimitMEMLOCK=infinity in the unit, memlock "
                                 "unlimited in /etc/security/limits.d, or CAP_IPC_LOCK"));
}

// A stop while a write waits for a device that takes nothing, and while a network device of
// the start-up does not answer (a listener whose queue is full), ends with the signal's status.
TEST(Runner, AStopDuringAStuckWriteOrAStartUpConnectEndsWithTheSignalsStatus) {
    const UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    const auto name = reinterpret_cast<sockaddr*>(&address);
    ASSERT_EQ(::bind(listener.get(), name, length), 0);
    ASSERT_EQ(::listen(listener.get(), 0), 0); // one connection queued at most
    ASSERT_EQ(::getsockname(listener.get(), name, &length), 0);
    UniqueFd waiting[3];
    for (UniqueFd& fd : waiting) {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(fd.get(), name, length);
    }
    const std::string peer = "socket://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    for (const std::string& device : {"{0}\nWriteTimeout=60000"s, peer}) {
        Show show("Big: 0:" + repeat(" 5A", 1 << 18) + "\n", "0:0:0 Big\n",
                  "[Common]\nRequire=1\n[Port0]\nDevice=" + device + "\n");
        ChildProcess run(show.command());
        if (device != peer) { // the write has begun, and the pty is full again
            ASSERT_FALSE(show.port0.read(1, 5000).empty());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        run.sendSignal(SIGTERM);
        EXPECT_EQ(run.wait(10000), 143) << run.err();
        EXPECT_EQ(run.err().find("needs port"), std::string::npos) << run.err(); // not blamed
    }
}

TEST(StopSignals, TheFirstSignalIsNotedAndStopsTheSecondOfItsKindKills) {
    // In a child: whatever the runner may be stuck in, a second Ctrl-C still ends it.
    ChildProcess child([] {
        cli::StopSignals signals;
        ::raise(SIGINT);
        if (signals.received() != SIGINT)
            return 1;
        if (!stopRequested())
            return 2;
        ::raise(SIGINT);
        return 3; // not reached: the second SIGINT kills
    });
    EXPECT_EQ(child.wait(), -SIGINT) << "1: the signal was not noted; 2: no stop was requested; "
                                        "3: the second signal did not kill";
}

// How stdout and stderr are left: a pipe whose reader has gone (as after `| head -n 1`), one
// the test reads only at the end (a supervisor that stalls) or from a second after the start
// (a slow reader), or all three standard ones closed.
enum class Output { ReaderGone, NobodyReads, ReadsLate, Closed };

// Runs `argv` so: its exit code (minus the signal that killed it; killed when still running
// after 10 s), and in `unread` what a pipe read only at the end, or from a second on, holds.
int runWith(Output output, const std::vector<std::string>& argv, std::string& unread) {
    int pipes[2] = {-1, -1};
    EXPECT_EQ(::pipe2(pipes, O_CLOEXEC), 0);
    ChildProcess child(argv, output == Output::Closed ? ChildProcess::noDescriptors : pipes[1]);
    ::close(pipes[1]);
    if (output == Output::ReaderGone)
        ::close(std::exchange(pipes[0], -1));
    if (output == Output::ReadsLate)
        std::this_thread::sleep_for(std::chrono::seconds(1));
    else if (child.wait(10000) == ChildProcess::stillRunning) // before the pipe is read to its end
        child.sendSignal(SIGKILL);
    char buffer[4096];
    for (ssize_t got; (got = ::read(pipes[0], buffer, sizeof buffer)) > 0;)
        unread.append(buffer, static_cast<std::size_t>(got));
    ::close(pipes[0]);
    return child.wait(10000);
}

TEST(UnattendedRun, OutputThatCannotBeWrittenOrIsReadLateNeitherHoldsUpNorGarblesTheShow) {
    const std::string name(220, 'N'); // 2,000 lines of 250 bytes: more than a pipe holds
    Show show(name + ": 0: 41\n", repeat("0:0:0 " + name + "\n", 2000));
    const std::string line = "0:0:0.000\t" + show.port0.slavePath() + "\t" + name + "\tDone\n";
    for (Output output :
         {Output::ReaderGone, Output::Closed, Output::ReadsLate, Output::NobodyReads}) {
        std::string unread;
        EXPECT_EQ(runWith(output, show.command(), unread), 0) << static_cast<int>(output);
        // All of it, the run being over, and none of the output.
        EXPECT_EQ(show.port0.read(2000, 5000), std::string(2000, 'A'));
        EXPECT_EQ(show.port0.read(0, 200), "");
        if (output == Output::ReaderGone || output == Output::Closed)
            continue;
        // A reader a second late gets every line; one that never reads gets whole lines, in order.
        ASSERT_GT(unread.size(), line.size());
        EXPECT_EQ(unread.size() % line.size(), 0u) << "a line was cut";
        EXPECT_EQ(unread,
                  repeat(line, output == Output::ReadsLate ? 2000 : unread.size() / line.size()));
    }
}

// A clock that is slow to read (each reading takes 10 ms), as a rewind of a long sequence is
// slow: pass k still starts k pass lengths after the first, measured where the pty receives
// each pass's byte. Losing the time of three readings a pass, as a clock read after the
// rewind does, would put pass 9 some 270 ms late; here they are 300 ms apart to 1 ms.
TEST(UnattendedRun, LoopPassesStartOnePassLengthApartHoweverSlowTheRewind) {
    Show show("A: 0: 41\n", "0:0:0.3 A\n"); // a pass of 300 ms, its only event at its end
    ChildProcess run([&] {
        setProgramDirectory(show.dir.path());
        PortSet ports;
        SequenceClock clock([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return monotonicMilliseconds();
        });
        EventSequence sequence(ports, clock);
        cli::StopSignals signals;
        if (!ports.load() || !sequence.clearAndReloadCommands() ||
            !sequence.load(show.dir.file("seq.txt")))
            return 1;
        return cli::SequenceRunner(sequence, signals, {false, true, 0}, {}, STDOUT_FILENO).run();
    });
    std::vector<std::chrono::steady_clock::time_point> starts;
    while (starts.size() < 10) {
        ASSERT_EQ(show.port0.read(1, 5000), "A") << run.err();
        starts.push_back(std::chrono::steady_clock::now());
    }
    using Ms = std::chrono::duration<double, std::milli>;
    for (std::size_t k = 1; k < starts.size(); ++k)
        EXPECT_NEAR(Ms(starts[k] - starts[0]).count(), 300.0 * k, 100.0) << "pass " << k;
    run.sendSignal(SIGTERM);
    EXPECT_EQ(run.wait(), 143);
}

} // namespace
} // namespace cadentor::test
