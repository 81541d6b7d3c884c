#include "sequence/SequenceClock.h"

#include <ctime>
#include <utility>

namespace cadentor {

std::int64_t monotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::uint32_t monotonicMilliseconds() {
    return static_cast<std::uint32_t>(monotonicNanoseconds() / 1000000);
}

SequenceClock::SequenceClock(MillisecondSource source) : source_(std::move(source)) {
    if (!source_)
        source_ = [this] {
            return static_cast<std::uint32_t>((monotonicNanoseconds() - phaseNs_) / 1000000);
        };
    origin_ = source_();
    pausedAt_ = source_();
    paused_ = true;
}

TimeCode SequenceClock::elapsed() const {
    return (paused_ ? pausedAt_ : source_()) - origin_;
}

void SequenceClock::pause() {
    if (paused_)
        return;
    pausedAt_ = source_();
    paused_ = true;
}

void SequenceClock::resume() {
    if (!paused_)
        return;
    origin_ += source_() - pausedAt_;
    pausedAt_ = 0;
    paused_ = false;
}

void SequenceClock::resetToZero() {
    const std::uint32_t reading = source_();
    origin_ = reading;
    pausedAt_ = reading;
    paused_ = true;
}

void SequenceClock::pauseAt(TimeCode t) {
    const std::uint32_t reading = source_();
    pausedAt_ = reading;
    origin_ = reading - t;
    paused_ = true;
}

} // namespace cadentor
