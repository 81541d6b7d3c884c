#pragma once
// What follows each outcome of a run, decided in one place for the window and the runner.
//
// step() runs the events that are due (EventSequence::runDue) and decides what comes next: a
// failure halts the run, or is passed over when failures are skipped; the end of the sequence
// ends the run, or with looping starts the next pass at the sequence time the last event has
// (pass k starts k pass lengths after the first, however late the rewind). A loop that finds
// whole passes in the past (the process was stopped, the machine suspended) does not replay
// them: it joins the current pass in place. Joining at a position marks the events before it
// Missed, except those less than the catch-up time before it, which then run at once, in order.
// Every event that gets an outcome (Done, Failed, Missed, and commands fired by name) is handed
// to the observer as it gets it. The caller owns the waiting: it sleeps until nextWake().

#include "sequence/SequenceEvent.h"
#include "sequence/TimeCode.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace cadentor {

class EventSequence;
class SequenceClock;

struct RunSettings {
    bool skipErrors = false;
    bool loop = false;
    TimeCode catchUp = 0; // a join still runs the events missed less than this long ago
};

// What the caller does after a step.
enum class RunNext {
    Continue, // sleep until nextWake() (none: nothing left to wait for), then step again
    Halt,     // a failure that is not skipped: the run stops there
    End       // the sequence is finished and does not loop
};

enum class ShowState { Waiting, Running, Paused, Finished };

// A pass lasts until the last event's time code, and at least 1 ms so that a sequence all at
// 0:00 does not spin; 0 for an empty sequence.
TimeCode passLength(const EventSequence& sequence);

class RunPolicy {
public:
    using Observer = std::function<void(const SequenceEvent& event, int index)>;

    // Over `sequence` and its clock; the observer (may be empty) gets index -1 for a command
    // fired by name.
    RunPolicy(EventSequence& sequence, RunSettings settings, Observer observer = {});

    RunSettings& settings() { return settings_; }
    const RunSettings& settings() const { return settings_; }

    // Nothing while the clock is paused (Continue).
    RunNext step();
    // The sequence time of the next event, or with looping of the end of the pass once the
    // last event has run; nothing when the run has ended or the clock is paused.
    std::optional<TimeCode> nextWake() const;

    // Joins a run that began `position` ms ago (with looping: that many ms of passes ago):
    // every event Pending, the clock running at the position in its pass, the events before it
    // Missed except those within the catch-up time, which the next step runs.
    void joinAt(std::int64_t position);
    // For a run tied to the wall clock, at least once a second: `wallPosition` is how long ago
    // by the wall clock the run began, as for joinAt(). When the run's own position (passes and
    // sequence time) differs from it by more than alignLimit, the run re-aligns. Ahead of the
    // wall (it was set back) the run holds, its clock paused, until the wall reaches it again,
    // so nothing runs twice; the result is then how many ms the hold has left. Behind the wall
    // (set forward, or resumed after a pause) the run jumps to the wall's position and the
    // events passed over are Missed, as at a join. Nothing happens while the clock was paused
    // by pause(), and nothing once the run has ended.
    std::int64_t alignTo(std::int64_t wallPosition);
    static constexpr std::int64_t alignLimit = 100;
    // Every event Pending, the clock at `position` (paused or running as it was), every event
    // before it Missed: nothing before it runs, the catch-up time does not apply.
    void seek(TimeCode position);
    // The window's Reset Seq.: every event Pending, the clock paused at 0:00.
    void rewind();
    void pause();
    void resume();
    // Executes the table's command `name` now, outside the list; nothing when the table (or
    // the port set) has no such command, else whether it was done.
    std::optional<bool> fire(const std::string& name);

    ShowState state() const;
    std::int64_t pass() const { return pass_; }
    int doneCount() const { return done_; }
    int failedCount() const { return failed_; }
    // The event that failed last (in the list or fired), until rewind().
    struct Failure {
        TimeCode timeCode;
        std::string name;
        std::string reason;
    };
    const std::optional<Failure>& lastFailure() const { return lastFailure_; }

private:
    void note(const SequenceEvent& event, int index);
    // Marks the events after the position whose time code is before `t` Missed.
    void missBefore(std::int64_t t);
    void startNextPass();
    // The clock running at `position` in pass `pass`, the events before `missed` Missed.
    void moveTo(std::int64_t pass, TimeCode position, TimeCode missed);

    EventSequence& sequence_;
    SequenceClock& clock_;
    RunSettings settings_;
    Observer observer_;
    std::int64_t pass_ = 0;
    bool holding_ = false; // paused by alignTo(), not by pause()
    int done_ = 0;
    int failed_ = 0;
    bool ended_ = false;
    std::optional<Failure> lastFailure_;
};

} // namespace cadentor
