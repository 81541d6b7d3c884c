#pragma once
// The program's request to stop, made by its handler of SIGTERM, SIGINT or SIGHUP. Operations
// that could take long read it and give up at once: a write to a device that takes no data
// ends as failed, a burst of due events stops before the next one. Setting and reading it is
// async-signal-safe; a set request stays until cleared.

namespace cadentor {

void requestStop() noexcept;
bool stopRequested() noexcept;
// For a program that goes on after handling a stop, and for tests.
void clearStopRequest() noexcept;

} // namespace cadentor
