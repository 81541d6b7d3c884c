#include "ports/DeviceWait.h"

#include "ports/StopRequest.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>

namespace cadentor {

namespace {
thread_local WaitSliceHook sliceHook = nullptr;
} // namespace

WaitSliceHook setWaitSliceHook(WaitSliceHook hook) {
    const WaitSliceHook previous = sliceHook;
    sliceHook = hook;
    return previous;
}

int msUntil(DeviceClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - DeviceClock::now())
            .count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

int waitFor(int fd, short events, DeviceClock::time_point deadline) {
    for (;;) {
        if (stopRequested())
            return 0;
        const int left = msUntil(deadline);
        if (left == 0)
            return 0;
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, std::min(left, StopCheckMs));
        if (ready > 0)
            return p.revents;
        if (ready < 0 && errno != EINTR)
            return -1;
        if (sliceHook)
            sliceHook();
    }
}

WriteEnd writeWithin(int fd, const std::uint8_t* bytes, std::size_t count, int noProgressMs,
                     ssize_t (*writeOnce)(int fd, const void* bytes, std::size_t count),
                     std::size_t* taken) {
    const auto noProgress = std::chrono::milliseconds(noProgressMs);
    DeviceClock::time_point deadline = DeviceClock::now() + noProgress;
    std::size_t ignored = 0;
    std::size_t& done = taken ? *taken : ignored;
    done = 0;
    while (done < count) {
        const ssize_t n = writeOnce(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            deadline = DeviceClock::now() + noProgress;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return WriteEnd::Failed;
        // Nothing taken: wait until the device takes data again. POLLERR and POLLHUP wake the
        // wait too; the next write then tells the reason.
        const int ready = waitFor(fd, POLLOUT, deadline);
        if (ready < 0)
            return WriteEnd::Failed;
        if (ready == 0)
            return stopRequested() ? WriteEnd::Stopped : WriteEnd::Stalled;
    }
    return WriteEnd::Done;
}

std::string writeEndText(WriteEnd end, int noProgressMs, int systemErrno) {
    switch (end) {
    case WriteEnd::Done:
        return {};
    case WriteEnd::Stalled: {
        // Whole seconds as "3 s", anything else in milliseconds: "250 ms", "1500 ms".
        const std::string time = noProgressMs % 1000 == 0
                                     ? std::to_string(noProgressMs / 1000) + " s"
                                     : std::to_string(noProgressMs) + " ms";
        return "the device took no data for " + time;
    }
    case WriteEnd::Stopped:
        return "stopped while the device took no data";
    case WriteEnd::Failed:
        break;
    }
    return std::strerror(systemErrno);
}

} // namespace cadentor
