// The pty pair that the virtual port and the tests stand on: a slave that cannot be opened is
// a failure naming it, never a pair with half of it missing.

#include "pty/PtyPair.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cadentor {
namespace {

TEST(PtyPair, ASlaveThatCannotBeOpenedIsAFailureNamingIt) {
    const pid_t child = ::fork();
    if (child == 0) { // room for one more descriptor only: the master takes it
        const int lowest = ::dup(0);
        ::close(lowest);
        const rlimit limit{static_cast<rlim_t>(lowest) + 1, static_cast<rlim_t>(lowest) + 1};
        PtyPair pty;
        std::string error;
        const bool refused = ::setrlimit(RLIMIT_NOFILE, &limit) == 0 &&
                             !openPtyPair(pty, false, error) && error.starts_with("/dev/pts/") &&
                             error.ends_with(": Too many open files");
        ::_exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
} // namespace cadentor
