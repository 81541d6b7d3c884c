#include "ports/SerialPort.h"

#include "messages/Messages.h"
#include "support/Pty.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

using namespace cadentor;

TEST(SerialPortOnAPty, TheSettingsReachTheDeviceAndNothingElseChanges) {
    // What a pty keeps: the speed, PARODD and CMSPAR (it drops PARENB itself), INPCK, CSTOPB.
    for (const auto& [baudRate, parity, stopBits, parityFlags] :
         {std::tuple<std::uint32_t, std::uint8_t, std::uint8_t, tcflag_t>{9600, 0, 0, 0},
          {19200, 1, 2, PARODD},
          {115200, 2, 0, 0},
          {250000, 3, 2, PARODD | CMSPAR},
          {57600, 4, 0, CMSPAR}}) {
        SCOPED_TRACE(baudRate);
        test::Pty pty;
        termios before = pty.slaveSettings(); // start with every flag the port sets wrong
        before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | CRTSCTS | PARODD | CMSPAR | CSTOPB;
        before.c_iflag |= IXON | INPCK;
        before.c_oflag |= OPOST;
        ASSERT_EQ(::tcsetattr(pty.slaveFd(), TCSANOW, &before), 0);
        SerialPort port;
        ASSERT_TRUE(port.open(pty.slavePath(), baudRate, Parity{parity}, StopBits{stopBits}));
        const termios t = pty.slaveSettings();
        EXPECT_EQ(test::ttyOutputSpeed(pty.slaveFd()), baudRate);
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB | CSIZE | CRTSCTS),
                  parityFlags | (stopBits == 2 ? CSTOPB : 0) | CS8 | CRTSCTS);
        EXPECT_EQ(t.c_iflag & (INPCK | IXON), (parity != 0 ? INPCK : 0) | IXON);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
    }
}

TEST(SerialPortOnAPty, ARefusedSettingReleasesTheDeviceBeforeTheOperatorIsTold) {
    test::Pty pty;
    int heldWhenTold = -1;
    const Reporter previous =
        setReporter([&](const ErrorReport&) { ::ioctl(pty.slaveFd(), TIOCGEXCL, &heldWhenTold); });
    EXPECT_FALSE(SerialPort().open(pty.slavePath(), 9600, Parity::None, StopBits::OneAndAHalf));
    setReporter(previous);
    EXPECT_EQ(heldWhenTold, 0);
}

TEST(DevicePath, MapsConfiguredNamesToPathsAndARefusalHintsAtTheDialoutGroup) {
    for (const auto& [name, path] : {std::pair{"COM1", "/dev/ttyS0"},
                                     {"com12", "/dev/ttyS11"},
                                     {"COM0", "/dev/COM0"},
                                     {"COM01", "/dev/COM01"},
                                     {"NuL", "/dev/null"},
                                     {"pts/3", "pts/3"}})
        EXPECT_EQ(devicePath(name), path) << name;
    EXPECT_EQ(openFailureDetail("/dev/ttyUSB0", EACCES),
              "/dev/ttyUSB0: Permission denied (is the user in the dialout group?)");
    EXPECT_EQ(openFailureDetail("/dev/ttyUSB0", EPERM), "/dev/ttyUSB0: Operation not permitted");
}
