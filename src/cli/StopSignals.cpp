#include "cli/StopSignals.h"

#include "ports/StopRequest.h"
#include "sequence/SequenceClock.h"

#include <cerrno>
#include <ctime>
#include <iterator>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace cadentor::cli {

namespace {

volatile std::sig_atomic_t caughtSignal = 0;

void noteSignal(int signal) {
    if (caughtSignal == 0)
        caughtSignal = signal;
    requestStop();
}

constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

timespec toTimespec(std::uint64_t ns) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / 1000000000u);
    t.tv_nsec = static_cast<long>(ns % 1000000000u);
    return t;
}

} // namespace

StopSignals::StopSignals() {
    caughtSignal = 0;
    clearStopRequest();
    sigemptyset(&stopSet_);
    for (int signal : stopSignals)
        sigaddset(&stopSet_, signal);
    ::sigprocmask(SIG_SETMASK, nullptr, &previousMask_);

    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls keep a write to a port or to stderr whole; the first signal puts the
    // default handling back, so a second one kills a runner stuck in a device.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (std::size_t i = 0; i < std::size(stopSignals); ++i)
        ::sigaction(stopSignals[i], &action, &previous_[i]);
    timer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
}

StopSignals::~StopSignals() {
    timer_.reset();
    // A signal still pending from the last moments of a run is taken by our handler, not by
    // the default action that is about to come back.
    release();
    for (std::size_t i = 0; i < std::size(stopSignals); ++i)
        ::sigaction(stopSignals[i], &previous_[i], nullptr);
    ::sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
}

int StopSignals::received() const {
    return caughtSignal;
}

void StopSignals::hold() {
    ::sigprocmask(SIG_BLOCK, &stopSet_, nullptr);
}

void StopSignals::release() {
    ::sigprocmask(SIG_UNBLOCK, &stopSet_, nullptr);
}

bool StopSignals::sleepUntil(std::uint64_t deadlineNs, int wakeFd) {
    sigset_t sleepMask = previousMask_;
    for (int signal : stopSignals)
        sigdelset(&sleepMask, signal);
    if (timer_) {
        itimerspec when{};
        when.it_value = toTimespec(deadlineNs);
        if (::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &when, nullptr) == 0) {
            pollfd ready[2] = {{timer_.get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
            for (;;) {
                if (caughtSignal != 0)
                    return false;
                int count = ::ppoll(ready, wakeFd < 0 ? 1 : 2, nullptr, &sleepMask);
                if (count > 0) {
                    std::uint64_t expirations = 0;
                    if (ready[0].revents != 0)
                        (void)!::read(timer_.get(), &expirations, sizeof expirations);
                    return caughtSignal == 0;
                }
                if (count < 0 && errno != EINTR)
                    break; // fall back to a relative sleep below
            }
        }
    }
    for (;;) {
        if (caughtSignal != 0)
            return false;
        std::uint64_t now = static_cast<std::uint64_t>(monotonicNanoseconds());
        if (now >= deadlineNs)
            return true;
        timespec left = toTimespec(deadlineNs - now);
        pollfd wake{wakeFd, POLLIN, 0};
        if (::ppoll(&wake, wakeFd < 0 ? 0 : 1, &left, &sleepMask) > 0)
            return caughtSignal == 0;
    }
}

} // namespace cadentor::cli
