#pragma once
// A pseudo-terminal standing in for a serial device. The port under test opens slavePath();
// the test reads what arrived at the master side and can read the line settings back from the
// slave, which this object keeps open.

#include <string>
#include <termios.h>

namespace cadentor::test {

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }
    int slaveFd() const { return slave_; }

    // Reads from the master until `expected` bytes have arrived or `timeoutMs` has passed with
    // nothing new; with expected 0, returns whatever arrives until a quiet `timeoutMs`.
    std::string read(std::size_t expected = 0, int timeoutMs = 2000);
    // The slave's current settings.
    termios slaveSettings() const;
    // Closes the master side, so that writes to the slave fail.
    void closeMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

} // namespace cadentor::test
