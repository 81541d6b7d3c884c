// cadentor-run as a process beside devices that fail and come back: a port that takes no data,
// a virtual port stopped and started again on its link, a device that appears late.

#include "Show.h"
#include "cli/Duration.h"
#include "messages/Messages.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

namespace cadentor::test {
namespace {

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Port 1 is a pty nobody reads; port 0 takes everything. Eight 8 KB commands to port 1 from
// 0.0 s, a tick to port 0 every half second from 1.0 s: the stalled port costs one time-out,
// later commands to it fail at once, and every tick arrives.
TEST(DeviceRecovery, AStalledPortCostsOneTimeOutWhileTheOtherPortGetsEveryEvent) {
    std::string sequence;
    for (int i = 0; i < 8; ++i)
        sequence += "0:0:0." + std::to_string(i) + " Big\n";
    for (int i = 0; i < 6; ++i)
        sequence += "0:0:" + std::to_string(1 + i / 2) + (i % 2 ? ".5" : "") + " Tick\n";
    Show show("Tick: 0: 54\nBig: 1:" + repeat(" 42", 8192) + "\n", sequence,
              "[Common]\nRequire=2\n[Port0]\nDevice={0}\n[Port1]\nDevice={1}\nWriteTimeout=1000\n");
    ChildProcess run(show.command("--skip-errors"));
    EXPECT_EQ(run.wait(), 1);
    const std::string err = run.err();
    EXPECT_EQ(occurrences(err, show.expand("{1}: the device took no data for 1 s")), 1u) << err;
    EXPECT_EQ(occurrences(err, show.expand("{1}: the device has not taken the earlier command")),
              occurrences(run.out(), "\tBig\tFailed") - 1);
    EXPECT_EQ(occurrences(run.out(), "\tTick\tDone"), 6u);
    EXPECT_EQ(show.port0.read(0, 200), "TTTTTT");
}

// The device of a show's port is a vport's link; a second vport started on the same link
// replaces it at once, and the first one, stopped, leaves it alone. The runner fails the events
// between, opens the link again and sends the rest to the second vport.
TEST(DeviceRecovery, AVirtualPortStartedAgainOnItsLinkGetsTheRestOfTheShow) {
    TempDir dir;
    const std::string link = dir.file("adapter");
    ChildProcess first({vportPath, "--link", link});
    std::string line, slave;
    ASSERT_TRUE(first.readLine(line)) << first.err();
    std::string sequence;
    for (int i = 0; i < 40; ++i)
        sequence += "0:0:" + std::to_string(i / 10) + "." + std::to_string(i % 10) + " A\n";
    Show show("A: 0: 41\n", sequence, "[Common]\nRequire=1\n[Port0]\nDevice=" + link + "\n");
    ChildProcess run(show.command("--skip-errors"));
    ASSERT_TRUE(run.readLine(line)) << run.err();
    EXPECT_EQ(line, "0:0:0.000\t" + link + "\tA\tDone");
    ChildProcess second({vportPath, "--link", link});
    ASSERT_TRUE(second.readLine(slave)) << second.err();
    EXPECT_EQ(std::filesystem::read_symlink(link), slave);
    first.sendSignal(SIGTERM);
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(std::filesystem::read_symlink(link), slave);
    EXPECT_EQ(run.wait(), 1);
    EXPECT_EQ(occurrences(run.err(), link + ": opened again"), 1u) << run.err();
    const std::string rows = run.out();
    EXPECT_TRUE(rows.find("\tA\tFailed\n") < rows.rfind("\tA\tDone\n")) << rows;
    EXPECT_TRUE(second.readLine(line)) << "nothing reached the second vport";
    EXPECT_TRUE(line.ends_with("\t0\t41")) << line;
}

// A device that appears two seconds late: the runner waits for it, names it once, and runs.
// One that never appears: message 3 once the time has passed, or a stop ends the wait at once.
TEST(DeviceRecovery, WaitForDevicesWaitsForALateDeviceUntilItsTimeOrAStop) {
    for (const auto& [wait, appears, stop, code] : {std::tuple{"20s", true, false, 0},
                                                    {"1500ms", false, false, 2},
                                                    {"1h", false, true, 143}}) {
        Show show("A: 0: 41\n", "0:0:0 A\n", "[Common]\nRequire=1\n[Port0]\nDevice={d}/adapter\n");
        const std::string link = show.dir.file("adapter");
        ChildProcess run(show.command(std::string("--wait-for-devices ") + wait));
        const std::string waiting = "cadentor-run: waiting up to " + std::string(wait) +
                                    " for a device: " + link + ": No such file or directory\n";
        for (int ms = 0; ms < 5000 && run.err().empty(); ms += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        if (appears) {
            ASSERT_EQ(::symlink(show.port0.slavePath().c_str(), link.c_str()), 0);
        }
        if (stop)
            run.sendSignal(SIGTERM);
        EXPECT_EQ(run.wait(), code) << wait;
        std::string err = run.err();
        EXPECT_TRUE(err.starts_with(waiting)) << err;
        err.erase(0, waiting.size());
        EXPECT_EQ(err, code == 2 ? "cadentor-run: " + loadMessage(MessageId::PortOpenFailed) +
                                       "\n  " + link + ": No such file or directory\n" +
                                       "cadentor-run: " + loadMessage(MessageId::BadPortId) +
                                       "\n  " + show.dir.file("seq.txt") +
                                       ":1: the command needs port 0, but no port is open\n"
                                 : "")
            << wait;
        EXPECT_EQ(show.port0.read(0, 200), appears ? "A" : "");
    }
    // Settings that a device refuses do not come right by waiting: reported at once.
    Show refused("A: 0: 41\n", "0:0:0 A\n",
                 "[Common]\nRequire=1\n[Port0]\nDevice={0}\nStopBits=1\n");
    ChildProcess run(refused.command("--wait-for-devices 1h"));
    EXPECT_EQ(run.wait(10000), 2);
    EXPECT_TRUE(run.err().starts_with("cadentor-run: " + loadMessage(MessageId::PortSetupFailed)))
        << run.err();
}

TEST(CommandLine, DurationsAreReadAsMillisecondsOrRefused) {
    for (const auto& [text, ms] :
         {std::pair<const char*, std::int64_t>{"0", 0}, {"1500ms", 1500}, {"30s", 30000},
          {"5m", 300000}, {"1h", 3600000}, {"0s", 0}, {"576h", 2073600000}, {"577h", -1},
          {"5hs", -1}, {"99999999999999999999ms", -1}, {"30", -1}, {"", -1}, {"s", -1},
          {"-5s", -1}, {"1.5s", -1}, {"30 s", -1}, {"5min", -1}, {"2d", -1}, {"10S", -1}})
        EXPECT_EQ(cli::parseDuration(text).value_or(-1), ms) << text;
}

} // namespace
} // namespace cadentor::test
