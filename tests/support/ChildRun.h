#pragma once
// Runs a piece of a test in a forked child, for what the test process itself must not undergo:
// an address space capped a little above what is in use (RLIMIT_AS), or the rights of an
// ordinary user when the tests run as root. The child's answer is the text `run` returns.

#include <cstdint>
#include <functional>
#include <string>

namespace cadentor::test {

struct ChildLimits {
    std::uint64_t addressHeadroom = 0; // 0: no cap; else the most the address space may grow
    bool unprivileged = false;         // as root: become the user nobody, without groups
};

// What `run` returns in the child, or a text saying why the child could not run it or how it
// ended ("exception: ...", "[child ended with status N]"); childCannotRun when the limits
// could not be set (a test then skips).
std::string runInChild(const std::function<std::string()>& run, ChildLimits limits);
inline const std::string childCannotRun = "[the child's limits could not be set]";

// True under AddressSanitizer, which cannot run under an address-space cap.
bool underAddressSanitizer();

} // namespace cadentor::test
