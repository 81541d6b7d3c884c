// cadentor-vport after the program using its port was killed with SIGKILL.

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace cadentor::test {
namespace {

const std::string vportPath = CADENTOR_BINARY_DIR "/tools/vport/cadentor-vport";
const std::string runnerPath = CADENTOR_BINARY_DIR "/src/cli/cadentor-run";

TEST(VirtualPortAfterAKill, ServesTheNextProgramButNoneWhileTheHolderLives) {
    TempDir dir;
    const std::string link = dir.file("port");
    ChildProcess vport({vportPath, "--link", link});
    std::string slave, line;
    ASSERT_TRUE(vport.readLine(slave)) << vport.err();
    dir.write("Config.ini", "[Common]\nRequire=1\n[Port0]\nDevice=" + link + "\n");
    dir.write("Command.def", "A: 0: 41\n");
    const std::string hold = dir.write("hold.txt", "0:0:0 A\n1000:0:0 A\n");
    const std::string once = dir.write("once.txt", "0:0:0 A\n");

    ChildProcess holder({runnerPath, "--dir", dir.path(), hold});
    ASSERT_TRUE(holder.readLine(line)) << holder.err();
    // The vport's own checks never take the port from a program that lives.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ChildProcess refused({runnerPath, "--dir", dir.path(), once});
    EXPECT_NE(refused.wait(), 0);
    EXPECT_NE(refused.err().find(link + ": device is busy"), std::string::npos) << refused.err();

    holder.sendSignal(SIGKILL);
    ASSERT_EQ(holder.wait(), -SIGKILL);
    int code = -1;
    for (int tries = 0; tries < 30 && code != 0; ++tries) {
        ChildProcess again({runnerPath, "--dir", dir.path(), once});
        if ((code = again.wait()) != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(code, 0);
}

} // namespace
} // namespace cadentor::test
