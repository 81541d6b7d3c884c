#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace cadentor::test {

unsigned ttyOutputSpeed(int fd) {
    // The kernel reports the rate in c_ospeed for B constants and BOTHER alike.
    termios2 settings{};
    return ::ioctl(fd, TCGETS2, &settings) == 0 ? settings.c_ospeed : 0;
}

} // namespace cadentor::test
