// A Config.ini that exists but cannot be read opens no port, where an absent one gives the
// defaults. The dry-run layer stands in for the devices: a port it "opens" is one the system
// layer would really open, such as COM1 = /dev/ttyS0.
#include "ports/PortSet.h"
#include "support/ChildRun.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace cadentor {
namespace {

// "<message ids and details>; <ports in the set>", after one load.
std::string loadOutcome(PortSet& ports) {
    test::RecordingReporter reporter;
    ports.load();
    std::string text;
    for (const ErrorReport& report : reporter.reports())
        text += std::to_string(static_cast<unsigned>(report.id)) + " " + report.detail + "; ";
    for (PortId id = 0; id < ports.count(); ++id)
        text += ports.port(id)->deviceName() + " ";
    return text + std::to_string(ports.count()) + " ports";
}

class UnreadableConfig : public ::testing::Test {
protected:
    test::TempDir dir_;
    test::ScopedProgramDirectory programDirectory_{dir_.path()};
    const std::string path_ = dir_.file("Config.ini");
    PortSet ports_{DeviceLayer::dryRun()};
};

TEST_F(UnreadableConfig, IsReportedNamingTheFileAndOpensNoPort) {
    EXPECT_EQ(loadOutcome(ports_), "COM1 1 ports"); // absent: the defaults, no message
    dir_.write("Config.ini", "");
    EXPECT_EQ(loadOutcome(ports_), "COM1 1 ports"); // empty: the same
    std::filesystem::remove(path_);

    std::filesystem::create_directory(path_);
    EXPECT_EQ(loadOutcome(ports_), "10 " + path_ + ": Is a directory; 0 ports");
    std::filesystem::remove(path_);
    std::filesystem::create_symlink(dir_.file("moved.ini"), path_);
    EXPECT_EQ(loadOutcome(ports_), "10 " + path_ + ": No such file or directory; 0 ports");
    std::filesystem::remove(path_);

    dir_.write("Config.ini", "[Common]\nRequire=2\n[Port1]\nDevice=NUL\n");
    EXPECT_EQ(loadOutcome(ports_), "COM1 NUL 2 ports");
    ::chmod(path_.c_str(), 0);
    // As root the child becomes an ordinary user, who cannot read it either.
    const std::string unreadable =
        test::runInChild([&] { return loadOutcome(ports_); }, {.unprivileged = true});
    if (unreadable == test::childCannotRun)
        GTEST_SKIP() << "cannot run as an ordinary user";
    EXPECT_EQ(unreadable, "10 " + path_ + ": Permission denied; 0 ports");
}

} // namespace
} // namespace cadentor
