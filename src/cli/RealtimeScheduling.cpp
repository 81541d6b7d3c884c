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

// Touches `stackPrefault` bytes of stack once, so that the pages are there (and, once locked,
// stay) before the first event needs them.
[[gnu::noinline]] void prefaultStack() {
    unsigned char stack[stackPrefault];
    std::memset(stack, 0, sizeof stack);
    asm volatile("" : : "r"(stack) : "memory"); // the writes are not optimised away
}

std::string refusal(const std::string& what, int error) {
    return what + " refused (" + std::strerror(error) + ")";
}

// Whether memory may be locked without risk: with no limit, or with CAP_IPC_LOCK, which the limit
// does not bind. Under a finite limit a locked stack that grows past it faults (the runner dies)
// and a future mapping fails, so a show would end months later for a page of stack.
bool mayLockMemory(const rlimit& memlock) {
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
    const std::string grantLock =
        ": grant LimitMEMLOCK=infinity in the unit, memlock unlimited in /etc/security/limits.d, "
        "or CAP_IPC_LOCK";
    if (!mayLockMemory(memlock)) {
        warning = "memory not locked (RLIMIT_MEMLOCK is " +
                  std::to_string(memlock.rlim_cur / 1024) + " KiB, not unlimited)" + grantLock;
    } else {
        prefaultStack(); // before the lock, which then holds these pages too
        if (::mlockall(MCL_CURRENT | MCL_FUTURE) != 0)
            warning = refusal("memory lock", errno) + grantLock;
    }

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
