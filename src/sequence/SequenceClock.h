#pragma once
// Sequence time measured against a millisecond counter that wraps at 2^32.
//
// The clock is running or paused. While running, elapsed() is the current reading minus
// `origin`; while paused it is `pausedAt` minus `origin`. The paused state is kept apart from
// the readings, so a pause taken when the counter reads exactly 0 still pauses.

#include "sequence/TimeCode.h"

#include <cstdint>
#include <functional>

namespace cadentor {

using MillisecondSource = std::function<std::uint32_t()>;

// CLOCK_MONOTONIC in nanoseconds: the time base of the clock and of every wait for an event.
std::int64_t monotonicNanoseconds();
// CLOCK_MONOTONIC in whole milliseconds, as an unsigned 32-bit count that wraps.
std::uint32_t monotonicMilliseconds();

class SequenceClock {
public:
    // Starts paused at (about) 0: origin from one reading, pausedAt from a second. Without a
    // source, CLOCK_MONOTONIC in whole milliseconds counted from its phase (setPhase()).
    explicit SequenceClock(MillisecondSource source = {});
    SequenceClock(const SequenceClock&) = delete;
    SequenceClock& operator=(const SequenceClock&) = delete;

    TimeCode elapsed() const;
    bool isPaused() const { return paused_; }
    void pause();             // if running: pausedAt = now
    void resume();            // if paused: origin += now - pausedAt; sequence time continues
    void resetToZero();       // paused at 0
    void pauseAt(TimeCode t); // paused, showing t
    // Sequence time goes back by `t`, running or paused, without a reading of the source: a
    // loop's next pass starts exactly one pass length after the last.
    void moveBack(TimeCode t) { origin_ += t; }

    // One reading of the source.
    std::uint32_t now() const { return source_(); }
    // The milliseconds of the default source begin `ns` (0 to 999999) after those of
    // CLOCK_MONOTONIC, so that sequence time can fall on another clock's milliseconds (the wall
    // clock's). Readings jump by up to a millisecond: set it before the clock is set.
    void setPhase(std::int64_t ns) { phaseNs_ = ns; }
    std::int64_t phase() const { return phaseNs_; }
    // Sequence time at the source reading `reading` (meaningful while running).
    TimeCode elapsedAt(std::uint32_t reading) const { return reading - origin_; }
    // The source reading at which sequence time `t` is reached (meaningful while running).
    std::uint32_t readingAt(TimeCode t) const { return origin_ + t; }

private:
    MillisecondSource source_;
    std::int64_t phaseNs_ = 0;
    std::uint32_t origin_ = 0;
    std::uint32_t pausedAt_ = 0;
    bool paused_ = true;
};

} // namespace cadentor
