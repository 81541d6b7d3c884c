#pragma once
// The headless runner: the desktop program's files and run semantics without a window.
//
// Start-up is the desktop program's Initialize (PortSet::load, then the command table), then
// the sequence file or the command list is loaded. A port set or command table that fails to
// load is reported and start-up goes on without it: a failed port set opens no port, so a
// sequence with an event for a port then fails to load (message 11 names the line and the
// port; ExitUsage), as does any line without a command table. A sequence that loads all the
// same runs, and the exit status is then ExitFailed. A stop signal during start-up ends it
// with the signal's status.
// A run (SequenceRunner) runs the events as they fall due. Every event that gets an outcome is
// printed at once as one line "TIME<TAB>PORT<TAB>NAME<TAB>Done" (or Failed, or Missed) on
// stdout, through ShowOutput, so a slow or vanished reader never holds up the run. A failure
// stops the run unless failures are to be skipped, as the SkipError box does. Messages go to stderr
// as "cadentor-run: TEXT", followed by an indented line with the detail when the failing operation
// gave one.

#include "sequence/EventSequence.h"
#include "sequence/RunPolicy.h"
#include "sequence/ShowSchedule.h"

#include <cstdint>
#include <optional>
#include <string>

namespace cadentor::control {
class ControlHub;
class ControlSnapshot;
class SystemdNotify;
} // namespace cadentor::control

namespace cadentor::cli {

class StopSignals;

enum ExitCode : int {
    ExitDone = 0,        // every executed event Done
    ExitFailed = 1,      // an event failed, or a port or Command.def failed at start-up
                         // and the sequence loaded all the same
    ExitUsage = 2,       // bad usage, or a file that did not load (or did not check)
    ExitSignalBase = 128 // + the number of the signal that stopped the run
};

// When a run starts and ends by the wall clock, and how it joins a show in progress.
struct ShowTiming {
    std::optional<WallTime> start; // none: sequence time 0 is when the run begins
    std::optional<WallTime> until; // none: the run ends with the sequence (or never, looping)
};

// Runs a loaded sequence in automatic mode, deciding what follows each outcome by RunPolicy.
// Sleeps on an absolute CLOCK_MONOTONIC deadline until the next event falls due, with the stop
// signals let in only while events execute and while it sleeps. Without a start time, sequence
// time 0 is the first millisecond boundary after run() begins. With one, the runner waits for
// the start (one line on stderr says when), or joins the show in place (RunPolicy::joinAt); it
// then compares the wall clock with its own position at least once a second and re-aligns
// (RunPolicy::alignTo) when the wall clock was set. A daily show waits for the next day's start
// when the day's run ends, the ports kept open. The run's end time is checked on every wake.
// Every event that gets an outcome is printed at once as "TIME<TAB>PORT<TAB>NAME<TAB>OUTCOME".
class SequenceRunner {
public:
    SequenceRunner(EventSequence& sequence, StopSignals& signals, RunSettings settings,
                   ShowTiming timing, int out, WallSource wall = realtimeMilliseconds);
    // ExitDone, ExitFailed, or ExitSignalBase + the signal when a stop signal came.
    int run();
    // The run tells `notify` of every outcome and what it waits for, and ticks it whenever it
    // is about to sleep, never sleeping past its wakeBy(); when it has a service manager to tell.
    void notifyTo(control::SystemdNotify& notify);
    // Lets control clients see and drive the run: the loop's waits also end when the hub's
    // wake descriptor is readable, requests are answered between steps (never while events
    // execute), and a snapshot is published after every change, at most ten times a second
    // for events alone. Before run().
    void attachControl(control::ControlHub& hub, const control::ControlSnapshot& snapshot);

private:
    enum class DayEnd { Ended, Halted, Stopped };
    void printOutcome(const SequenceEvent& event);
    // Sleeps until the earliest of: the next event (none: no limit), `wallDeadline` by the
    // wall clock, and `checkMs` from now (0: none). False on a stop.
    bool sleepForNext(std::optional<TimeCode> due, bool afterIdleStep, std::int64_t wallDeadline,
                      std::int64_t checkMs);
    // Sequence time 0:00 at wall instant `start` (ms): the millisecond source's phase is set
    // so that its milliseconds begin with the wall clock's, and the next one is waited for.
    bool alignToWall(std::int64_t start);
    DayEnd runDay(const ShowSchedule::Decision& day, bool tied);

    EventSequence& sequence_;
    StopSignals& signals_;
    RunPolicy policy_;
    ShowTiming timing_;
    int out_; // the descriptor the outcomes are printed on
    WallSource wall_;
    bool anyFailed_ = false;
    control::SystemdNotify* notify_ = nullptr;
    // control, when attached
    void serveControl(bool started);
    // Publishes when something changed and the last snapshot is 100 ms old; else the ms to
    // wait before it may (0: nothing waits to be published).
    std::int64_t publishChanges();
    control::ControlHub* hub_ = nullptr;
    const control::ControlSnapshot* snapshot_ = nullptr;
    bool changed_ = false;
    std::int64_t publishedNs_ = 0;
};

// The whole program after the TimerResolution guard: returns the exit code.
int runCommandLine(int argc, char** argv);

} // namespace cadentor::cli
