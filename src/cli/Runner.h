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
// A run resets the clock to zero, resumes it and calls runDue until the sequence is finished,
// sleeping between calls until the next event falls due. Every executed event is printed at
// once as one line "TIME<TAB>PORT<TAB>NAME<TAB>Done" (or Failed) on stdout, through
// ShowOutput, so a slow or vanished reader never holds up the run. A failure stops the run
// unless failures are to be skipped, as the SkipError box does. Messages go to stderr as
// "cadentor-run: TEXT", followed by an indented line with the detail when the failing
// operation gave one.

#include "sequence/EventSequence.h"

#include <cstdint>
#include <string>

namespace cadentor {
class SequenceClock;
namespace control {
class SystemdNotify;
}
} // namespace cadentor

namespace cadentor::cli {

class StopSignals;

enum ExitCode : int {
    ExitDone = 0,        // every executed event Done
    ExitFailed = 1,      // an event failed, or a port or Command.def failed at start-up
                         // and the sequence loaded all the same
    ExitUsage = 2,       // bad usage, or a file that did not load (or did not check)
    ExitSignalBase = 128 // + the number of the signal that stopped the run
};

// Runs a loaded sequence in automatic mode from sequence time 0. Sleeps on an absolute
// CLOCK_MONOTONIC deadline until the next event falls due, with the stop signals let in only
// while events execute and while it sleeps. Looping, a finished sequence is rewound and runs
// again from 0:00 at the moment its last event's time code is reached, the ports kept open:
// pass k starts k pass lengths after the first on `clock`, however long a rewind takes; it
// ends only by a stop or by a failure that is not skipped.
class SequenceRunner {
public:
    SequenceRunner(EventSequence& sequence, SequenceClock& clock, StopSignals& signals,
                   bool skipErrors, bool loop, int out);
    // ExitDone, ExitFailed, or ExitSignalBase + the signal when a stop signal came.
    int run();
    // The run tells `notify` of every outcome and ticks it every time round and while it
    // sleeps, when it has a service manager to tell.
    void notifyTo(control::SystemdNotify& notify);

private:
    void printOutcome(int index);
    bool sleepUntilDue(TimeCode due, bool afterIdleCall);
    bool sleepUntil(std::uint64_t deadlineNs);
    bool startNextPass();

    EventSequence& sequence_;
    SequenceClock& clock_;
    StopSignals& signals_;
    bool skipErrors_;
    bool loop_;
    int out_; // the descriptor the outcomes are printed on
    control::SystemdNotify* notify_ = nullptr;
};

// The whole program after the TimerResolution guard: returns the exit code.
int runCommandLine(int argc, char** argv);

} // namespace cadentor::cli
