#include "cli/Runner.h"

#include "cli/Duration.h"
#include "cli/OptionReader.h"
#include "cli/RealtimeScheduling.h"
#include "cli/ShowOutput.h"
#include "cli/StopSignals.h"
#include "files/ProgramDirectory.h"
#include "messages/Messages.h"
#include "ports/PortConfig.h"
#include "ports/PortSet.h"
#include "ports/SerialDevice.h"
#include "sequence/Actions.h"
#include "sequence/DueInstant.h"
#include "sequence/SequenceClock.h"
#include "sequence/SequenceEvent.h"
#include "sequence/TimeCode.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace cadentor::cli {

namespace {

constexpr const char* programName = "cadentor-run";

constexpr const char* usage =
    "usage: cadentor-run [--dir DIR] [--skip-errors] [--loop] [--list | --check]\n"
    "                    [--program-output inherit|null] [--realtime[=PRIORITY]]\n"
    "                    [--wait-for-devices DURATION]\n"
    "                    (SEQUENCE | --command-list)\n"
    "       cadentor-run --help | --version\n"
    "\n"
    "Runs the event sequence file SEQUENCE from sequence time 0 against the commands of\n"
    "Command.def and the ports of Config.ini, and prints one line per executed event:\n"
    "TIME, PORT, NAME and Done or Failed, separated by tabs.\n"
    "\n"
    "  --dir DIR       read Config.ini and Command.def in DIR (default: the program's own\n"
    "                  directory when it holds either file, otherwise\n"
    "                  $XDG_CONFIG_HOME/cadentor, normally ~/.config/cadentor)\n"
    "  --skip-errors   pass over an event that fails and go on\n"
    "  --loop          after the last event start again from 0:00, the ports kept open,\n"
    "                  until stopped or (without --skip-errors) an event fails; a pass\n"
    "                  lasts until the last event's time; an empty sequence ends at once;\n"
    "                  --list and --check do not loop\n"
    "  --list          load, print the events without their outcome, and stop\n"
    "  --check         check Config.ini, Command.def and SEQUENCE without opening any\n"
    "                  device, print the events, and stop; refuses what a run refuses,\n"
    "                  and warns (status 0) of values that mean other than they seem\n"
    "  --program-output inherit|null\n"
    "                  where programs started by exec and open events write: our own\n"
    "                  stdout and stderr (inherit), or nowhere (null, the default)\n"
    "  --realtime[=PRIORITY]\n"
    "                  once loaded, run on SCHED_FIFO at PRIORITY (1 to 99, default 10)\n"
    "                  with memory locked; programs it starts run at normal priority;\n"
    "                  where the system refuses, a warning says what to grant and the\n"
    "                  run goes on at normal priority\n"
    "  --wait-for-devices DURATION\n"
    "                  when a device does not open at start-up, try again every second\n"
    "                  until all do or DURATION (1500ms, 30s, 5m, 1h) has passed; stderr\n"
    "                  names each device waited for\n"
    "  --command-list  one event per command of Command.def, all at time 0, instead of\n"
    "                  a sequence file\n"
    "  --help          print this text\n"
    "  --version       print the program's name and version\n"
    "\n"
    "Exit status:\n"
    "  0    every executed event done\n"
    "  1    an event failed, or a port did not open or Command.def did not load at\n"
    "       start-up and yet the sequence loaded (it has no event for a port)\n"
    "  2    bad usage, or a file that does not load (with --check: any problem), such\n"
    "       as a sequence that needs a port that did not open\n"
    "  129, 130, 143\n"
    "       stopped by SIGHUP, SIGINT or SIGTERM, at once, the ports closed\n";

void writeAll(int fd, std::string_view text) {
    writeOutput(fd, text);
}

void complain(const std::string& text) {
    writeAll(STDERR_FILENO, std::string(programName) + ": " + text + "\n");
}

// Prints every message to stderr, the text's CR LF (message 9's line break before the name)
// as a newline, and counts them.
class StderrReporter {
public:
    StderrReporter() {
        previous_ = setReporter([this](const ErrorReport& report) { print(report); });
    }
    ~StderrReporter() { setReporter(std::move(previous_)); }
    StderrReporter(const StderrReporter&) = delete;
    StderrReporter& operator=(const StderrReporter&) = delete;

    std::size_t count() const { return count_; }

private:
    void print(const ErrorReport& report) {
        ++count_;
        std::string text = std::string(programName) + ": ";
        for (std::size_t i = 0; i < report.text.size(); ++i) {
            if (report.text[i] == '\r' && i + 1 < report.text.size() && report.text[i + 1] == '\n')
                continue;
            text += report.text[i];
        }
        text += '\n';
        if (!report.detail.empty())
            text += "  " + report.detail + "\n";
        writeAll(STDERR_FILENO, text);
    }

    Reporter previous_;
    std::size_t count_ = 0;
};

bool isDirectory(const std::string& path, std::string& reason) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        reason = std::strerror(ENOTDIR);
        return false;
    }
    return true;
}

struct Options {
    enum class Mode { Run, List, Check };
    Mode mode = Mode::Run;
    bool skipErrors = false;
    bool loop = false; // ignored by List and Check
    bool commandList = false;
    ProgramOutput programOutput = ProgramOutput::Null;
    int realtimePriority = 0; // 0: normal scheduling
    std::int64_t waitForDevicesMs = 0;
    std::string waitForDevices; // as given
    bool help = false;
    bool version = false;
    std::string directory; // empty: programDirectory()'s own choice
    std::string sequencePath;
};

// False with `error` set (one line, no program name) for an unknown option, a missing or extra
// SEQUENCE, or options that exclude each other.
bool parseArguments(int argc, const char* const* argv, Options& options, std::string& error) {
    bool list = false;
    bool check = false;
    int sequences = 0;
    OptionReader args(argc, argv);
    while (args.next()) {
        if (args.isOperand()) {
            if (args.current().empty()) {
                error = "the SEQUENCE file name is empty";
                return false;
            }
            ++sequences;
            options.sequencePath = std::string(args.current());
        } else if (std::optional<std::string> directory = args.value("--dir")) {
            if (directory->empty()) {
                error = "--dir needs a directory";
                return false;
            }
            options.directory = *directory;
        } else if (std::optional<std::string> output = args.value("--program-output")) {
            if (*output != "inherit" && *output != "null") {
                error = "--program-output takes inherit or null, not '" + *output + "'";
                return false;
            }
            options.programOutput =
                *output == "inherit" ? ProgramOutput::Inherit : ProgramOutput::Null;
        } else if (args.isFlag("--realtime")) {
            options.realtimePriority = defaultRealtimePriority;
        } else if (std::optional<std::string> priority = args.value("--realtime")) {
            std::optional<long> number =
                parseNumber(*priority, lowestRealtimePriority, highestRealtimePriority);
            if (!number) {
                error = "--realtime takes a priority from 1 to 99, not '" + *priority + "'";
                return false;
            }
            options.realtimePriority = static_cast<int>(*number);
        } else if (std::optional<std::string> wait = args.value("--wait-for-devices")) {
            std::optional<std::int64_t> ms = parseDuration(*wait);
            if (!ms) {
                error =
                    "--wait-for-devices takes a duration such as 30s or 5m, not '" + *wait + "'";
                return false;
            }
            options.waitForDevicesMs = *ms;
            options.waitForDevices = *wait;
        } else if (args.isFlag("--skip-errors")) {
            options.skipErrors = true;
        } else if (args.isFlag("--loop")) {
            options.loop = true;
        } else if (args.isFlag("--list")) {
            list = true;
        } else if (args.isFlag("--check")) {
            check = true;
        } else if (args.isFlag("--command-list")) {
            options.commandList = true;
        } else if (args.isFlag("--help")) {
            options.help = true;
        } else if (args.isFlag("--version")) {
            options.version = true;
        } else {
            error = "unknown option '" + std::string(args.current()) + "'";
            return false;
        }
    }
    if (options.help || options.version)
        return true;
    if (list && check) {
        error = "--list and --check exclude each other";
        return false;
    }
    options.mode = check ? Options::Mode::Check : list ? Options::Mode::List : Options::Mode::Run;
    if (options.commandList && sequences > 0) {
        error = "give either SEQUENCE or --command-list, not both";
        return false;
    }
    if (!options.commandList && sequences == 0) {
        error = "no SEQUENCE given";
        return false;
    }
    if (sequences > 1) {
        error = "more than one SEQUENCE given";
        return false;
    }
    return true;
}

// "TIME<TAB>PORT<TAB>NAME", the line of one event without its outcome.
std::string eventLine(const SequenceEvent& event) {
    return formatTimeCode(event.timeCode()) + '\t' + event.portText() + '\t' + event.name();
}

int stoppedBy(int signal) {
    return ExitSignalBase + signal;
}

// A pass of --loop lasts until the last event's time code, and at least 1 ms so that a
// sequence all at 0:00 does not spin. The sequence holds an event.
TimeCode passLength(const EventSequence& sequence) {
    return std::max<TimeCode>(sequence.eventAt(sequence.count() - 1)->timeCode(), 1);
}

void warn(const std::string& text) {
    complain("warning: " + text);
}

// The check's warnings about Config.ini; a file that cannot be read is the port set's to report.
void warnAboutConfig() {
    const std::string path = configFilePath();
    ProfileFile profile;
    std::string error;
    if (ProfileFile::load(path, profile, error))
        for (const std::string& warning : configWarnings(profile))
            warn(path + " " + warning);
}

// What the check finds in the loaded events beyond the files themselves: a command too long
// for one write to its port's device is refused with the message its write would give; with
// --loop, a pass shorter than a second that starts a program is a warning. False when refused.
bool checkEvents(const EventSequence& sequence, bool loop) {
    for (int i = 0; i < sequence.count(); ++i) {
        const SequenceEvent& event = *sequence.eventAt(i);
        const SerialPort* port = sequence.ports().port(event.portId());
        if (port && event.byteCount() > largestWrite(port->deviceName())) {
            raiseMessage(MessageId::PortWriteFailed,
                         port->deviceName() + ": " + event.name() + " has " +
                             std::to_string(event.byteCount()) +
                             " bytes, more than one datagram (" +
                             std::to_string(largestWrite(port->deviceName())) + ") holds");
            return false;
        }
    }
    if (!loop || sequence.count() == 0 || passLength(sequence) >= 1000)
        return true;
    for (int i = 0; i < sequence.count(); ++i) {
        const SequenceEvent& event = *sequence.eventAt(i);
        if (commandKind(event.portId()) != CommandKind::Send) {
            warn("--loop: a pass lasts " + std::to_string(passLength(sequence)) + " ms, so " +
                 event.name() + " starts " + std::to_string(1000 / passLength(sequence)) +
                 " times a second; an event at the end gives the pass its length");
            break;
        }
    }
    return true;
}

// PortSet::load, tried again every second while a device does not open, until `waitMs` has
// passed, a stop signal came (false at once) or another failure comes that waiting does not
// mend. Each device waited for is named once on stderr; the last try reports as a load does.
bool loadWaitingForDevices(PortSet& ports, const Options& options, StopSignals& signals) {
    const std::uint64_t end = static_cast<std::uint64_t>(monotonicNanoseconds()) +
                              static_cast<std::uint64_t>(options.waitForDevicesMs) * 1000000u;
    std::string waitingFor;
    for (;;) {
        const std::uint64_t next = static_cast<std::uint64_t>(monotonicNanoseconds()) + 1000000000u;
        if (next >= end)
            return ports.load();
        std::optional<ErrorReport> failure;
        const Reporter previous = setReporter([&](const ErrorReport& report) { failure = report; });
        const bool loaded = ports.load();
        setReporter(previous);
        if (loaded || signals.received() != 0)
            return loaded;
        if (!failure || failure->id != MessageId::PortOpenFailed) {
            if (failure)
                showErrorMessage(nullptr, failure->text, failure->id, failure->detail);
            return false;
        }
        if (failure->detail != waitingFor)
            complain("waiting up to " + options.waitForDevices +
                     " for a device: " + (waitingFor = failure->detail));
        signals.hold();
        const bool slept = signals.sleepUntil(next);
        signals.release();
        if (!slept)
            return false;
    }
}

} // namespace

SequenceRunner::SequenceRunner(EventSequence& sequence, SequenceClock& clock, StopSignals& signals,
                               bool skipErrors, bool loop, int out)
    : sequence_(sequence), clock_(clock), signals_(signals), skipErrors_(skipErrors), loop_(loop),
      out_(out) {}

void SequenceRunner::printOutcome(int index) {
    const SequenceEvent* event = sequence_.eventAt(index);
    if (event == nullptr)
        return;
    bool done = event->status() == EventStatus::Done;
    writeAll(out_, eventLine(*event) + (done ? "\tDone\n" : "\tFailed\n"));
    if (!done && commandKind(event->portId()) != CommandKind::Send &&
        !event->failureReason().empty())
        complain((commandKind(event->portId()) == CommandKind::Open ? "could not open "
                                                                    : "could not start ") +
                 event->name() + "\n  " + event->failureReason());
}

// The millisecond counter is CLOCK_MONOTONIC in whole milliseconds, so the counter reaches
// readingAt(due) at the start of a millisecond: `due` minus the sequence time now, in
// milliseconds, from the start of the current one. The distance is taken in sequence time,
// as runDue compares, so an event more than 2^31 ms ahead is still ahead. An idle call
// (nothing ran) whose event is due already cannot happen with one clock; should it ever, the
// next call comes a fraction of a millisecond later instead of spinning.
bool SequenceRunner::sleepUntilDue(TimeCode due, bool afterIdleCall) {
    const DueInstant instant = dueInstant(clock_, due);
    if (instant.reached())
        return afterIdleCall
                   ? signals_.sleepUntil(static_cast<std::uint64_t>(instant.now) + 200000u)
                   : signals_.received() == 0;
    return signals_.sleepUntil(static_cast<std::uint64_t>(instant.due));
}

// The next pass starts at the sequence time this one's last event has, not when that event
// ran or the rewind ended, so passes do not drift apart from the clock: pass k starts k pass
// lengths after the first. A pass lasts its last time code, and at least 1 ms so that a
// sequence all at 0:00 does not spin. Events of the new pass that are due already (the last
// event ran late) run at once.
bool SequenceRunner::startNextPass() {
    const TimeCode length = passLength(sequence_);
    if (!sleepUntilDue(length, false))
        return false;
    sequence_.rewind();
    clock_.moveBack(length); // the clock keeps running: the rewind's time is not lost
    return true;
}

int SequenceRunner::run() {
    signals_.hold();
    // Sequence time 0 starts on a millisecond boundary, so every event falls due at the
    // instant its millisecond begins, measured from the first.
    std::uint64_t nextMs = static_cast<std::uint64_t>(monotonicNanoseconds()) / 1000000u + 1;
    if (signals_.received() != 0 || !signals_.sleepUntil(nextMs * 1000000u))
        return stoppedBy(signals_.received());
    clock_.resetToZero();
    clock_.resume();

    bool anyFailed = false;
    for (;;) {
        int before = sequence_.currentIndex();
        signals_.release();
        RunOutcome outcome = sequence_.runDue();
        signals_.hold();
        int after = sequence_.currentIndex();
        for (int i = before + 1; i <= after; ++i)
            printOutcome(i);
        if (outcome == RunOutcome::Failed) {
            printOutcome(after + 1);
            anyFailed = true;
        }
        // A stop wins over a failure: a write that gave up because of the stop failed too.
        if (signals_.received() != 0)
            return stoppedBy(signals_.received());
        if (outcome == RunOutcome::Failed) {
            if (!skipErrors_)
                return ExitFailed;
            sequence_.skipCurrent();
        }
        if (outcome == RunOutcome::Finished) {
            if (!loop_ || sequence_.count() == 0)
                return anyFailed ? ExitFailed : ExitDone;
            if (!startNextPass())
                return stoppedBy(signals_.received());
            continue;
        }
        std::optional<TimeCode> next = sequence_.nextDueTime();
        if (next && !sleepUntilDue(*next, outcome == RunOutcome::NothingDue))
            return stoppedBy(signals_.received());
    }
}

int runCommandLine(int argc, char** argv) {
    prepareStandardOutput();
    Options options;
    std::string error;
    if (!parseArguments(argc, argv, options, error)) {
        complain(error);
        writeAll(STDERR_FILENO, usage);
        return ExitUsage;
    }
    if (options.help) {
        writeAll(STDOUT_FILENO, usage);
        return ExitDone;
    }
    if (options.version) {
        writeAll(STDOUT_FILENO, loadMessage(MessageId::AppTitle) + "\n");
        return ExitDone;
    }
    if (!options.directory.empty()) {
        std::string reason;
        if (!isDirectory(options.directory, reason)) {
            complain("--dir " + options.directory + ": " + reason);
            return ExitUsage;
        }
        setProgramDirectory(options.directory);
    }
    setProgramOutput(options.programOutput);

    StderrReporter reporter;
    StopSignals signals;
    SequenceClock clock;
    const bool check = options.mode == Options::Mode::Check;
    // The ports are declared after the signals, so they are closed before the default
    // handling of the signals comes back.
    PortSet ports(check ? DeviceLayer::dryRun() : DeviceLayer::system());
    ports.setNotice([](const std::string& text) { complain(text); });
    EventSequence sequence(ports, clock);

    // As the desktop program's Initialize: failures are reported and start-up carries on,
    // except when checking, where each one is the problem to report. Carrying on, the run
    // still ends with ExitFailed, so that a supervisor sees that the show was not whole.
    if (check)
        warnAboutConfig();
    bool startedWhole = options.waitForDevicesMs > 0 && !check
                            ? loadWaitingForDevices(ports, options, signals)
                            : ports.load();
    if (!startedWhole && check)
        return ExitUsage;
    if (signals.received() != 0)
        return stoppedBy(signals.received());
    std::size_t reportsBefore = reporter.count();
    if (!sequence.clearAndReloadCommands()) {
        if (check)
            return ExitUsage;
        startedWhole = false;
    }
    // A stop while a network device connected or a file was read: the sequence would only be
    // refused for the ports or commands that the stop cut short.
    if (signals.received() != 0)
        return stoppedBy(signals.received());
    bool loaded =
        options.commandList ? sequence.loadCommandList() : sequence.load(options.sequencePath);
    if (signals.received() != 0)
        return stoppedBy(signals.received());
    if (!loaded) {
        // An empty table fails the command list without a message of its own.
        if (options.commandList && reporter.count() == reportsBefore)
            complain("Command.def in " + programDirectory() + " defines no command");
        return ExitUsage;
    }

    if (check && !checkEvents(sequence, options.loop))
        return ExitUsage;
    if (options.mode != Options::Mode::Run) {
        for (int i = 0; i < sequence.count(); ++i)
            writeAll(STDOUT_FILENO, eventLine(*sequence.eventAt(i)) + "\n");
        if (signals.received() != 0)
            return stoppedBy(signals.received());
        return startedWhole ? ExitDone : ExitFailed;
    }
    if (options.realtimePriority != 0) {
        const std::string refused = enterRealtimeScheduling(options.realtimePriority);
        if (!refused.empty())
            warn("--realtime: " + refused);
    }
    int code =
        SequenceRunner(sequence, clock, signals, options.skipErrors, options.loop, STDOUT_FILENO)
            .run();
    return code == ExitDone && !startedWhole ? ExitFailed : code;
}

} // namespace cadentor::cli
