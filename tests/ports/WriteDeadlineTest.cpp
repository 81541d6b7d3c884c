// Writes to a device that takes no data: they give up after the port's WriteTimeout without
// progress, or at once on a stop request, drop the unsent rest, and leave the port usable.

#include "ports/PortSet.h"
#include "ports/StopRequest.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace cadentor {
namespace {

using Clock = std::chrono::steady_clock;

bool write(PortSet& ports, const std::string& bytes) {
    return ports.write(0, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                       static_cast<std::uint32_t>(bytes.size()));
}

class StuckDevice : public ::testing::Test {
protected:
    void load(const std::string& writeTimeout) {
        dir_.write("Config.ini", "[Port0]\nDevice=" + pty_.slavePath() + "\n" + writeTimeout);
        ASSERT_TRUE(ports_.load());
    }
    std::string lastDetail() const {
        return reporter_.reports().empty() ? "" : reporter_.reports().back().detail;
    }

    test::TempDir dir_;
    test::ScopedProgramDirectory programDirectory_{dir_.path()};
    test::RecordingReporter reporter_;
    test::Pty pty_; // nobody reads its master until the test does
    PortSet ports_;
};

TEST_F(StuckDevice, GivesUpAfterTheTimeoutOrAStopDropsTheRestAndTheNextWriteArrives) {
    for (const auto& [ms, stop, reason] :
         {std::tuple{"150", false, "the device took no data for 150 ms"},
          {"1000", false, "the device took no data for 1 s"},
          {"600000", true, "stopped while the device took no data"}}) {
        load(std::string("WriteTimeout=") + ms);
        reporter_.clear();
        std::future<void> stopping;
        if (stop)
            stopping = std::async(std::launch::async, [] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                requestStop();
            });
        const auto start = Clock::now();
        EXPECT_FALSE(write(ports_, std::string(256 * 1024, 'x')));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)); // far below 600 s
        clearStopRequest();
        EXPECT_EQ(reporter_.ids(), std::vector{MessageId::PortWriteFailed});
        EXPECT_EQ(lastDetail(), pty_.slavePath() + ": " + reason);
        // The pty took about 18 KB before it stalled; the flush leaves the master's 4 KB.
        EXPECT_LT(pty_.read(0, 100).size(), 8192u) << ms;
        EXPECT_TRUE(write(ports_, "next"));
        EXPECT_EQ(pty_.read(4), "next");
    }
}

TEST_F(StuckDevice, ASlowDeviceThatKeepsTakingDataIsNeverGivenUpOn) {
    load("WriteTimeout=300");
    std::string bytes;
    for (int i = 0; i < 60000; ++i)
        bytes.push_back(static_cast<char>(i * 13 % 251));
    // 2 KB every 40 ms: the whole write takes far longer than the time-out.
    auto arrived = std::async(std::launch::async, [&] {
        std::string got;
        char buffer[2048];
        for (ssize_t n = 0; got.size() < bytes.size(); got.append(buffer, n)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            pollfd p{pty_.masterFd(), POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0 ||
                (n = ::read(pty_.masterFd(), buffer, sizeof buffer)) <= 0)
                break;
        }
        return got;
    });
    EXPECT_TRUE(write(ports_, bytes)) << lastDetail();
    EXPECT_EQ(arrived.get(), bytes);
}

} // namespace
} // namespace cadentor
