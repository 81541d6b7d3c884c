#pragma once
// Reads a tty's output speed in bits per second through termios2, so that tests can check
// speeds that have no B constant (250000). Kept apart from Pty.h because the kernel's termios2
// definitions cannot share a translation unit with <termios.h>.

namespace cadentor::test {

// The output speed of the tty open on `fd`; 0 when it cannot be read.
unsigned ttyOutputSpeed(int fd);

} // namespace cadentor::test
