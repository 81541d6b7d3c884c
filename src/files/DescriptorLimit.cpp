#include "files/DescriptorLimit.h"

#include <sys/resource.h>

namespace cadentor {

namespace {
bool raised = false;
rlimit startLimit{};
} // namespace

void raiseDescriptorLimit() noexcept {
    if (raised || ::getrlimit(RLIMIT_NOFILE, &startLimit) != 0 ||
        startLimit.rlim_cur == startLimit.rlim_max)
        return;
    rlimit wider = startLimit;
    wider.rlim_cur = wider.rlim_max;
    raised = ::setrlimit(RLIMIT_NOFILE, &wider) == 0;
}

void restoreDescriptorLimit() noexcept {
    if (raised)
        ::setrlimit(RLIMIT_NOFILE, &startLimit);
}

} // namespace cadentor
