#pragma once
// When the next event falls due, as an absolute CLOCK_MONOTONIC instant: what the runner sleeps
// until and what the desktop program wakes for.
//
// The SequenceClock counts whole milliseconds of its source, so sequence time t is reached at
// the start of the source millisecond in which elapsed() becomes t. The distance to t is taken
// in sequence time, t minus elapsed modulo 2^32, as runDue compares: an event more than 2^31 ms
// ahead is still ahead. The clock is read on both sides of the CLOCK_MONOTONIC reading (again
// when a millisecond began in between), so a source that counts at CLOCK_MONOTONIC's pace gives
// the same instant whatever its offset in whole milliseconds (the clock's phase() gives the
// rest), and a source that does not move gives the instant as
// seen from that one reading.

#include "sequence/TimeCode.h"

#include <cstdint>
#include <optional>

namespace cadentor {

class EventSequence;
class SequenceClock;

struct DueInstant {
    std::int64_t now; // the CLOCK_MONOTONIC reading it was computed at, in nanoseconds
    std::int64_t due; // when the time is reached, in nanoseconds; `now` if it has been already
    bool reached() const { return due <= now; }
};

// For sequence time `t` on `clock`, which is running.
DueInstant dueInstant(const SequenceClock& clock, TimeCode t);

// For the event after the position of `sequence`, on the sequence's clock; nothing when no
// event is left or the clock is paused.
std::optional<DueInstant> nextDueInstant(const EventSequence& sequence);

} // namespace cadentor
