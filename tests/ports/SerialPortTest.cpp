#include "ports/SerialPort.h"

#include "ports/PortSet.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"
#include "support/TtySpeed.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cadentor {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

bool writeText(SerialPort& port, const std::string& bytes) {
    return port.write(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                      static_cast<std::uint32_t>(bytes.size()));
}

void expectIdle(const SerialPort& port) {
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.deviceName(), "NUL");
    EXPECT_EQ(port.baudRate(), 9600u);
    EXPECT_EQ(port.parity(), 0);
    EXPECT_EQ(port.stopBits(), 0);
}

TEST(SerialPortOnAPty, TheSettingsReachTheDevice) {
    // What a pty keeps: the speed, PARODD and CMSPAR (it drops PARENB itself), INPCK, CSTOPB.
    struct Case {
        std::uint32_t baudRate;
        std::uint8_t parity, stopBits;
        tcflag_t parityFlags;
    };
    for (const Case& c : {Case{9600, 0, 0, 0}, Case{19200, 1, 2, PARODD}, Case{115200, 2, 0, 0},
                          Case{250000, 3, 2, PARODD | CMSPAR}, Case{12345, 4, 0, CMSPAR}}) {
        test::Pty pty;
        SerialPort port;
        ASSERT_TRUE(port.open(pty.slavePath(), c.baudRate, c.parity, c.stopBits)) << c.baudRate;
        const termios t = pty.slaveSettings();
        EXPECT_EQ(test::ttyOutputSpeed(pty.slaveFd()), c.baudRate);
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.parityFlags) << c.baudRate;
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.parity != 0) << c.baudRate;
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == 2) << c.baudRate;
        EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(port.baudRate(), c.baudRate);
        EXPECT_EQ(port.parity(), c.parity);
        EXPECT_EQ(port.stopBits(), c.stopBits);
    }
}

TEST(SerialPortOnAPty, ChangesOnlyTheNamedSettings) {
    test::Pty pty;
    termios before = pty.slaveSettings();
    before.c_cflag |= CRTSCTS | PARODD | CMSPAR | CSTOPB;
    before.c_iflag |= IXON | INPCK;
    before.c_cc[VSTART] = 0x05;
    ASSERT_EQ(::tcsetattr(pty.slaveFd(), TCSANOW, &before), 0);

    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePath(), 9600, 0, 0));
    const termios after = pty.slaveSettings();
    EXPECT_NE(after.c_cflag & CRTSCTS, 0u); // flow control stays as it was
    EXPECT_NE(after.c_iflag & IXON, 0u);
    EXPECT_EQ(after.c_cc[VSTART], 0x05);
    EXPECT_EQ(after.c_iflag & INPCK, 0u); // no parity turns parity checking off
    EXPECT_EQ(after.c_cflag & (PARODD | CMSPAR | CSTOPB), 0u);
}

TEST(SerialPortOnAPty, EveryByteArrivesUnchanged) {
    test::Pty pty;
    test::RecordingReporter reporter;
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePath(), 9600, 0, 0));
    const std::string control("\x0a\x0d\x00\xff\x11\x13", 6);
    ASSERT_TRUE(writeText(port, control));
    EXPECT_EQ(pty.read(control.size()), control);
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    ASSERT_TRUE(writeText(port, all));
    EXPECT_EQ(pty.read(all.size()), all);
    EXPECT_TRUE(port.write(nullptr, 0));
    EXPECT_TRUE(reporter.reports().empty());
}

TEST(SerialPortOnAPty, AWriteToAVanishedDeviceIsMessage4AndThePortStaysOpen) {
    test::Pty pty;
    test::RecordingReporter reporter;
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePath(), 9600, 0, 0));
    pty.closeMaster();
    EXPECT_FALSE(writeText(port, "abc"));
    EXPECT_THAT(reporter.ids(), ElementsAre(MessageId::PortWriteFailed));
    EXPECT_EQ(reporter.reports()[0].detail, pty.slavePath() + ": Input/output error");
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.deviceName(), pty.slavePath());
}

TEST(SerialPortOnAPty, ADeviceIsHeldExclusivelyUntilClosed) {
    test::Pty pty;
    test::RecordingReporter reporter;
    SerialPort first, second;
    ASSERT_TRUE(first.open(pty.slavePath(), 9600, 0, 0));
    int exclusive = 0;
    ASSERT_EQ(::ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_FALSE(second.open(pty.slavePath(), 9600, 0, 0));
    EXPECT_THAT(reporter.ids(), ElementsAre(MessageId::PortOpenFailed));
    EXPECT_EQ(reporter.reports()[0].detail,
              pty.slavePath() + ": device is busy (held by another program)");
    expectIdle(second);
    EXPECT_TRUE(first.isOpen());

    first.close(); // gives the device back entirely: exclusive mode off, lock released
    ASSERT_EQ(::ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_TRUE(second.open(pty.slavePath(), 9600, 0, 0));
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
        EXPECT_FALSE(port.open(pty.slavePath(), 9600, 0, 0));
        EXPECT_THAT(reporter.ids(), ElementsAre(MessageId::PortOpenFailed));
        EXPECT_EQ(reporter.reports()[0].detail,
                  pty.slavePath() + ": device is busy (held by another program)");
        int exclusive = 0;
        ASSERT_EQ(::ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, byFlock ? 0 : 1); // the other program's claim is left as it was
        ::close(other);
    }
}

TEST(SerialPortOnAPty, RefusedSettingsAreMessage2AndReleaseTheDevice) {
    struct Refused {
        std::uint32_t baudRate;
        std::uint8_t parity, stopBits;
        const char* reason;
    };
    for (const Refused& r :
         {Refused{9600, 0, 1, "1.5 stop bits"}, Refused{0, 0, 0, "speed 0"},
          Refused{4294967295u, 0, 0, "speed 4294967295"}, Refused{9600, 5, 0, "parity code 5"},
          Refused{9600, 0, 3, "stop-bit code 3"}}) {
        test::Pty pty;
        test::RecordingReporter reporter;
        SerialPort port;
        EXPECT_FALSE(port.open(pty.slavePath(), r.baudRate, r.parity, r.stopBits));
        ASSERT_THAT(reporter.ids(), ElementsAre(MessageId::PortSetupFailed)) << r.reason;
        EXPECT_THAT(reporter.reports()[0].detail, HasSubstr(pty.slavePath() + ": " + r.reason));
        expectIdle(port);
        SerialPort again;
        EXPECT_TRUE(again.open(pty.slavePath(), 9600, 0, 0)) << r.reason;
    }
}

TEST(SerialPortDevices, WhatCannotBeOpenedIsMessage3WithTheReason) {
    test::TempDir dir;
    const std::string file = dir.write("notes.txt", "keep me");
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("ttyGone"), dir.file("ttyGone") + ": No such file or directory"},
        {file, file + ": not a serial device"}, // never written over
        {"", "no device name given"}};
    for (const auto& [name, detail] : cases) {
        test::RecordingReporter reporter;
        SerialPort port;
        EXPECT_FALSE(port.open(name, 19200, 1, 2));
        EXPECT_THAT(reporter.ids(), ElementsAre(MessageId::PortOpenFailed));
        EXPECT_EQ(reporter.reports()[0].detail, detail);
        expectIdle(port);
    }
}

TEST(SerialPortDevices, TheNullDeviceTakesAnySettingsAndEveryWrite) {
    test::RecordingReporter reporter;
    SerialPort a, b, closed;
    ASSERT_TRUE(a.open("NUL", 250000, 3, 1));
    ASSERT_TRUE(b.open("nul", 9600, 0, 0)); // the null device is not held exclusively
    EXPECT_TRUE(writeText(a, "bytes"));
    EXPECT_FALSE(writeText(closed, "x")); // a port that is not open fails without a message
    EXPECT_TRUE(reporter.reports().empty());
    EXPECT_EQ(a.deviceName(), "NUL");
}

// PortSet::load over the system layer with ptys as the configured devices.
class PortSetOnPtys : public ::testing::Test {
protected:
    void config(int require, const std::string& ports) {
        dir_.write("Config.ini", "[Common]\nRequire=" + std::to_string(require) + "\n" + ports);
    }
    static std::string port(int n, const std::string& device, const std::string& more = "") {
        return "[Port" + std::to_string(n) + "]\nDevice=" + device + "\n" + more;
    }

    test::TempDir dir_;
    test::ScopedProgramDirectory programDirectory_{dir_.path()};
    test::RecordingReporter reporter_;
    test::Pty a_, b_;
    PortSet ports_;
};

TEST_F(PortSetOnPtys, WritesReachTheRightDeviceAfterEveryLoad) {
    config(2, port(0, a_.slavePath()) + port(1, b_.slavePath(), "BaudRate=250000\n"));
    ASSERT_TRUE(ports_.load());
    ASSERT_TRUE(ports_.load()); // pressing Initialize twice reopens every device
    const std::uint8_t one[] = {0x02, 0x0a, 0x03}, two[] = {0xff, 0x00};
    ASSERT_TRUE(ports_.write(1, two, 2));
    ASSERT_TRUE(ports_.write(0, one, 3));
    EXPECT_EQ(a_.read(3), std::string("\x02\x0a\x03", 3));
    EXPECT_EQ(b_.read(2), std::string("\xff\x00", 2));
    EXPECT_EQ(test::ttyOutputSpeed(b_.slaveFd()), 250000u);
    EXPECT_TRUE(reporter_.reports().empty());
}

TEST_F(PortSetOnPtys, ADeviceHeldByAnotherSetOrPortFails) {
    config(1, port(0, a_.slavePath()));
    ASSERT_TRUE(ports_.load());
    PortSet other;
    EXPECT_FALSE(other.load());
    EXPECT_EQ(other.count(), 0u);
    EXPECT_EQ(ports_.count(), 1u);
    config(2, port(0, b_.slavePath()) + port(1, b_.slavePath()));
    EXPECT_FALSE(other.load());
    EXPECT_EQ(other.count(), 0u);
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortOpenFailed, MessageId::PortOpenFailed));
}

TEST_F(PortSetOnPtys, AMissingSecondDeviceClosesTheFirstAgain) {
    config(3, port(0, a_.slavePath()) + port(1, dir_.file("ttyGone")) + port(2, b_.slavePath()));
    EXPECT_FALSE(ports_.load());
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortOpenFailed));
    EXPECT_EQ(ports_.count(), 0u);
    SerialPort first, third;
    EXPECT_TRUE(first.open(a_.slavePath(), 9600, 0, 0)); // released
    EXPECT_TRUE(third.open(b_.slavePath(), 9600, 0, 0)); // never opened
}

TEST_F(PortSetOnPtys, ADeviceRefusingItsSettingsEmptiesTheSet) {
    for (const char* refused : {"StopBits=1\n", "BaudRate=-1\n"}) {
        config(2, port(0, a_.slavePath()) + port(1, b_.slavePath(), refused));
        reporter_.clear();
        EXPECT_FALSE(ports_.load());
        EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortSetupFailed)) << refused;
        EXPECT_EQ(ports_.count(), 0u);
        SerialPort again;
        EXPECT_TRUE(again.open(b_.slavePath(), 9600, 0, 0));
    }
}

TEST(DevicePath, MapsConfiguredNamesToPaths) {
    const std::pair<const char*, const char*> cases[] = {{"COM1", "/dev/ttyS0"},
                                                         {"com12", "/dev/ttyS11"},
                                                         {"Com3", "/dev/ttyS2"},
                                                         {"COM0", "/dev/COM0"},
                                                         {"COMx", "/dev/COMx"},
                                                         {"COM", "/dev/COM"},
                                                         {"COM01", "/dev/COM01"},
                                                         {"COM1a", "/dev/COM1a"},
                                                         {"NUL", "/dev/null"},
                                                         {"nul", "/dev/null"},
                                                         {"ttyUSB0", "/dev/ttyUSB0"},
                                                         {"/tmp/x", "/tmp/x"},
                                                         {"pts/3", "pts/3"},
                                                         {"/dev/ttyACM0", "/dev/ttyACM0"},
                                                         {"COM99999999999", "/dev/COM99999999999"}};
    for (const auto& [name, path] : cases)
        EXPECT_EQ(devicePath(name), path) << name;
}

} // namespace
} // namespace cadentor
