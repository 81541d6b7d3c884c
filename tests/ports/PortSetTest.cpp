#include "ports/PortSet.h"

#include "support/Pty.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"
#include "support/TtySpeed.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

namespace cadentor {
namespace {

using ::testing::ElementsAre;

// PortSet::load reading Config.ini from a temporary program directory; the devices are ptys
// opened through the system layer, or anything at all through the dry-run layer.
class PortSetLoading : public ::testing::Test {
protected:
    void config(int require, const std::string& ports = "") {
        dir_.write("Config.ini", "[Common]\nRequire=" + std::to_string(require) + "\n" + ports);
    }
    static std::string port(int n, const std::string& device, const std::string& more = "") {
        return "[Port" + std::to_string(n) + "]\nDevice=" + device + "\n" + more;
    }
    static bool write(PortSet& set, PortId id, const std::string& bytes) {
        return set.write(id, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                         static_cast<std::uint32_t>(bytes.size()));
    }
    static std::string describe(const PortSet& set, PortId id) {
        const SerialPort* port = set.port(id);
        return port ? port->deviceName() + " " + std::to_string(port->baudRate()) + " " +
                          std::to_string(static_cast<int>(port->parity())) + " " +
                          std::to_string(static_cast<int>(port->stopBits()))
                    : "(none)";
    }
    static int exclusive(const test::Pty& pty) {
        int held = -1;
        ::ioctl(pty.slaveFd(), TIOCGEXCL, &held);
        return held;
    }
    bool canOpen(const test::Pty& pty) {
        return SerialPort().open(pty.slavePath(), 9600, Parity::None, StopBits::One);
    }

    test::TempDir dir_;
    test::ScopedProgramDirectory programDirectory_{dir_.path()};
    test::RecordingReporter reporter_;
    test::Pty a_, b_;
    PortSet ports_, dry_{DeviceLayer::dryRun()};
};

TEST_F(PortSetLoading, EachPortGetsItsSectionOrTheDefaults) {
    ASSERT_TRUE(dry_.load()); // without Config.ini: COM1 at 9600, no parity, one stop bit
    EXPECT_EQ(describe(dry_, 0), "COM1 9600 0 0");
    config(2, port(1, "/nonexistent/tty", "BaudRate=115200\nParity=1\nStopBits=1\n"));
    ASSERT_TRUE(dry_.load()); // the dry run opens nothing and accepts every setting
    EXPECT_EQ(describe(dry_, 0), "COM1 9600 0 0");
    EXPECT_EQ(describe(dry_, 1), "/nonexistent/tty 115200 2 1");
    EXPECT_EQ(describe(dry_, 2), "(none)"); // no port past the end
    EXPECT_EQ(describe(dry_, 1023), "(none)");
    EXPECT_TRUE(write(dry_, 1, "x"));
    EXPECT_TRUE(reporter_.reports().empty());
}

TEST_F(PortSetLoading, RequireZeroIsAnEmptySetAndNegativeIsMessage10) {
    config(2);
    ASSERT_TRUE(dry_.load());
    config(0, port(0, "NUL"));
    EXPECT_TRUE(dry_.load());
    EXPECT_EQ(dry_.count(), 0u);
    config(2);
    ASSERT_TRUE(dry_.load());
    config(-1);
    EXPECT_FALSE(dry_.load());
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::BadPortCount));
    EXPECT_EQ(describe(dry_, 0), "(none)");
}

TEST_F(PortSetLoading, WritesReachTheRightDeviceAfterEveryLoad) {
    config(2, port(0, a_.slavePath()) + port(1, b_.slavePath(), "BaudRate=250000\n"));
    ASSERT_TRUE(ports_.load());
    ASSERT_TRUE(ports_.load()); // pressing Initialize twice reopens every device
    std::string bytes("\x0a\x0d\x00\xff\x11\x13", 6); // every byte arrives unchanged
    for (int b = 0; b < 256; ++b)
        bytes.push_back(static_cast<char>(b));
    ASSERT_TRUE(write(ports_, 1, bytes));
    ASSERT_TRUE(write(ports_, 0, "A"));
    ASSERT_TRUE(ports_.write(0, nullptr, 0));
    EXPECT_EQ(b_.read(bytes.size()), bytes);
    EXPECT_EQ(a_.read(1), "A");
    EXPECT_EQ(test::ttyOutputSpeed(b_.slaveFd()), 250000u);
    EXPECT_TRUE(reporter_.reports().empty());
    for (PortId id : {PortId{2}, ExecPortId, OpenPortId, PortId{0xffffffffu}})
        EXPECT_FALSE(write(ports_, id, "x"));
    EXPECT_EQ(reporter_.ids(), std::vector<MessageId>(4, MessageId::BadPortId));

    config(1, port(0, b_.slavePath())); // each load reads the file afresh
    ASSERT_TRUE(ports_.load());
    EXPECT_EQ(ports_.port(0)->deviceName(), b_.slavePath());
    ASSERT_TRUE(write(ports_, 0, "B"));
    EXPECT_EQ(b_.read(1), "B");
    EXPECT_EQ(exclusive(a_), 0);
}

TEST_F(PortSetLoading, ADeviceHeldByAnotherSetOrPortIsMessage3) {
    config(1, port(0, a_.slavePath()));
    ASSERT_TRUE(ports_.load());
    EXPECT_EQ(exclusive(a_), 1); // other programs are kept out too
    PortSet other;
    EXPECT_FALSE(other.load());
    EXPECT_EQ(other.count(), 0u);
    EXPECT_EQ(ports_.count(), 1u);
    config(2, port(0, b_.slavePath()) + port(1, b_.slavePath()));
    EXPECT_FALSE(other.load());
    EXPECT_EQ(other.count(), 0u);
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortOpenFailed, MessageId::PortOpenFailed));
    EXPECT_EQ(reporter_.reports()[1].detail,
              b_.slavePath() + ": device is busy (held by another program)");
    ports_.closeAll(); // gives the device back entirely
    EXPECT_EQ(exclusive(a_), 0);
    EXPECT_TRUE(canOpen(a_));
}

TEST_F(PortSetLoading, AMissingSecondDeviceClosesTheFirstAgain) {
    const std::string gone = dir_.file("ttyGone");
    config(3, port(0, a_.slavePath()) + port(1, gone) + port(2, dir_.file("ttyAlsoGone")));
    EXPECT_FALSE(ports_.load());
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortOpenFailed)); // port 2 never tried
    EXPECT_EQ(reporter_.reports()[0].detail, gone + ": No such file or directory");
    EXPECT_EQ(ports_.count(), 0u);
    EXPECT_TRUE(canOpen(a_));
}

TEST_F(PortSetLoading, ADeviceRefusingItsSettingsIsMessage2AndEmptiesTheSet) {
    config(2, port(0, a_.slavePath()) + port(1, b_.slavePath(), "StopBits=1\n"));
    EXPECT_FALSE(ports_.load());
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortSetupFailed));
    EXPECT_EQ(ports_.count(), 0u);
    EXPECT_TRUE(canOpen(a_));
    EXPECT_TRUE(canOpen(b_));
}

TEST_F(PortSetLoading, AFailedWriteIsMessage4AndThePortStaysInTheSet) {
    config(1, port(0, a_.slavePath()));
    ASSERT_TRUE(ports_.load());
    a_.closeMaster();
    EXPECT_FALSE(write(ports_, 0, "abc"));
    EXPECT_FALSE(write(ports_, 0, "abc")); // still open: the device fails again
    EXPECT_THAT(reporter_.ids(),
                ElementsAre(MessageId::PortWriteFailed, MessageId::PortWriteFailed));
    EXPECT_EQ(reporter_.reports()[0].detail, a_.slavePath() + ": Input/output error");
    EXPECT_EQ(ports_.count(), 1u);
}

} // namespace
} // namespace cadentor
