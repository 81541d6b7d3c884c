#include "sequence/DueInstant.h"

#include "sequence/EventSequence.h"
#include "sequence/SequenceClock.h"

namespace cadentor {

namespace {

constexpr std::int64_t millisecondNs = 1000000;

} // namespace

DueInstant dueInstant(const SequenceClock& clock, TimeCode t) {
    std::uint32_t reading = clock.now();
    std::int64_t now = monotonicNanoseconds();
    for (int tries = 0; tries < 3; ++tries) {
        const std::uint32_t after = clock.now();
        if (after == reading)
            break;
        reading = after;
        now = monotonicNanoseconds();
    }
    const TimeCode elapsed = clock.elapsedAt(reading);
    if (t <= elapsed)
        return {now, now};
    const std::int64_t started = now - (now - clock.phase()) % millisecondNs; // this millisecond
    return {now, started + static_cast<std::int64_t>(t - elapsed) * millisecondNs};
}

std::optional<DueInstant> nextDueInstant(const EventSequence& sequence) {
    const std::optional<TimeCode> next = sequence.nextDueTime();
    if (!next || sequence.clock().isPaused())
        return std::nullopt;
    return dueInstant(sequence.clock(), *next);
}

} // namespace cadentor
