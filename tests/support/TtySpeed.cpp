#include "support/TtySpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace cadentor::test {

unsigned ttyOutputSpeed(int fd) {
    struct {
        tcflag_t bits;
        unsigned rate;
    } const table[] = {{B9600, 9600},       {B19200, 19200},   {B38400, 38400},
                       {B57600, 57600},     {B115200, 115200}, {B230400, 230400},
                       {B1000000, 1000000}, {B300, 300},       {B1200, 1200}};
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return 0;
    const tcflag_t bits = settings.c_cflag & CBAUD;
    if (bits == BOTHER)
        return settings.c_ospeed;
    for (const auto& entry : table)
        if (entry.bits == bits)
            return entry.rate;
    return 0;
}

} // namespace cadentor::test
