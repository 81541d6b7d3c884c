#include "support/Pty.h"

#include "pty/PtyPair.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace cadentor::test {

Pty::Pty() {
    PtyPair pty;
    std::string error;
    if (!openPtyPair(pty, false, error))
        throw std::runtime_error(error);
    master_ = pty.master.release();
    slave_ = pty.slave.release();
    slavePath_ = std::move(pty.slavePath);
}

Pty::~Pty() {
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
}

std::string Pty::read(std::size_t expected, int timeoutMs) {
    std::string data;
    while (master_ >= 0 && (expected == 0 || data.size() < expected)) {
        pollfd p{master_, POLLIN, 0};
        int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[4096];
        ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(got));
    }
    return data;
}

termios Pty::slaveSettings() const {
    termios settings{};
    ::tcgetattr(slave_, &settings);
    return settings;
}

void Pty::closeMaster() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

} // namespace cadentor::test
