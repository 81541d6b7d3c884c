// cadentor-run against a device that takes no data: the write gives up after the port's
// WriteTimeout, and a stop signal ends the run at once even inside such a write.

#include "support/ChildProcess.h"
#include "support/Pty.h"
#include "support/TempDir.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>

namespace cadentor::test {
namespace {

const std::string runnerPath = CADENTOR_BINARY_DIR "/src/cli/cadentor-run";

TEST(StuckDevice, TheWriteGivesUpAfterTheTimeoutAndAStopEndsItAtOnce) {
    struct Case {
        const char* writeTimeout;
        int signal, code;
        const char* told;
    };
    for (const Case& c : {Case{"200", 0, 1, "the device took no data for 200 ms"},
                          Case{"600000", SIGTERM, 143, "stopped while the device took no data"},
                          Case{"600000", SIGHUP, 129, "stopped while the device took no data"}}) {
        SCOPED_TRACE(std::string(c.writeTimeout) + " ms, signal " + std::to_string(c.signal));
        TempDir dir;
        Pty port; // its master is never read: the device takes about 18 KB, then nothing
        dir.write("Config.ini", "[Port0]\nDevice=" + port.slavePath() +
                                    "\nWriteTimeout=" + c.writeTimeout + "\n");
        const char* const hex = "0123456789ABCDEF";
        std::string bytes, sequence;
        for (int i = 0; i < 256; ++i)
            bytes += {' ', hex[i / 16], hex[i % 16]};
        dir.write("Command.def", "Block: 0:" + bytes + "\n");
        for (int i = 0; i < 400; ++i)
            sequence += "0:0 Block\n";
        dir.write("seq.txt", sequence);
        ChildProcess run({runnerPath, "--dir", dir.path(), dir.file("seq.txt")});
        if (c.signal != 0) {
            ::usleep(500000); // the device is full by now
            run.sendSignal(c.signal);
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(run.wait(5000), c.code) << run.err();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_NE(run.err().find(port.slavePath() + ": " + c.told), std::string::npos) << run.err();
    }
}

} // namespace
} // namespace cadentor::test
