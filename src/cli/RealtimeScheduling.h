#pragma once
// Puts the runner's thread on real-time scheduling for a show that must stay on time while
// other programs load the machine. The calling thread gets SCHED_FIFO with SCHED_RESET_ON_FORK,
// so programs it starts (and threads it makes later) run at normal priority; the stack is
// pre-faulted and memory locked (mlockall, current and future), so no page fault lands in an
// event. Memory is locked only where no limit binds (RLIMIT_MEMLOCK unlimited once the soft
// limit is raised to the hard one, or CAP_IPC_LOCK): under a finite limit a stack that grew past
// it would kill the runner and an allocation would fail. Call it once,
// after loading. The thread still sleeps between events: the kernel's RT throttling bounds what it
// may take.

#include <string>

namespace cadentor::cli {

constexpr int defaultRealtimePriority = 10;
constexpr int lowestRealtimePriority = 1;
constexpr int highestRealtimePriority = 99;

// Asks for SCHED_FIFO at `priority` (1 to 99) and for the memory lock. Each part the system
// grants is kept: a refused lock leaves the priority, a refused priority the lock. Empty when
// everything was granted; otherwise one line (no program name, no newline) saying what was refused
// and why (the errno text) and what to grant: LimitRTPRIO= or LimitMEMLOCK= in the unit, a line in
// /etc/security/limits.d, or CAP_SYS_NICE / CAP_IPC_LOCK.
std::string enterRealtimeScheduling(int priority);

} // namespace cadentor::cli
