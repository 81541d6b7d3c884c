#include "ports/TtyLineSettings.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

namespace cadentor {
namespace {

struct StandardSpeed {
    std::uint32_t rate;
    tcflag_t bits;
};

constexpr StandardSpeed standardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t speedBits(std::uint32_t rate) {
    for (const StandardSpeed& s : standardSpeeds)
        if (s.rate == rate)
            return s.bits;
    return BOTHER;
}

std::uint32_t outputSpeed(const termios2& t) {
    const tcflag_t bits = t.c_cflag & CBAUD;
    if (bits == BOTHER)
        return t.c_ospeed;
    for (const StandardSpeed& s : standardSpeeds)
        if (s.bits == bits)
            return s.rate;
    return 0;
}

tcflag_t parityBits(Parity parity) {
    switch (parity) {
    case Parity::None:
        break;
    case Parity::Odd:
        return PARENB | PARODD;
    case Parity::Even:
        return PARENB;
    case Parity::Mark:
        return PARENB | CMSPAR | PARODD;
    case Parity::Space:
        return PARENB | CMSPAR;
    }
    return 0;
}

} // namespace

bool lineSettingsSupported(std::uint32_t baudRate, StopBits stopBits, std::string& reason) {
    if (baudRate == 0 || baudRate > 0x7fffffffu)
        reason = "speed " + std::to_string(baudRate) + " not supported";
    else if (stopBits == StopBits::OneAndAHalf)
        reason = "1.5 stop bits not supported with 8 data bits";
    else
        return true;
    return false;
}

bool applyLineSettings(int fd, std::uint32_t baudRate, Parity parity, StopBits stopBits,
                       std::string& reason) {
    if (!lineSettingsSupported(baudRate, stopBits, reason))
        return false;

    termios2 wanted{};
    if (::ioctl(fd, TCGETS2, &wanted) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    const tcflag_t speed = speedBits(baudRate);
    wanted.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    wanted.c_cflag |= speed | CS8 | parityBits(parity) | (stopBits == StopBits::Two ? CSTOPB : 0);
    if (speed == BOTHER)
        wanted.c_ospeed = wanted.c_ispeed = baudRate;
    if (parity != Parity::None)
        wanted.c_iflag |= INPCK;
    else
        wanted.c_iflag &= ~INPCK;
    wanted.c_oflag &= ~OPOST;
    if (::ioctl(fd, TCSETS2, &wanted) != 0) {
        reason = std::strerror(errno);
        return false;
    }

    termios2 taken{};
    if (::ioctl(fd, TCGETS2, &taken) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    const std::uint32_t actual = outputSpeed(taken);
    if (actual != baudRate)
        reason = "speed " + std::to_string(baudRate) + " not taken (the device runs at " +
                 std::to_string(actual) + ")";
    else if ((taken.c_cflag & (PARODD | CMSPAR)) != (wanted.c_cflag & (PARODD | CMSPAR)) ||
             (taken.c_iflag & INPCK) != (wanted.c_iflag & INPCK))
        reason = "parity not taken";
    else if ((taken.c_cflag & CSTOPB) != (wanted.c_cflag & CSTOPB))
        reason = "stop bits not taken";
    else if (taken.c_oflag & OPOST)
        reason = "output processing could not be turned off";
    else
        return true;
    return false;
}

} // namespace cadentor
