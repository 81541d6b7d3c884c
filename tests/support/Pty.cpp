#include "support/Pty.h"

#include <cerrno>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <unistd.h>

namespace cadentor::test {

Pty::Pty() {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    slavePath_ = name;
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
