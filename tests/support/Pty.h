#pragma once
// A pseudo-terminal standing in for a serial device. The port under test opens slavePath();
// the test reads what arrived at the master side and can read the line settings back from the
// slave, which this object keeps open.

#include "pty/PtyPair.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace cadentor::test {

// The output speed in bit/s of the tty on `fd` through termios2, so also one without a B constant
// (250000); 0 when unreadable. In TtySpeed.cpp: termios2 cannot share a unit with <termios.h>.
unsigned ttyOutputSpeed(int fd);

class Pty {
public:
    Pty() {
        std::string error;
        if (!openPtyPair(pty_, false, error))
            throw std::runtime_error(error);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return pty_.slavePath; }
    int masterFd() const { return pty_.master.get(); }
    int slaveFd() const { return pty_.slave.get(); }

    // Reads from the master until `expected` bytes have arrived or `timeoutMs` has passed with
    // nothing new; with expected 0, returns whatever arrives until a quiet `timeoutMs`.
    std::string read(std::size_t expected = 0, int timeoutMs = 2000) {
        std::string data;
        char buffer[4096];
        while (masterFd() >= 0 && (expected == 0 || data.size() < expected)) {
            pollfd p{masterFd(), POLLIN, 0};
            const int ready = ::poll(&p, 1, timeoutMs);
            const ssize_t got = ready > 0 ? ::read(masterFd(), buffer, sizeof buffer) : ready;
            if (got == 0 || (got < 0 && errno != EINTR))
                break;
            if (got > 0)
                data.append(buffer, static_cast<std::size_t>(got));
        }
        return data;
    }
    // The slave's current settings.
    termios slaveSettings() const {
        termios settings{};
        ::tcgetattr(slaveFd(), &settings);
        return settings;
    }
    // 1 while a program holds the slave exclusively (TIOCEXCL), 0 when none does, -1 when
    // that cannot be told.
    int exclusive() const {
        int held = 0;
        return ::ioctl(slaveFd(), TIOCGEXCL, &held) == 0 ? held != 0 : -1;
    }
    // Closes the master side, so that writes to the slave fail.
    void closeMaster() { pty_.master.reset(); }

private:
    PtyPair pty_;
};

} // namespace cadentor::test
