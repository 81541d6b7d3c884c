#include "ports/SerialPort.h"

#include "ports/TimerResolution.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"
#include "support/TtySpeed.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace cadentor {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(SerialPortOnAPty, TheSettingsReachTheDeviceAndNothingElseChanges) {
    // What a pty keeps: the speed, PARODD and CMSPAR (it drops PARENB itself), INPCK, CSTOPB.
    struct Case {
        std::uint32_t baudRate;
        std::uint8_t parity, stopBits;
        tcflag_t parityFlags;
    };
    for (const Case& c : {Case{9600, 0, 0, 0}, Case{19200, 1, 2, PARODD}, Case{115200, 2, 0, 0},
                          Case{250000, 3, 2, PARODD | CMSPAR}, Case{12345, 4, 0, CMSPAR}}) {
        test::Pty pty;
        termios before = pty.slaveSettings(); // start with every flag the port sets wrong
        before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | CRTSCTS | PARODD | CMSPAR | CSTOPB;
        before.c_iflag |= IXON | INPCK;
        before.c_oflag |= OPOST;
        before.c_cc[VSTART] = 0x05;
        ASSERT_EQ(::tcsetattr(pty.slaveFd(), TCSANOW, &before), 0);
        SerialPort port;
        ASSERT_TRUE(port.open(pty.slavePath(), c.baudRate, Parity{c.parity}, StopBits{c.stopBits}))
            << c.baudRate;
        const termios t = pty.slaveSettings();
        EXPECT_EQ(test::ttyOutputSpeed(pty.slaveFd()), c.baudRate);
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.parityFlags) << c.baudRate;
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.parity != 0) << c.baudRate;
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == 2) << c.baudRate;
        EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_NE(t.c_cflag & CRTSCTS, 0u); // flow control stays as it was
        EXPECT_NE(t.c_iflag & IXON, 0u);
        EXPECT_EQ(t.c_cc[VSTART], 0x05);
    }
}

TEST(SerialPortOnAPty, ADeviceAnotherProgramHoldsIsBusy) {
    // Another program holds a tty by TIOCEXCL (which root passes) or by flock.
    for (bool byFlock : {false, true}) {
        test::Pty pty;
        const int other = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(other, 0);
        ASSERT_EQ(byFlock ? ::flock(other, LOCK_EX | LOCK_NB) : ::ioctl(other, TIOCEXCL), 0);
        test::RecordingReporter reporter;
        SerialPort port;
        EXPECT_FALSE(port.open(pty.slavePath(), 9600, Parity::None, StopBits::One));
        EXPECT_THAT(reporter.ids(), ElementsAre(MessageId::PortOpenFailed));
        EXPECT_EQ(reporter.reports()[0].detail,
                  pty.slavePath() + ": device is busy (held by another program)");
        int exclusive = 0;
        ASSERT_EQ(::ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, byFlock ? 0 : 1); // the other program's claim is left as it was
        ::close(other);
    }
}

TEST(SerialPortDevices, RefusalsAreOneMessageWithTheReasonAndLeaveThePortIdle) {
    test::TempDir dir;
    test::Pty pty;
    const std::string file = dir.write("notes.txt", "keep me"), gone = dir.file("ttyGone");
    const std::string tty = pty.slavePath();
    struct Case {
        std::string device;
        std::uint32_t baudRate;
        std::uint8_t parity, stopBits;
        MessageId id;
        std::string detail;
    };
    for (const Case& c :
         {Case{gone, 9600, 0, 0, MessageId::PortOpenFailed, gone + ": No such file or directory"},
          Case{file, 19200, 1, 2, MessageId::PortOpenFailed, file + ": not a serial device"},
          Case{"", 9600, 0, 0, MessageId::PortOpenFailed, "no device name given"},
          Case{tty, 9600, 0, 1, MessageId::PortSetupFailed, tty + ": 1.5 stop bits"},
          Case{tty, 0, 0, 0, MessageId::PortSetupFailed, tty + ": speed 0"},
          Case{tty, 4294967295u, 0, 0, MessageId::PortSetupFailed, tty + ": speed 4294967295"}}) {
        test::RecordingReporter reporter;
        SerialPort port;
        EXPECT_FALSE(port.open(c.device, c.baudRate, Parity{c.parity}, StopBits{c.stopBits}));
        ASSERT_THAT(reporter.ids(), ElementsAre(c.id)) << c.detail;
        EXPECT_THAT(reporter.reports()[0].detail, HasSubstr(c.detail));
        EXPECT_FALSE(port.isOpen()); // idle, as a port that never opened
        EXPECT_EQ(port.deviceName(), "NUL");
        EXPECT_EQ(port.baudRate(), 9600u);
        EXPECT_EQ(port.parity(), Parity::None);
        EXPECT_EQ(port.stopBits(), StopBits::One);
        if (c.device == tty) {
            EXPECT_TRUE(SerialPort().open(tty, 9600, Parity::None, StopBits::One))
                << "the refused device was kept";
        }
    }
}

TEST(SerialPortDevices, TheNullDeviceTakesAnySettingsAndEveryWrite) {
    test::RecordingReporter reporter;
    SerialPort a, b, closed;
    ASSERT_TRUE(a.open("NUL", 250000, Parity::Mark, StopBits::OneAndAHalf));
    ASSERT_TRUE(b.open("nul", 9600, Parity::None,
                       StopBits::One)); // the null device is not held exclusively
    const std::uint8_t byte = 0x41;
    EXPECT_TRUE(a.write(&byte, 1));
    EXPECT_FALSE(closed.write(&byte, 1)); // a port that is not open fails without a message
    EXPECT_TRUE(reporter.reports().empty());
    EXPECT_EQ(a.deviceName(), "NUL");
}

TEST(DevicePath, MapsConfiguredNamesToPaths) {
    using Case = std::pair<const char*, const char*>;
    for (const auto& [name, path] :
         {Case{"COM1", "/dev/ttyS0"}, Case{"com12", "/dev/ttyS11"}, Case{"Com3", "/dev/ttyS2"},
          Case{"COM0", "/dev/COM0"}, Case{"COMx", "/dev/COMx"}, Case{"COM", "/dev/COM"},
          Case{"COM01", "/dev/COM01"}, Case{"COM1a", "/dev/COM1a"}, Case{"NUL", "/dev/null"},
          Case{"nul", "/dev/null"}, Case{"ttyUSB0", "/dev/ttyUSB0"}, Case{"/tmp/x", "/tmp/x"},
          Case{"pts/3", "pts/3"}, Case{"/dev/ttyACM0", "/dev/ttyACM0"},
          Case{"COM99999999999", "/dev/COM99999999999"}})
        EXPECT_EQ(devicePath(name), path) << name;
}

TEST(TimerResolution, HoldsTheFinestSlackWhileItLivesAndRestoresTheOldOne) {
    const auto slack = [] { return ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0); };
    const long original = slack();
    ASSERT_EQ(::prctl(PR_SET_TIMERSLACK, 12345ul, 0, 0, 0), 0);
    {
        TimerResolution resolution;
        EXPECT_EQ(slack(), 1);
    }
    EXPECT_EQ(slack(), 12345);
    ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(original), 0, 0, 0);
}

} // namespace
} // namespace cadentor
