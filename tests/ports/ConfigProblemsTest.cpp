// Config.ini files that must not open what they seem to say: one that exists but cannot be read
// opens no port (an absent one gives the defaults), a Require beyond the last port id and memory
// that runs out while reading are message 10 with the cause. Never an exception. The dry-run
// layer stands in for the devices: a port it "opens" is one the system layer would open, such
// as COM1 = /dev/ttyS0.
#include "ports/PortSet.h"
#include "support/ChildRun.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace cadentor {
namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

class ConfigProblems : public ::testing::Test {
protected:
    // "<message ids and details>; <ports in the set> N ports", after one load.
    std::string loadOutcome() {
        test::RecordingReporter reporter;
        ports_.load();
        std::string text;
        for (const ErrorReport& report : reporter.reports())
            text += std::to_string(static_cast<unsigned>(report.id)) + " " + report.detail + "; ";
        for (PortId id = 0; id < ports_.count() && id < 2; ++id)
            text += ports_.port(id)->deviceName() + " ";
        return text + std::to_string(ports_.count()) + " ports";
    }
    // The same for `config`, in a child whose address space may grow by `headroom` only (not
    // under AddressSanitizer, which cannot run so), so that a load allocating per id fails.
    std::string loadCapped(const std::string& config, std::uint64_t headroom = 256 * MiB) {
        dir_.write("Config.ini", config);
        return test::runInChild([&] { return loadOutcome(); },
                                {.addressHeadroom = test::underAddressSanitizer() ? 0 : headroom});
    }

    test::TempDir dir_;
    test::ScopedProgramDirectory programDirectory_{dir_.path()};
    const std::string path_ = dir_.file("Config.ini");
    PortSet ports_{DeviceLayer::dryRun()};
};

TEST_F(ConfigProblems, AnUnreadableFileIsReportedNamingItAndOpensNoPort) {
    EXPECT_EQ(loadOutcome(), "COM1 1 ports"); // absent: the defaults, no message
    dir_.write("Config.ini", "");
    EXPECT_EQ(loadOutcome(), "COM1 1 ports"); // empty: the same
    std::filesystem::remove(path_);

    std::filesystem::create_directory(path_);
    EXPECT_EQ(loadOutcome(), "10 " + path_ + ": Is a directory; 0 ports");
    std::filesystem::remove(path_);
    std::filesystem::create_symlink(dir_.file("moved.ini"), path_);
    EXPECT_EQ(loadOutcome(), "10 " + path_ + ": No such file or directory; 0 ports");
    std::filesystem::remove(path_);

    dir_.write("Config.ini", "[Common]\nRequire=2\n[Port1]\nDevice=NUL\n");
    EXPECT_EQ(loadOutcome(), "COM1 NUL 2 ports");
    ::chmod(path_.c_str(), 0);
    // As root the child becomes an ordinary user, who cannot read it either.
    const std::string unreadable =
        test::runInChild([&] { return loadOutcome(); }, {.unprivileged = true});
    if (unreadable == test::childCannotRun)
        GTEST_SKIP() << "cannot run as an ordinary user";
    EXPECT_EQ(unreadable, "10 " + path_ + ": Permission denied; 0 ports");
}

TEST_F(ConfigProblems, ARequireBeyondTheLastPortIdIsMessage10WithItsValue) {
    const struct {
        const char* require;
        std::string outcome;
    } cases[] = {
        {"1023", "COM1 COM2 1023 ports"}, // ids 0 to 1022; 1023 and 1024 are exec and open
        {"1024", "10 " + path_ + ": Require=1024 (at most 1023 ports); 0 ports"},
        {"2147483647", "10 " + path_ + ": Require=2147483647 (at most 1023 ports); 0 ports"},
        {"-2147483648", "10 " + path_ + ": Require=-2147483648; 0 ports"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(loadCapped("[Common]\nRequire=" + std::string(c.require) + "\n"), c.outcome);
}

TEST_F(ConfigProblems, MemoryRunningOutWhileReadingIsMessage10) {
    if (test::underAddressSanitizer())
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    std::string sections;
    for (int i = 0; i < 1 << 18; ++i)
        sections += "[P" + std::to_string(10000000 + i) + "]\n"; // 12 bytes, one section each
    EXPECT_EQ(loadCapped("[Common]\nRequire=1\n" + sections, 16 * MiB),
              "10 " + path_ + ": not enough memory to load the file (3.0 MiB); 0 ports");
    EXPECT_EQ(loadCapped("[Common]\nRequire=1\n" + sections, 1024 * MiB), "COM1 1 ports");
}

} // namespace
} // namespace cadentor
