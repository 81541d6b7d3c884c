#include "cli/Runner.h"

#include "cli/Duration.h"
#include "cli/JournalStream.h"
#include "cli/OptionReader.h"
#include "cli/RealtimeScheduling.h"
#include "cli/ShowOutput.h"
#include "cli/StopSignals.h"
#include "control/ControlHub.h"
#include "control/ControlOptions.h"
#include "control/ControlSnapshot.h"
#include "control/HttpServer.h"
#include "control/OscServer.h"
#include "control/SystemdNotify.h"
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
    "                    [--start-at WHEN] [--until WHEN] [--catch-up DURATION]\n"
    "                    [--program-output inherit|null] [--realtime[=PRIORITY]]\n"
    "                    [--wait-for-devices DURATION]\n"
    "                    [--control [ADDRESS:]PORT [--control-token FILE]]\n"
    "                    [--osc [ADDRESS:]PORT]\n"
    "                    (SEQUENCE | --command-list)\n"
    "       cadentor-run --help | --version\n"
    "\n"
    "Runs the event sequence file SEQUENCE from sequence time 0 against the commands of\n"
    "Command.def and the ports of Config.ini, and prints one line per executed event:\n"
    "TIME, PORT, NAME and Done, Failed or Missed, separated by tabs.\n"
    "\n"
    "  --dir DIR       read Config.ini and Command.def in DIR (default: the program's own\n"
    "                  directory when it holds either file, otherwise\n"
    "                  $XDG_CONFIG_HOME/cadentor, normally ~/.config/cadentor)\n"
    "  --skip-errors   pass over an event that fails and go on\n"
    "  --loop          after the last event start again from 0:00, the ports kept open,\n"
    "                  until stopped or (without --skip-errors) an event fails; a pass\n"
    "                  lasts until the last event's time; an empty sequence ends at once;\n"
    "                  --list and --check do not loop\n"
    "  --start-at WHEN sequence time 0:00 is WHEN: HH:MM[:SS[.mmm]] local time, every\n"
    "                  day, or YYYY-MM-DDTHH:MM[:SS[.mmm]][Z|+HH:MM|-HH:MM] once; waits\n"
    "                  for it, or joins a show in progress where the wall clock is\n"
    "                  (with --loop within its pass), the events before that Missed;\n"
    "                  follows the wall clock when it is set; every day, it waits for\n"
    "                  the next day's start when the day's run has ended\n"
    "  --until WHEN    end the run at WHEN (same forms: a time of day ends each day)\n"
    "  --catch-up DURATION\n"
    "                  joining a show, still run the events missed less than\n"
    "                  DURATION ago (1500ms, 30s, 5m, 1h; default 0)\n"
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
    "  --control [ADDRESS:]PORT\n"
    "                  serve the show's state, a control page and its verbs over HTTP at\n"
    "                  ADDRESS (default 127.0.0.1; [::1] for IPv6); port 0 picks a free\n"
    "                  one; the address is printed on stderr\n"
    "  --control-token FILE\n"
    "                  clients must send \"Authorization: Bearer TOKEN\", TOKEN being the\n"
    "                  first line of FILE, which only its owner may read; needed for an\n"
    "                  ADDRESS other than loopback\n"
    "  --osc [ADDRESS:]PORT\n"
    "                  take OSC messages /cadentor/pause, resume, rewind, status, fire ,s\n"
    "                  NAME and seek ,s H:M:S.mmm on UDP at ADDRESS (default 127.0.0.1);\n"
    "                  each is answered with /cadentor/state ,sis STATE POSITION_MS NAME\n"
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

void writeAll(int fd, std::string_view text, LogLevel level = LogLevel::Info) {
    writeOutput(fd, text, level);
}

void complain(const std::string& text, LogLevel level = LogLevel::Error) {
    writeAll(STDERR_FILENO, std::string(programName) + ": " + text + "\n", level);
}

// Prints every message to stderr, a line break of the text (message 9's CR LF before the name)
// indented as the detail is, and counts them.
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
            if (report.text[i] == '\n')
                text += "  ";
        }
        text += '\n';
        if (!report.detail.empty())
            text += "  " + report.detail + "\n";
        writeAll(STDERR_FILENO, text, LogLevel::Error);
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
    ShowTiming timing;
    std::int64_t catchUp = 0; // ms
    std::int64_t waitForDevicesMs = 0;
    std::string waitForDevices; // as given
    bool help = false;
    bool version = false;
    std::string directory; // empty: programDirectory()'s own choice
    std::string sequencePath;
    std::optional<control::ListenAddress> controlAddress;
    std::string controlTokenPath; // empty: no token
    std::optional<control::ListenAddress> oscAddress;
};

// False, with `error` saying what `option` takes instead of `text`.
bool badWallTime(const char* option, const std::string& text, std::string& error) {
    error = std::string(option) +
            " takes HH:MM[:SS[.mmm]] (every day) or "
            "YYYY-MM-DDTHH:MM[:SS[.mmm]][Z|+HH:MM|-HH:MM] (once), not '" +
            text + "'";
    return false;
}

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
        } else if (std::optional<std::string> when = args.value("--start-at")) {
            if (!(options.timing.start = parseWallTime(*when)))
                return badWallTime("--start-at", *when, error);
        } else if (std::optional<std::string> until = args.value("--until")) {
            if (!(options.timing.until = parseWallTime(*until)))
                return badWallTime("--until", *until, error);
        } else if (std::optional<std::string> catchUp = args.value("--catch-up")) {
            const std::optional<std::int64_t> ms = parseDuration(*catchUp);
            if (!ms) {
                error = "--catch-up takes a duration such as 1500ms, 30s, 5m or 1h, not '" +
                        *catchUp + "'";
                return false;
            }
            options.catchUp = *ms;
        } else if (std::optional<std::string> address = args.value("--control")) {
            if (!(options.controlAddress = control::parseListenAddress(*address, error))) {
                error = "--control: " + error;
                return false;
            }
        } else if (std::optional<std::string> path = args.value("--control-token")) {
            if (path->empty()) {
                error = "--control-token needs a file";
                return false;
            }
            options.controlTokenPath = *path;
        } else if (std::optional<std::string> address = args.value("--osc")) {
            if (!(options.oscAddress = control::parseListenAddress(*address, error))) {
                error = "--osc: " + error;
                return false;
            }
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
    if (!options.controlTokenPath.empty() && !options.controlAddress) {
        error = "--control-token without --control";
        return false;
    }
    if (options.controlAddress && !options.controlAddress->loopback &&
        options.controlTokenPath.empty()) {
        error = "--control on " + options.controlAddress->host +
                ", not loopback, needs --control-token FILE";
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

void warn(const std::string& text) {
    complain("warning: " + text, LogLevel::Warning);
}

// "1 event", "2 events".
std::string eventCount(const EventSequence& sequence) {
    return std::to_string(sequence.count()) + (sequence.count() == 1 ? " event" : " events");
}

// What a run has loaded, for the journal: "loaded DIR: port 0 DEVICE, ...; N events from SEQ".
std::string loadedLine(const EventSequence& sequence, const std::string& source) {
    std::string ports;
    for (PortId id = 0; id < sequence.ports().count(); ++id)
        ports += (id == 0 ? "port " : ", port ") + std::to_string(id) + " " +
                 sequence.ports().port(id)->deviceName();
    return "loaded " + programDirectory() + ": " + (ports.empty() ? "no port" : ports) + "; " +
           eventCount(sequence) + " from " + source;
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
// The service manager is told at the first wait that the runner is ready and what it waits
// for, so that a long wait does not run into its start time-out, and the watchdog is fed.
bool loadWaitingForDevices(PortSet& ports, const Options& options, StopSignals& signals,
                           control::SystemdNotify& notify) {
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
        if (failure->detail != waitingFor) {
            const std::string waiting = "waiting up to " + options.waitForDevices +
                                        " for a device: " + (waitingFor = failure->detail);
            complain(waiting);
            notify.ready(waiting);
        }
        notify.tick(monotonicNanoseconds());
        signals.hold();
        const bool slept = signals.sleepUntil(next);
        signals.release();
        if (!slept)
            return false;
    }
}

} // namespace

SequenceRunner::SequenceRunner(EventSequence& sequence, StopSignals& signals, RunSettings settings,
                               ShowTiming timing, int out, WallSource wall)
    : sequence_(sequence), signals_(signals),
      policy_(sequence, settings, [this](const SequenceEvent& event, int) { printOutcome(event); }),
      timing_(timing), out_(out), wall_(std::move(wall)) {}

void SequenceRunner::printOutcome(const SequenceEvent& event) {
    changed_ = true;
    static constexpr const char* outcomes[] = {"\tPending\n", "\tDone\n", "\tFailed\n",
                                               "\tMissed\n"};
    static constexpr LogLevel levels[] = {LogLevel::Info, LogLevel::Info, LogLevel::Error,
                                          LogLevel::Warning};
    writeAll(out_, eventLine(event) + outcomes[static_cast<int>(event.status())],
             levels[static_cast<int>(event.status())]);
    if (notify_)
        notify_->executed();
    if (event.status() != EventStatus::Failed)
        return;
    anyFailed_ = true;
    if (commandKind(event.portId()) != CommandKind::Send && !event.failureReason().empty())
        complain((commandKind(event.portId()) == CommandKind::Open ? "could not open "
                                                                   : "could not start ") +
                 event.name() + "\n  " + event.failureReason());
}

// The millisecond counter reaches readingAt(due) at the start of a millisecond: `due` minus the
// sequence time now, from the start of the current one (DueInstant.h). An idle step (nothing
// ran) whose event is due already cannot happen with one clock; should it ever, the next step
// comes a fraction of a millisecond later instead of spinning.
bool SequenceRunner::sleepForNext(std::optional<TimeCode> due, bool afterIdleStep,
                                  std::int64_t wallDeadline, std::int64_t checkMs) {
    constexpr std::int64_t longest = 3600000; // ms: a paused run still looks at its deadlines
    const std::int64_t now = monotonicNanoseconds();
    if (notify_)
        notify_->tick(now);
    std::int64_t deadline = now + longest * 1000000;
    if (due && !sequence_.clock().isPaused()) {
        const DueInstant instant = dueInstant(sequence_.clock(), *due);
        if (instant.reached() && !afterIdleStep)
            return signals_.received() == 0;
        deadline = std::min(deadline, instant.reached() ? instant.now + 200000 : instant.due);
    }
    if (wallDeadline != INT64_MAX) {
        const std::int64_t left = std::clamp<std::int64_t>(wallDeadline - wall_(), 0, longest);
        deadline = std::min(deadline, now + left * 1000000);
    }
    if (checkMs > 0)
        deadline = std::min(deadline, now + checkMs * 1000000);
    if (notify_)
        deadline = std::min(deadline, notify_->wakeBy());
    return signals_.sleepUntil(static_cast<std::uint64_t>(deadline), hub_ ? hub_->wakeFd() : -1);
}

void SequenceRunner::notifyTo(control::SystemdNotify& notify) {
    notify.watch(policy_);
    notify_ = notify.active() ? &notify : nullptr;
}

// The offset of the wall clock from CLOCK_MONOTONIC, read between two wall readings, places
// `start` on the monotonic clock; the millisecond source is shifted so that its milliseconds
// begin there. Runners on machines whose wall clocks agree thus fire together, to well below a
// millisecond. A run that waited for its start begins at 0:00; a later one joins in place.
bool SequenceRunner::alignToWall(std::int64_t start) {
    constexpr std::int64_t ms = 1000000;
    timespec first{}, mono{}, second{};
    ::clock_gettime(CLOCK_REALTIME, &first);
    ::clock_gettime(CLOCK_MONOTONIC, &mono);
    ::clock_gettime(CLOCK_REALTIME, &second);
    auto ns = [](const timespec& t) { return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
    const std::int64_t offset = (ns(first) + ns(second)) / 2 - ns(mono);
    const std::int64_t monoStart = start * ms - offset;
    const std::int64_t phase = (monoStart % ms + ms) % ms;
    sequence_.clock().setPhase(phase);
    const std::int64_t now = monotonicNanoseconds();
    const std::int64_t nextBoundary = now - (now - phase) % ms + ms;
    if (!signals_.sleepUntil(static_cast<std::uint64_t>(std::max(monoStart, nextBoundary))))
        return false;
    // Woken late for the start (a loaded machine), the run keeps its time; its first events
    // run late rather than Missed.
    const std::int64_t position = (monotonicNanoseconds() - phase) / ms - (monoStart - phase) / ms;
    policy_.joinAt(position, monoStart >= nextBoundary ? position : 0);
    return true;
}

SequenceRunner::DayEnd SequenceRunner::runDay(const ShowSchedule::Decision& day, bool tied) {
    if (tied) {
        if (!alignToWall(day.start))
            return DayEnd::Stopped;
    } else {
        // Sequence time 0 starts on a millisecond boundary, so every event falls due at the
        // instant its millisecond begins, measured from the first.
        sequence_.clock().setPhase(0);
        const std::int64_t next = monotonicNanoseconds() / 1000000 + 1;
        if (!signals_.sleepUntil(static_cast<std::uint64_t>(next) * 1000000u))
            return DayEnd::Stopped;
        policy_.joinAt(0);
    }
    changed_ = true; // running now
    for (;;) {
        serveControl(true);
        // The wall clock is looked at before the events, so that a clock that was set is seen
        // before the events it skipped could run.
        const std::int64_t now = wall_();
        if (now >= day.end)
            return DayEnd::Ended;
        std::int64_t check = day.end == INT64_MAX ? 0 : 1000;
        if (tied) {
            const std::int64_t hold = policy_.alignTo(now - day.start);
            check = hold > 0 ? std::min<std::int64_t>(hold, 1000) : 1000;
        }
        const int before = sequence_.currentIndex();
        signals_.release();
        const RunNext next = policy_.step();
        signals_.hold();
        // A stop wins over a failure: a write that gave up because of the stop failed too.
        if (signals_.received() != 0)
            return DayEnd::Stopped;
        if (next == RunNext::Halt)
            return DayEnd::Halted;
        if (next == RunNext::End)
            return DayEnd::Ended;
        if (const std::int64_t publishIn = publishChanges(); publishIn > 0)
            check = check > 0 ? std::min(check, publishIn) : publishIn;
        const std::optional<TimeCode> wake = policy_.nextWake();
        if (!wake && !sequence_.clock().isPaused())
            continue; // the last event was passed over: the next step ends the run
        if (!sleepForNext(wake, sequence_.currentIndex() == before, day.end, check))
            return DayEnd::Stopped;
    }
}

int SequenceRunner::run() {
    signals_.hold();
    if (signals_.received() != 0)
        return stoppedBy(signals_.received());
    const ShowSchedule schedule(timing_.start, timing_.until, policy_.settings().loop,
                                passLength(sequence_), wall_());
    std::optional<std::int64_t> after; // the start of the day's run that has ended
    std::int64_t announced = INT64_MIN;
    for (;;) {
        const ShowSchedule::Decision day =
            timing_.start || timing_.until
                ? schedule.at(wall_(), after)
                : ShowSchedule::Decision{after ? ShowSchedule::Decision::What::End
                                               : ShowSchedule::Decision::What::Run,
                                         0, INT64_MAX};
        if (day.what == ShowSchedule::Decision::What::End)
            return anyFailed_ ? ExitFailed : ExitDone;
        if (day.what == ShowSchedule::Decision::What::Wait) {
            if (day.start != announced) {
                complain("waiting: starts " + formatLocalTime(day.start), LogLevel::Info);
                if (notify_)
                    notify_->status("waiting: starts " + formatLocalTime(day.start));
            }
            announced = day.start;
            serveControl(false);
            // The last second is the run's own: it starts on the wall clock's millisecond.
            if (day.start - wall_() > 1000) {
                if (!sleepForNext(std::nullopt, false, day.start - 500, 1000))
                    return stoppedBy(signals_.received());
                continue;
            }
        }
        const DayEnd end = runDay(day, timing_.start.has_value());
        if (hub_)
            hub_->publish(snapshot_->take(policy_, policy_.state()));
        switch (end) {
        case DayEnd::Stopped:
            return stoppedBy(signals_.received());
        case DayEnd::Halted:
            return ExitFailed;
        case DayEnd::Ended:
            break;
        }
        after = day.start;
    }
}

void SequenceRunner::attachControl(control::ControlHub& hub,
                                   const control::ControlSnapshot& snapshot) {
    hub_ = &hub;
    snapshot_ = &snapshot;
    hub.publish(snapshot.take(policy_, ShowState::Waiting));
}

// Before the start (`started` false) only a command can be fired; once the run has ended
// nothing but that either. A command fired runs with the stop signals let in, as events do.
void SequenceRunner::serveControl(bool started) {
    if (!hub_)
        return;
    using control::ControlReply;
    using control::ControlVerb;
    using control::ReplyStatus;
    const auto answer = [&](const control::ControlRequest& request) -> ControlReply {
        if (request.verb == ControlVerb::Fire) {
            signals_.release();
            const std::optional<bool> done = policy_.fire(request.name);
            signals_.hold();
            if (!done)
                return {ReplyStatus::NotFound, "no command " + request.name + " in Command.def"};
            if (!*done)
                return {ReplyStatus::Failed,
                        request.name + " failed" +
                            (policy_.lastFailure() && !policy_.lastFailure()->reason.empty()
                                 ? ": " + policy_.lastFailure()->reason
                                 : std::string())};
            return {};
        }
        if (!started)
            return {ReplyStatus::Refused, "the show has not started"};
        if (policy_.state() == ShowState::Finished)
            return {ReplyStatus::Refused, "the show has finished"};
        switch (request.verb) {
        case ControlVerb::Pause:
            policy_.pause();
            break;
        case ControlVerb::Resume:
            policy_.resume();
            break;
        case ControlVerb::Rewind:
            policy_.rewind();
            break;
        case ControlVerb::Seek:
            policy_.seek(request.time);
            break;
        case ControlVerb::Fire:
            break;
        }
        return {};
    };
    hub_->handlePending(answer, [&] {
        changed_ = false;
        publishedNs_ = monotonicNanoseconds();
        return snapshot_->take(policy_, started ? policy_.state() : ShowState::Waiting);
    });
}

std::int64_t SequenceRunner::publishChanges() {
    constexpr std::int64_t interval = 100000000; // ns
    if (!hub_ || !changed_)
        return 0;
    const std::int64_t now = monotonicNanoseconds();
    if (const std::int64_t wait = publishedNs_ + interval - now; wait > 0)
        return (wait + 999999) / 1000000;
    changed_ = false;
    publishedNs_ = now;
    hub_->publish(snapshot_->take(policy_, policy_.state()));
    return 0;
}

namespace {

// "http://127.0.0.1:8080/", "http://[::1]:8080/"
std::string hostAndPort(const control::ListenAddress& address, unsigned short port) {
    const bool v6 = address.host.find(':') != std::string::npos;
    return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(port);
}

} // namespace

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
    std::string controlToken;
    if (!options.controlTokenPath.empty() &&
        !control::readTokenFile(options.controlTokenPath, controlToken, error)) {
        complain("--control-token " + error);
        return ExitUsage;
    }

    StderrReporter reporter;
    StopSignals signals;
    SequenceClock clock;
    const bool check = options.mode == Options::Mode::Check;
    // The ports are declared after the signals, so they are closed before the default
    // handling of the signals comes back.
    PortSet ports(check ? DeviceLayer::dryRun() : DeviceLayer::system());
    ports.setNotice([](const std::string& text) { complain(text); });
    EventSequence sequence(ports, clock);
    // From here on, so that the waits of the start-up for network devices feed the watchdog.
    control::SystemdNotify notify(sequence);

    // As the desktop program's Initialize: failures are reported and start-up carries on,
    // except when checking, where each one is the problem to report. Carrying on, the run
    // still ends with ExitFailed, so that a supervisor sees that the show was not whole.
    if (check)
        warnAboutConfig();
    bool startedWhole = options.waitForDevicesMs > 0 && !check
                            ? loadWaitingForDevices(ports, options, signals, notify)
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
    if (isJournalStream(STDERR_FILENO))
        complain(
            loadedLine(sequence, options.commandList ? "the command list" : options.sequencePath),
            LogLevel::Info);
    const bool tied = options.timing.start || options.timing.until;
    const auto schedule = [&] {
        return ShowSchedule(options.timing.start, options.timing.until, options.loop,
                            passLength(sequence), realtimeMilliseconds())
            .describe(realtimeMilliseconds());
    };
    if (options.mode != Options::Mode::Run) {
        if (tied)
            complain(schedule(), LogLevel::Info);
        for (int i = 0; i < sequence.count(); ++i)
            writeAll(STDOUT_FILENO, eventLine(*sequence.eventAt(i)) + "\n");
        if (signals.received() != 0)
            return stoppedBy(signals.received());
        return startedWhole ? ExitDone : ExitFailed;
    }
    // The servers' threads start before the run thread takes a real-time priority, so they
    // keep the normal one: no client's request competes with an event.
    const RunSettings settings{options.skipErrors, options.loop,
                               static_cast<TimeCode>(options.catchUp)};
    SequenceRunner runner(sequence, signals, settings, options.timing, STDOUT_FILENO);
    control::ControlHub hub;
    const control::ControlSnapshot snapshot(sequence);
    control::HttpServer http(hub);
    control::OscServer osc(hub);
    if (options.controlAddress || options.oscAddress) {
        if (!hub.valid()) {
            complain("cannot serve the control: " + std::string(std::strerror(errno)));
            return ExitUsage;
        }
        runner.attachControl(hub, snapshot);
    }
    if (options.controlAddress) {
        if (!http.start(*options.controlAddress, controlToken, error)) {
            complain("--control " + error);
            return ExitUsage;
        }
        complain("control on http://" + hostAndPort(*options.controlAddress, http.port()) + "/");
    }
    if (options.oscAddress) {
        if (!osc.start(*options.oscAddress, error)) {
            complain("--osc " + error);
            return ExitUsage;
        }
        complain("OSC on udp " + hostAndPort(*options.oscAddress, osc.port()));
    }
    if (options.realtimePriority != 0) {
        const std::string refused = enterRealtimeScheduling(options.realtimePriority);
        if (!refused.empty())
            warn("--realtime: " + refused);
    }
    notify.ready("loaded " + eventCount(sequence) + (tied ? "; " + schedule() : ", starting"));
    runner.notifyTo(notify);
    int code = runner.run();
    hub.close(); // a request still waiting is refused at once, not after the servers' time-out
    return code == ExitDone && !startedWhole ? ExitFailed : code;
}

} // namespace cadentor::cli
