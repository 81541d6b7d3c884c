#include "cli/RealtimeScheduling.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

namespace cadentor::cli {

namespace {

constexpr std::size_t stackPrefault = 256 * 1024;

// Touches `stackPrefault` bytes of stack once, so that the pages are there (and locked) before
// the first event needs them.
[[gnu::noinline]] void prefaultStack() {
    unsigned char stack[stackPrefault];
    std::memset(stack, 0, sizeof stack);
    asm volatile("" : : "r"(stack) : "memory"); // the writes are not optimised away
}

std::string refusal(const std::string& what, int error) {
    return what + " refused (" + std::strerror(error) + ")";
}

// Whether future mappings may be locked without a later allocation failing: with no limit, or
// with CAP_IPC_LOCK, which the limit does not bind. Under a finite limit MCL_FUTURE would make
// any allocation beyond it fail (a show ended by an allocation months later), so only the memory
// mapped now is locked.
bool mayLockFuture(const rlimit& memlock) {
    if (memlock.rlim_cur == RLIM_INFINITY)
        return true;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("CapEff:"))
            return (std::strtoull(line.c_str() + 7, nullptr, 16) >> CAP_IPC_LOCK & 1) != 0;
    return false;
}

} // namespace

std::string enterRealtimeScheduling(int priority) {
    std::string warning;

    rlimit memlock{};
    ::getrlimit(RLIMIT_MEMLOCK, &memlock);
    if (memlock.rlim_cur != memlock.rlim_max) {
        memlock.rlim_cur = memlock.rlim_max;
        ::setrlimit(RLIMIT_MEMLOCK, &memlock);
    }
    const int lockFlags = mayLockFuture(memlock) ? MCL_CURRENT | MCL_FUTURE : MCL_CURRENT;
    if (::mlockall(lockFlags) == 0)
        prefaultStack();
    else
        warning = refusal("memory lock", errno) +
                  ": grant LimitMEMLOCK=infinity in the unit, memlock in "
                  "/etc/security/limits.d, or CAP_IPC_LOCK";

    sched_param param{};
    param.sched_priority = priority;
    if (::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) != 0) {
        const std::string fifo = refusal("SCHED_FIFO priority " + std::to_string(priority), errno) +
                                 ": grant LimitRTPRIO=" + std::to_string(priority) +
                                 " in the unit, rtprio in /etc/security/limits.d, or CAP_SYS_NICE;"
                                 " running at normal priority";
        warning = warning.empty() ? fifo : fifo + "; " + warning;
    }
    return warning;
}

} // namespace cadentor::cli
