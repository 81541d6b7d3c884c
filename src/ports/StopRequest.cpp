#include "ports/StopRequest.h"

#include <atomic>

namespace cadentor {

namespace {
std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free);
} // namespace

void requestStop() noexcept {
    stopFlag.store(true, std::memory_order_relaxed);
}

bool stopRequested() noexcept {
    return stopFlag.load(std::memory_order_relaxed);
}

void clearStopRequest() noexcept {
    stopFlag.store(false, std::memory_order_relaxed);
}

} // namespace cadentor
