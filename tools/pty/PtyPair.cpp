#include "pty/PtyPair.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>

namespace cadentor {

bool openPtyPair(PtyPair& pty, bool raw, std::string& error) {
    PtyPair opened;
    auto fail = [&](const std::string& step) {
        error = step + ": " + std::strerror(errno);
        return false;
    };
    opened.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!opened.master)
        return fail("posix_openpt");
    if (::grantpt(opened.master.get()) != 0 || ::unlockpt(opened.master.get()) != 0)
        return fail("grantpt/unlockpt");
    char name[128] = {};
    if (int failed = ::ptsname_r(opened.master.get(), name, sizeof name); failed != 0) {
        errno = failed;
        return fail("ptsname");
    }
    opened.slavePath = name;
    opened.slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!opened.slave)
        return fail(opened.slavePath);
    if (raw) {
        termios settings{};
        if (::tcgetattr(opened.slave.get(), &settings) != 0)
            return fail(opened.slavePath);
        ::cfmakeraw(&settings);
        if (::tcsetattr(opened.slave.get(), TCSANOW, &settings) != 0)
            return fail(opened.slavePath);
    }
    pty = std::move(opened);
    return true;
}

} // namespace cadentor
