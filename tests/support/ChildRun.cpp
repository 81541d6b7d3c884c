#include "support/ChildRun.h"

#include <cstdio>
#include <exception>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cadentor::test {
namespace {

bool applyLimits(const ChildLimits& limits) {
    if (limits.unprivileged && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
        return false;
    if (limits.addressHeadroom == 0)
        return true;
    unsigned long pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    const rlim_t cap =
        pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + limits.addressHeadroom;
    const rlimit limit{cap, cap};
    return pages != 0 && ::setrlimit(RLIMIT_AS, &limit) == 0;
}

} // namespace

std::string runInChild(const std::function<std::string()>& run, ChildLimits limits) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        std::string result = childCannotRun;
        try { // the child must never return into the test runner
            if (applyLimits(limits))
                result = run();
        } catch (const std::exception& e) {
            result = std::string("exception: ") + e.what();
        }
        const ssize_t written = ::write(pipeFds[1], result.data(), result.size());
        ::_exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string result;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        result.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return result + " [child ended with status " + std::to_string(status) + "]";
    return result;
}

bool underAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

} // namespace cadentor::test
