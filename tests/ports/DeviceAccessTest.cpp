// A device the user may not open says that the user may need the dialout group.
#include "ports/SerialPort.h"
#include "support/ChildRun.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace cadentor {
namespace {

TEST(DeviceAccess, ARefusedDeviceHintsAtTheDialoutGroup) {
    const struct {
        int error;
        std::string detail;
    } cases[] = {
        {EACCES, "/dev/ttyUSB0: Permission denied (is the user in the dialout group?)"},
        {ENOENT, "/dev/ttyUSB0: No such file or directory"},
        {EPERM, "/dev/ttyUSB0: Operation not permitted"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(openFailureDetail("/dev/ttyUSB0", c.error), c.detail);

    // A real refusal: a pty nobody may open, opened by an ordinary user (as root, the child
    // becomes one).
    test::Pty pty;
    ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0), 0);
    const std::string detail = test::runInChild(
        [&] {
            test::RecordingReporter reporter;
            SerialPort port;
            if (port.open(pty.slavePath(), 9600, Parity::None, StopBits::One) ||
                reporter.reports().size() != 1)
                return std::string("opened");
            return std::to_string(static_cast<unsigned>(reporter.reports()[0].id)) + " " +
                   reporter.reports()[0].detail;
        },
        {.unprivileged = true});
    if (detail == test::childCannotRun)
        GTEST_SKIP() << "cannot run as an ordinary user";
    EXPECT_EQ(detail, "3 " + pty.slavePath() +
                          ": Permission denied (is the user in the dialout "
                          "group?)");
}

} // namespace
} // namespace cadentor
