// The test helper that starts runners must never signal processes it did not start.

#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

namespace cadentor::test {
namespace {

// In a process of its own, as an unprivileged user who may start no process, so that the
// helper's fork fails and a signal sent to pid -1 could reach only that user's processes.
TEST(ChildProcess, ThatCouldNotStartSignalsNobody) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to run as a user of its own";
    ChildProcess guard([] {
        if (::setuid(65534) != 0)
            return 2;
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_NPROC, &none) != 0)
            return 3;
        ChildProcess child({"/bin/true"});
        child.sendSignal(SIGKILL);
        return child.wait() == ChildProcess::notStarted ? 0 : 4;
    });
    EXPECT_EQ(guard.wait(), 0) << "2, 3: could not set up; 4: the helper did not see the failure";
}

} // namespace
} // namespace cadentor::test
