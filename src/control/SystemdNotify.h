#pragma once
// What the service manager learns of a run, through sd_notify: that the files are loaded
// (READY=1), what the run is doing (STATUS=, at most once a second), and that its loop makes
// progress (WATCHDOG=1 every half of WATCHDOG_USEC, when the unit sets a watchdog).
//
// The run loop calls tick() every time round and never sleeps past wakeBy(), so a sleep of
// hours until the next event still wakes in time to keep the watchdog fed; while a write waits
// for its device, the wait's slice hook (ports/DeviceWait.h, every 50 ms) ticks as well. A
// process that stops making progress, stopped or stuck elsewhere, sends nothing and is killed
// by the service manager. The status is the text last given to ready() or status() until the
// watched run is running; from then on it is the run's, "running 0:01:23.456, event 12 of 40,
// next PowerOff at 0:02:00, 1 failed" ("paused", "finished" as the run is). Without
// NOTIFY_SOCKET nothing is ever sent and wakeBy() sets no limit.

#include "sequence/EventSequence.h"
#include "sequence/RunPolicy.h"

#include <cstdint>
#include <limits>
#include <string>

namespace cadentor::control {

class SystemdNotify {
public:
    static constexpr std::int64_t noLimit = std::numeric_limits<std::int64_t>::max();

    // Reads NOTIFY_SOCKET and the watchdog interval, and removes WATCHDOG_USEC and WATCHDOG_PID
    // from the environment, which the programs that events start do not need. Installs the
    // wait slice hook of this thread; only one object may exist at a time.
    explicit SystemdNotify(const EventSequence& sequence);
    // Puts the previous slice hook back.
    ~SystemdNotify();
    SystemdNotify(const SystemdNotify&) = delete;
    SystemdNotify& operator=(const SystemdNotify&) = delete;

    // Whether NOTIFY_SOCKET names a service manager to tell.
    bool active() const { return active_; }
    // The watchdog's half interval in nanoseconds, 0 without a watchdog.
    std::int64_t kickInterval() const { return kickNs_; }

    // READY=1 with STATUS=`status`, at once: what the runner does or waits for next.
    void ready(const std::string& status);
    // The status becomes `status` until the run is running again: a wait begins (for a device,
    // for a start time). Sent by tick(), at once when a second has passed since the last one.
    void status(const std::string& status);
    // The run whose state the status shows; it must outlive this object's use.
    void watch(const RunPolicy& policy) { policy_ = &policy; }
    // An event has got its outcome: the status is owed.
    void executed() { statusOwed_ = true; }
    // Sends WATCHDOG=1 when half the watchdog interval has passed since the last, and the
    // status when a second has passed since the last one and it changed; both in one message.
    // `nowNs` is CLOCK_MONOTONIC in nanoseconds.
    void tick(std::int64_t nowNs);
    // The CLOCK_MONOTONIC instant (ns) by which the loop must call tick() again: the next
    // watchdog kick, or one second after the last status when one is owed; noLimit when
    // nothing is.
    std::int64_t wakeBy() const;

    // The status for the state of the run now.
    std::string currentStatus();

private:
    void send(const std::string& state);

    const EventSequence& sequence_;
    const RunPolicy* policy_ = nullptr;
    bool active_ = false;
    std::int64_t kickNs_ = 0;
    std::int64_t lastKickNs_ = 0;
    std::int64_t lastStatusNs_ = 0;
    bool statusOwed_ = false;
    bool waiting_ = true; // the status is waitingStatus_, not the run's
    std::string waitingStatus_;
    std::string lastStatus_;
    void (*previousHook_)() = nullptr;
};

} // namespace cadentor::control
