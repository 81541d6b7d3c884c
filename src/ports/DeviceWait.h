#pragma once
// Waiting on a device's descriptor without ever hanging: every wait is cut into slices of at
// most StopCheckMs, so that a stop request (StopRequest.h) ends it within that time, and every
// wait has a deadline. Shared by serial and network devices, whose descriptors are
// non-blocking. A thread that has more to do while it waits (the window keeps taking the
// operator's input) installs a slice hook, which every wait of that thread calls between slices.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace cadentor {

using DeviceClock = std::chrono::steady_clock;

inline constexpr int StopCheckMs = 50;

// Called by waitFor() after every slice in which the device did not become ready; none by
// default. Per thread. Returns the hook it replaces.
using WaitSliceHook = void (*)();
WaitSliceHook setWaitSliceHook(WaitSliceHook hook);

// The milliseconds left until `deadline`, 0 once it has passed.
int msUntil(DeviceClock::time_point deadline);

// Waits until `fd` shows one of `events` or the deadline passes. The shown events, 0 on
// time-out or a stop request, -1 with errno on failure.
int waitFor(int fd, short events, DeviceClock::time_point deadline);

enum class WriteEnd {
    Done,    // every byte was taken
    Stalled, // the device took no byte for the whole no-progress time
    Stopped, // a stop was requested while the device took no data
    Failed,  // the system refused the write; errno says why
};

// Hands `bytes` to `writeOnce` (one ::write or ::send, with its result and errno) until all
// are taken, waiting for POLLOUT while the device takes nothing. The wait gives up when no byte
// was taken for `noProgressMs`, however long the whole write takes. `taken`, when given, gets
// the number of bytes the device took, all of them or fewer.
WriteEnd writeWithin(int fd, const std::uint8_t* bytes, std::size_t count, int noProgressMs,
                     ssize_t (*writeOnce)(int fd, const void* bytes, std::size_t count),
                     std::size_t* taken = nullptr);

// What the operator is told when a write did not end Done: "the device took no data for 3 s",
// "stopped while the device took no data", or the system's reason.
std::string writeEndText(WriteEnd end, int noProgressMs, int systemErrno);

} // namespace cadentor
