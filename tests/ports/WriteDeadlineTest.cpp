#include "PortSetFixture.h"
#include "ports/StopRequest.h"
#include "support/Pty.h"

#include <chrono>
#include <future>
#include <thread>

using namespace cadentor;

namespace {

class StuckDevice : public test::PortSetFixture {
protected:
    test::Pty pty_; // nobody reads its master until the test does
};

TEST_F(StuckDevice, GivesUpAfterTheTimeoutOrAStopDropsTheRestAndTheNextWriteArrives) {
    for (const auto& [ms, stop, reason] :
         {std::tuple{"150", false, "the device took no data for 150 ms"},
          {"1000", false, "the device took no data for 1 s"},
          {"600000", true, "stopped while the device took no data"}}) {
        config({pty_.slavePath()}, std::string("WriteTimeout=") + ms);
        ASSERT_TRUE(ports_.load());
        reporter_.clear();
        std::future<void> stopping;
        if (stop)
            stopping = std::async(std::launch::async, [] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                requestStop();
            });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(write(0, std::string(256 * 1024, 'x')));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        clearStopRequest();
        EXPECT_EQ(reporter_.ids(), std::vector{MessageId::PortWriteFailed});
        EXPECT_EQ(detail(), pty_.slavePath() + ": " + reason);
        // The pty took about 18 KB before it stalled; the flush leaves the master's 4 KB.
        EXPECT_LT(pty_.read(0, 100).size(), 8192u) << ms;
        EXPECT_TRUE(write(0, "next"));
        EXPECT_EQ(pty_.read(4), "next");
    }
}

TEST_F(StuckDevice, ASlowDeviceThatKeepsTakingDataIsNeverGivenUpOn) {
    config({pty_.slavePath()}, "WriteTimeout=300");
    ASSERT_TRUE(ports_.load());
    std::string bytes;
    for (int i = 0; i < 60000; ++i)
        bytes.push_back(static_cast<char>(i * 13 % 251));
    // 4 KB every 40 ms: the whole write takes far longer than the time-out.
    auto arrived = std::async(std::launch::async, [&] {
        std::string got;
        for (std::string part = "-"; !part.empty() && got.size() < bytes.size(); got += part) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            part = pty_.read(1);
        }
        return got;
    });
    EXPECT_TRUE(write(0, bytes)) << detail();
    EXPECT_EQ(arrived.get(), bytes);
}

} // namespace
