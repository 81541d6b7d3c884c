#include "sequence/RunPolicy.h"

#include "sequence/EventSequence.h"
#include "sequence/SequenceClock.h"

#include <algorithm>
#include <cstdint>

namespace cadentor {

TimeCode passLength(const EventSequence& sequence) {
    if (sequence.count() == 0)
        return 0;
    return std::max<TimeCode>(sequence.eventAt(sequence.count() - 1)->timeCode(), 1);
}

RunPolicy::RunPolicy(EventSequence& sequence, RunSettings settings, Observer observer)
    : sequence_(sequence), clock_(sequence.clock()), settings_(settings),
      observer_(std::move(observer)) {}

void RunPolicy::note(const SequenceEvent& event, int index) {
    if (event.status() == EventStatus::Done)
        ++done_;
    if (event.status() == EventStatus::Failed) {
        ++failed_;
        lastFailure_ = Failure{event.timeCode(), event.name(), event.failureReason()};
    }
    if (observer_)
        observer_(event, index);
}

RunNext RunPolicy::step() {
    if (clock_.isPaused())
        return ended_ ? RunNext::End : RunNext::Continue;
    ended_ = false;
    const int before = sequence_.currentIndex();
    const RunOutcome outcome = sequence_.runDue();
    const int after = sequence_.currentIndex();
    for (int i = before + 1; i <= after; ++i)
        note(*sequence_.eventAt(i), i);
    switch (outcome) {
    case RunOutcome::Failed:
        note(*sequence_.eventAt(after + 1), after + 1);
        if (!settings_.skipErrors)
            return RunNext::Halt;
        sequence_.skipCurrent();
        return RunNext::Continue;
    case RunOutcome::Finished:
        if (!settings_.loop || sequence_.count() == 0) {
            ended_ = true;
            return RunNext::End;
        }
        if (clock_.elapsed() >= passLength(sequence_))
            startNextPass();
        return RunNext::Continue;
    case RunOutcome::NothingDue:
    case RunOutcome::Executed:
        break;
    }
    return RunNext::Continue;
}

// The clock keeps running: the next pass starts exactly one pass length after this one, and
// its events that are due already (the last event ran late) run at once. Whole passes that lie
// in the past are passed over, and the current pass is joined in place.
void RunPolicy::startNextPass() {
    const TimeCode length = passLength(sequence_);
    const TimeCode passes = clock_.elapsed() / length;
    sequence_.rewind();
    clock_.moveBack(passes * length);
    pass_ += passes;
    if (passes > 1) {
        const TimeCode position = clock_.elapsed();
        missBefore(position > settings_.catchUp ? position - settings_.catchUp : 0);
    }
}

void RunPolicy::missBefore(std::int64_t t) {
    int i = sequence_.currentIndex() + 1;
    for (; i < sequence_.count() && sequence_.eventAt(i)->timeCode() < t; ++i) {
        sequence_.eventAt(i)->markMissed();
        note(*sequence_.eventAt(i), i);
    }
    sequence_.passTo(i - 1);
}

std::optional<TimeCode> RunPolicy::nextWake() const {
    if (ended_ || clock_.isPaused())
        return std::nullopt;
    if (const std::optional<TimeCode> next = sequence_.nextDueTime())
        return next;
    if (settings_.loop && sequence_.count() > 0)
        return passLength(sequence_);
    return std::nullopt;
}

void RunPolicy::joinAt(std::int64_t position) {
    sequence_.rewind();
    ended_ = false;
    holding_ = false;
    const std::int64_t length = passLength(sequence_);
    std::int64_t pass = 0;
    if (settings_.loop && length > 0) {
        pass = position / length;
        position %= length;
    }
    pass_ = pass;
    const TimeCode at = static_cast<TimeCode>(std::clamp<std::int64_t>(position, 0, length + 1));
    moveTo(pass, at, at > settings_.catchUp ? at - settings_.catchUp : 0);
}

void RunPolicy::moveTo(std::int64_t pass, TimeCode position, TimeCode missed) {
    if (pass != pass_) {
        sequence_.rewind();
        pass_ = pass;
    }
    clock_.pauseAt(position);
    clock_.resume();
    missBefore(missed);
}

std::int64_t RunPolicy::alignTo(std::int64_t wallPosition) {
    if (ended_ || (clock_.isPaused() && !holding_))
        return 0;
    const std::int64_t length = passLength(sequence_);
    const std::int64_t own = (settings_.loop ? pass_ * length : 0) + clock_.elapsed();
    const std::int64_t drift = wallPosition - own;
    if (holding_) {
        if (drift < 0)
            return -drift;
        holding_ = false;
        clock_.resume();
        return 0;
    }
    if (drift < -alignLimit) {
        holding_ = true;
        clock_.pause();
        return -drift;
    }
    if (drift <= alignLimit)
        return 0;
    std::int64_t pass = pass_;
    std::int64_t position = wallPosition;
    if (settings_.loop && length > 0) {
        pass = wallPosition / length;
        position = wallPosition % length;
        if (pass != pass_)
            missBefore(INT64_MAX); // the rest of this pass
    }
    const TimeCode at = static_cast<TimeCode>(std::clamp<std::int64_t>(position, 0, length + 1));
    moveTo(pass, at, at > settings_.catchUp ? at - settings_.catchUp : 0);
    return 0;
}

void RunPolicy::seek(TimeCode position) {
    const bool paused = clock_.isPaused();
    sequence_.rewind();
    ended_ = false;
    clock_.pauseAt(position);
    if (!paused)
        clock_.resume();
    missBefore(position);
}

void RunPolicy::rewind() {
    holding_ = false;
    clock_.resetToZero();
    sequence_.rewind();
    ended_ = false;
    lastFailure_.reset();
}

void RunPolicy::pause() {
    holding_ = false;
    clock_.pause();
}

void RunPolicy::resume() {
    holding_ = false;
    clock_.resume();
}

std::optional<bool> RunPolicy::fire(const std::string& name) {
    std::unique_ptr<SequenceEvent> event = sequence_.commandEvent(name);
    if (!event)
        return std::nullopt;
    const bool done = event->execute();
    note(*event, -1);
    return done;
}

ShowState RunPolicy::state() const {
    if (ended_)
        return ShowState::Finished;
    return clock_.isPaused() && !holding_ ? ShowState::Paused : ShowState::Running;
}

} // namespace cadentor
