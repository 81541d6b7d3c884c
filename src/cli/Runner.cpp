#include "cli/Runner.h"

#include "cli/StopSignals.h"
#include "files/ProgramDirectory.h"
#include "messages/Messages.h"
#include "ports/PortSet.h"
#include "ports/SerialDevice.h"
#include "sequence/DueInstant.h"
#include "sequence/SequenceClock.h"
#include "sequence/SequenceEvent.h"
#include "sequence/TimeCode.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

namespace cadentor::cli {

namespace {

constexpr const char* programName = "cadentor-run";

constexpr const char* usage =
    "usage: cadentor-run [--dir DIR] [--skip-errors] [--list | --check] SEQUENCE\n"
    "       cadentor-run [--dir DIR] [--skip-errors] [--list | --check] --command-list\n"
    "       cadentor-run --help | --version\n"
    "\n"
    "Runs the event sequence file SEQUENCE from sequence time 0 against the commands of\n"
    "Command.def and the ports of Config.ini, and prints one line per executed event:\n"
    "TIME, PORT, NAME and Done or Failed, separated by tabs.\n"
    "\n"
    "  --dir DIR       read Config.ini and Command.def in DIR (default: the directory of\n"
    "                  this program)\n"
    "  --skip-errors   pass over an event that fails and go on\n"
    "  --list          load, print the events without their outcome, and stop\n"
    "  --check         check Config.ini, Command.def and SEQUENCE without opening any\n"
    "                  device, print the events, and stop\n"
    "  --command-list  one event per command of Command.def, all at time 0, instead of\n"
    "                  a sequence file\n"
    "  --help          print this text\n"
    "  --version       print the program's name and version\n"
    "\n"
    "Exit status: 0 every executed event done, 1 an event failed, 2 bad usage or a file\n"
    "that does not load, 130 stopped by SIGINT, 143 stopped by SIGTERM.\n";

void writeAll(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void complain(const std::string& text) {
    writeAll(stderr, std::string(programName) + ": " + text + "\n");
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
        writeAll(stderr, text);
    }

    Reporter previous_;
    std::size_t count_ = 0;
};

bool takeValue(int argc, const char* const* argv, int& i, std::string_view name,
               std::string& value) {
    std::string_view arg = argv[i];
    if (arg == name) {
        if (i + 1 >= argc)
            return false;
        value = argv[++i];
    } else {
        value = std::string(arg.substr(name.size() + 1)); // --name=value
    }
    return !value.empty();
}

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

int stoppedBy(int signal) {
    return ExitSignalBase + signal;
}

} // namespace

const char* usageText() {
    return usage;
}

bool parseArguments(int argc, const char* const* argv, Options& options, std::string& error) {
    bool list = false;
    bool check = false;
    int sequences = 0;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (arg.empty()) {
                error = "the SEQUENCE file name is empty";
                return false;
            }
            ++sequences;
            options.sequencePath = std::string(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--dir" || arg.starts_with("--dir=")) {
            if (!takeValue(argc, argv, i, "--dir", options.directory)) {
                error = "--dir needs a directory";
                return false;
            }
        } else if (arg == "--skip-errors") {
            options.skipErrors = true;
        } else if (arg == "--list") {
            list = true;
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--command-list") {
            options.commandList = true;
        } else if (arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else {
            error = "unknown option '" + std::string(arg) + "'";
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

std::string eventLine(const SequenceEvent& event) {
    return formatTimeCode(event.timeCode()) + '\t' + event.portText() + '\t' + event.name();
}

SequenceRunner::SequenceRunner(EventSequence& sequence, SequenceClock& clock, StopSignals& signals,
                               bool skipErrors, std::FILE* out)
    : sequence_(sequence), clock_(clock), signals_(signals), skipErrors_(skipErrors), out_(out) {}

void SequenceRunner::printOutcome(int index) {
    const SequenceEvent* event = sequence_.eventAt(index);
    if (event == nullptr)
        return;
    bool done = event->status() == EventStatus::Done;
    writeAll(out_, eventLine(*event) + (done ? "\tDone\n" : "\tFailed\n"));
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
            if (!skipErrors_)
                return ExitFailed;
            sequence_.skipCurrent();
        }
        if (signals_.received() != 0)
            return stoppedBy(signals_.received());
        if (outcome == RunOutcome::Finished)
            return anyFailed ? ExitFailed : ExitDone;
        std::optional<TimeCode> next = sequence_.nextDueTime();
        if (next && !sleepUntilDue(*next, outcome == RunOutcome::NothingDue))
            return stoppedBy(signals_.received());
    }
}

int runCommandLine(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseArguments(argc, argv, options, error)) {
        complain(error);
        writeAll(stderr, usage);
        return ExitUsage;
    }
    if (options.help) {
        writeAll(stdout, usage);
        return ExitDone;
    }
    if (options.version) {
        writeAll(stdout, loadMessage(MessageId::AppTitle) + "\n");
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

    StderrReporter reporter;
    StopSignals signals;
    SequenceClock clock;
    const bool check = options.mode == Options::Mode::Check;
    // The ports are declared after the signals, so they are closed before the default
    // handling of the signals comes back.
    PortSet ports(check ? DeviceLayer::dryRun() : DeviceLayer::system());
    EventSequence sequence(ports, clock);

    // As the desktop program's Initialize: failures are reported and start-up carries on,
    // except when checking, where each one is the problem to report.
    if (!ports.load() && check)
        return ExitUsage;
    std::size_t reportsBefore = reporter.count();
    if (!sequence.clearAndReloadCommands() && check)
        return ExitUsage;
    bool loaded =
        options.commandList ? sequence.loadCommandList() : sequence.load(options.sequencePath);
    if (!loaded) {
        // An empty table fails the command list without a message of its own.
        if (options.commandList && reporter.count() == reportsBefore)
            complain("Command.def in " + programDirectory() + " defines no command");
        return ExitUsage;
    }
    if (signals.received() != 0)
        return stoppedBy(signals.received());

    if (options.mode != Options::Mode::Run) {
        for (int i = 0; i < sequence.count(); ++i)
            writeAll(stdout, eventLine(*sequence.eventAt(i)) + "\n");
        return signals.received() != 0 ? stoppedBy(signals.received()) : ExitDone;
    }
    return SequenceRunner(sequence, clock, signals, options.skipErrors, stdout).run();
}

} // namespace cadentor::cli
