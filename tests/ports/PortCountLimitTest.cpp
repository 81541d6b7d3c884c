// A Require larger than the ports there can be, and memory that runs out while Config.ini is
// read: message 10 with the cause, an empty set, and never an exception. Each load runs in a
// child whose address space is capped (but under AddressSanitizer, which cannot run so), so a
// load that allocated per id would fail there.
#include "ports/PortSet.h"
#include "support/ChildRun.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace cadentor {
namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

class PortCountLimit : public ::testing::Test {
protected:
    // "<message ids and details>; <ports in the set>" after loading `config` with `headroom`.
    std::string load(const std::string& config, std::uint64_t headroom = 256 * MiB) {
        dir_.write("Config.ini", config);
        return test::runInChild(
            [&] {
                test::RecordingReporter reporter;
                ports_.load();
                std::string text;
                for (const ErrorReport& report : reporter.reports())
                    text += std::to_string(static_cast<unsigned>(report.id)) + " " + report.detail +
                            "; ";
                return text + std::to_string(ports_.count()) + " ports";
            },
            {.addressHeadroom = test::underAddressSanitizer() ? 0 : headroom});
    }

    test::TempDir dir_;
    test::ScopedProgramDirectory programDirectory_{dir_.path()};
    const std::string path_ = dir_.file("Config.ini");
    PortSet ports_{DeviceLayer::dryRun()};
};

TEST_F(PortCountLimit, ARequireBeyondTheLastPortIdIsMessage10WithItsValue) {
    const struct {
        const char* require;
        std::string outcome;
    } cases[] = {
        {"1023", "1023 ports"}, // ids 0 to 1022; 1023 and 1024 are the exec and open actions
        {"1024", "10 " + path_ + ": Require=1024 (at most 1023 ports); 0 ports"},
        {"2147483647", "10 " + path_ + ": Require=2147483647 (at most 1023 ports); 0 ports"},
        {"-2147483648", "10 " + path_ + ": Require=-2147483648; 0 ports"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(load("[Common]\nRequire=" + std::string(c.require) + "\n"), c.outcome);
}

TEST_F(PortCountLimit, MemoryRunningOutWhileReadingConfigIsMessage10) {
    if (test::underAddressSanitizer())
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    std::string sections;
    for (int i = 0; i < 1 << 18; ++i)
        sections += "[P" + std::to_string(10000000 + i) + "]\n"; // 12 bytes, one section each
    EXPECT_EQ(load("[Common]\nRequire=1\n" + sections, 16 * MiB),
              "10 " + path_ + ": not enough memory to load the file (3.0 MiB); 0 ports");
    EXPECT_EQ(load("[Common]\nRequire=1\n" + sections, 1024 * MiB), "1 ports");
}

} // namespace
} // namespace cadentor
