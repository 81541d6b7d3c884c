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
    waitingStatus_ = status;
    waiting_ = true;
    if (!active_)
        return;
    lastStatus_ = status;
    lastStatusNs_ = monotonicNanoseconds();
    send("READY=1\nSTATUS=" + status);
}

void SystemdNotify::status(const std::string& status) {
    waitingStatus_ = status;
    waiting_ = true;
    statusOwed_ = true;
    tick(monotonicNanoseconds());
}

void SystemdNotify::tick(std::int64_t nowNs) {
    if (!active_)
        return;
    std::string message;
    if (kickNs_ > 0 && nowNs - lastKickNs_ >= kickNs_) {
        message = "WATCHDOG=1";
        lastKickNs_ = nowNs;
    }
    if (nowNs - lastStatusNs_ >= statusEveryNs) {
        std::string status = currentStatus();
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
    if (active_ && statusOwed_)
        by = std::min(by, lastStatusNs_ + statusEveryNs);
    return by;
}

std::string SystemdNotify::currentStatus() {
    const ShowState state = policy_ ? policy_->state() : ShowState::Waiting;
    waiting_ = waiting_ && state != ShowState::Running;
    if (waiting_)
        return waitingStatus_;
    static constexpr const char* words[] = {"waiting ", "running ", "paused ", "finished "};
    const int position = sequence_.currentIndex();
    std::string text = words[static_cast<int>(state)] +
                       clockText(sequence_.clock().elapsed(), true) + ", event " +
                       std::to_string(position + 1) + " of " + std::to_string(sequence_.count());
    if (const SequenceEvent* next = sequence_.eventAt(position + 1))
        text += ", next " + next->name() + " at " + clockText(next->timeCode(), false);
    return text + ", " + std::to_string(policy_->failedCount()) + " failed";
}

void SystemdNotify::send(const std::string& state) {
    sd_notify(0, state.c_str());
}

} // namespace cadentor::control
