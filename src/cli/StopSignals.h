#pragma once
// SIGINT, SIGTERM and SIGHUP end a run cleanly instead of killing the runner.
//
// While a StopSignals object lives, the three signals are caught by a handler that notes the
// first one and makes the process-wide stop request (ports/StopRequest.h), so that a burst of
// due events and a write to a device that takes no data give up at once. A second signal of
// the same kind, once the handler has run, kills as usual. hold() keeps them pending
// and release() lets them in again; the runner holds them except while events execute and
// while it sleeps, and sleepUntil() lets them in only for the sleep itself, atomically, so a
// signal that arrives between the last check and the sleep still ends the sleep. Programs that
// events start never inherit a held signal as long as events execute while released, and they
// get the default handling back at exec.

#include "files/UniqueFd.h"

#include <csignal>
#include <cstdint>

namespace cadentor::cli {

class StopSignals {
public:
    // Clears the stop request and installs the handlers; the signals stay deliverable. Only one
    // object may exist at a time.
    StopSignals();
    // Restores the previous handlers and signal mask.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // 0 until SIGINT, SIGTERM or SIGHUP has been caught, then that signal's number.
    int received() const;
    void hold();
    void release();
    // Sleeps until CLOCK_MONOTONIC reaches `deadlineNs` (absolute, in nanoseconds) without
    // spinning; true at the deadline, false when a stop signal ended (or came before) the
    // sleep. Meant to be called while the signals are held. With `wakeFd` (not -1), the sleep
    // also ends, true, as soon as that descriptor is readable; it is not read.
    bool sleepUntil(std::uint64_t deadlineNs, int wakeFd = -1);

private:
    sigset_t stopSet_;
    sigset_t previousMask_;
    struct sigaction previous_[3]{};
    UniqueFd timer_; // a timerfd for the sleeps; none: relative sleeps
};

} // namespace cadentor::cli
