#include "control/SystemdNotify.h"

#include "ports/DeviceWait.h"
#include "sequence/SequenceClock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <systemd/sd-daemon.h>

namespace cadentor::control {

namespace {

constexpr std::int64_t statusEveryNs = 1000000000;

thread_local SystemdNotify* hooked = nullptr;

void tickWhileWaiting() {
    if (hooked != nullptr)
        hooked->tick(monotonicNanoseconds());
}

// "0:01:23.456"; without the milliseconds when `always` is false and they are 0 ("0:02:00").
std::string clockText(TimeCode t, bool always) {
    char text[32];
    const unsigned hours = t / 3600000, minutes = t / 60000 % 60, seconds = t / 1000 % 60;
    if (always || t % 1000 != 0)
        std::snprintf(text, sizeof text, "%u:%02u:%02u.%03u", hours, minutes, seconds, t % 1000);
    else
        std::snprintf(text, sizeof text, "%u:%02u:%02u", hours, minutes, seconds);
    return text;
}

} // namespace

SystemdNotify::SystemdNotify(const EventSequence& sequence)
    : sequence_(sequence), lastKickNs_(monotonicNanoseconds()), lastStatusNs_(lastKickNs_) {
    std::uint64_t usec = 0;
    // Read whether or not there is a socket, so that the variables never reach started programs.
    const bool watchdog = sd_watchdog_enabled(1, &usec) > 0;
    const char* socket = std::getenv("NOTIFY_SOCKET"); // what sd_notify itself goes by
    active_ = socket != nullptr && *socket != '\0';
    if (active_ && watchdog)
        kickNs_ = static_cast<std::int64_t>(usec * 1000 / 2);
    hooked = this;
    previousHook_ = setWaitSliceHook(tickWhileWaiting);
}

SystemdNotify::~SystemdNotify() {
    setWaitSliceHook(previousHook_);
    hooked = nullptr;
}

void SystemdNotify::ready(const std::string& status) {
    if (!active_)
        return;
    lastStatus_ = status;
    lastStatusNs_ = monotonicNanoseconds();
    send("READY=1\nSTATUS=" + status);
}

void SystemdNotify::status(const std::string& status) {
    if (!active_ || status == lastStatus_)
        return;
    lastStatus_ = status;
    lastStatusNs_ = monotonicNanoseconds();
    send("STATUS=" + status);
}

void SystemdNotify::executed(bool failed) {
    failed_ += failed ? 1 : 0;
    statusOwed_ = true;
}

void SystemdNotify::tick(std::int64_t nowNs) {
    if (!active_)
        return;
    std::string message;
    if (kickNs_ > 0 && nowNs - lastKickNs_ >= kickNs_) {
        message = "WATCHDOG=1";
        lastKickNs_ = nowNs;
    }
    if (!sequence_.clock().isPaused() && nowNs - lastStatusNs_ >= statusEveryNs) {
        std::string status = runningStatus();
        if (status != lastStatus_) {
            message += (message.empty() ? "STATUS=" : "\nSTATUS=") + status;
            lastStatus_ = std::move(status);
            lastStatusNs_ = nowNs;
        }
        statusOwed_ = false;
    }
    if (!message.empty())
        send(message);
}

std::int64_t SystemdNotify::wakeBy() const {
    std::int64_t by = kickNs_ > 0 ? lastKickNs_ + kickNs_ : noLimit;
    if (active_ && statusOwed_ && !sequence_.clock().isPaused())
        by = std::min(by, lastStatusNs_ + statusEveryNs);
    return by;
}

std::string SystemdNotify::runningStatus() const {
    const int position = sequence_.currentIndex();
    std::string text = "running " + clockText(sequence_.clock().elapsed(), true) + ", event " +
                       std::to_string(position + 1) + " of " + std::to_string(sequence_.count());
    if (const SequenceEvent* next = sequence_.eventAt(position + 1))
        text += ", next " + next->name() + " at " + clockText(next->timeCode(), false);
    return text + ", " + std::to_string(failed_) + " failed";
}

void SystemdNotify::send(const std::string& state) {
    sd_notify(0, state.c_str());
}

} // namespace cadentor::control
