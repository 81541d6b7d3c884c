#include "PortSetFixture.h"
#include "ports/StopRequest.h"
#include "support/Pty.h"

#include <fcntl.h>
#include <future>
#include <sys/file.h>
#include <thread>

using namespace cadentor;

namespace {

// PortSet::load reading Config.ini from a temporary program directory, with ptys as devices.
class PortSetLoading : public test::PortSetFixture {
protected:
    // The load fails with exactly message `id` and `why`, and leaves no port.
    void expectRefused(PortSet& set, MessageId id, const std::string& why) {
        reporter_.clear();
        EXPECT_FALSE(set.load()) << why;
        EXPECT_EQ(set.count(), 0u) << why;
        EXPECT_EQ(reporter_.ids(), std::vector{id}) << why;
        EXPECT_EQ(detail(), why);
    }

    test::Pty a_, b_, d_;
};

TEST_F(PortSetLoading, WritesReachTheRightDeviceByteForByteAfterEveryLoadOrFailWithMessage4) {
    config(2, port(0, a_.slavePath()) + port(1, b_.slavePath(), "BaudRate=250000\n"));
    ASSERT_TRUE(ports_.load());
    ASSERT_TRUE(ports_.load()); // pressing Initialize twice reopens every device
    std::string bytes;
    for (int b = 0; b < 256; ++b)
        bytes.push_back(static_cast<char>(b));
    ASSERT_TRUE(write(1, bytes));
    ASSERT_TRUE(write(0, "A"));
    EXPECT_EQ(b_.read(bytes.size()), bytes);
    EXPECT_EQ(a_.read(1), "A");
    EXPECT_EQ(test::ttyOutputSpeed(b_.slaveFd()), 250000u);
    EXPECT_EQ(a_.exclusive(), 1); // other programs are kept out too
    EXPECT_EQ(detail(), "(none)");
    for (PortId id : {PortId{2}, ExecPortId, OpenPortId, PortId{0xffffffffu}})
        EXPECT_FALSE(write(id, "x"));
    EXPECT_EQ(reporter_.ids(), std::vector<MessageId>(4, MessageId::BadPortId));
    EXPECT_EQ(ports_.port(2), nullptr);
    ASSERT_TRUE(load({b_.slavePath()})); // each load reads the file afresh
    ASSERT_TRUE(write(0, "B"));
    EXPECT_EQ(b_.read(1), "B");
    EXPECT_EQ(a_.exclusive(), 0);
    b_.closeMaster(); // a write that fails is message 4, and the port stays in the set
    expectWriteFails(b_.slavePath() + ": the device hung up" + reopenNote, "abc");
    EXPECT_FALSE(write(0, "abc"));
    EXPECT_EQ(reporter_.ids(), std::vector<MessageId>(2, MessageId::PortWriteFailed));
}

TEST_F(PortSetLoading, RequireGivesTheCountAndAFileThatCannotBeReadOpensNoPort) {
    PortSet dry{DeviceLayer::dryRun()}; // opens nothing and accepts every setting
    ASSERT_TRUE(dry.load()); // no Config.ini: one port, COM1
    const std::string path = dir_.file("Config.ini");
    std::filesystem::create_directory(path);
    expectRefused(dry, MessageId::BadPortCount, path + ": Is a directory");
    std::filesystem::remove(path);
    config(2, port(0, "NUL", "BaudRate=250000\nParity=3\nStopBits=1\n") + port(1, "nul"));
    EXPECT_TRUE(ports_.load()); // the null device takes any settings and writes
    EXPECT_TRUE(write(1, "x"));
    config(0, port(0, "NUL"));
    EXPECT_TRUE(ports_.load());
    EXPECT_EQ(ports_.count(), 0u);
    config(1023);
    EXPECT_TRUE(dry.load());
    config(1024);
    expectRefused(dry, MessageId::BadPortCount, path + ": Require=1024 (at most 1023 ports)");
    config(-1, port(0, dir_.file("gone")));
    expectRefused(ports_, MessageId::BadPortCount, path + ": Require=-1");
}

// Each case: port 0 is a_, then the ports given; the load fails with one message.
TEST_F(PortSetLoading, APortThatFailsEmptiesTheSetAfterOneMessageAndFreesTheOthers) {
    PortSet holder; // another set of ours; another program holds c by flock alone
    ASSERT_TRUE(load({b_.slavePath()}, "", &holder));
    test::Pty c;
    const int other = ::open(c.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    const std::string file = dir_.write("notes.txt", "keep me"), tty = b_.slavePath();
    const std::string busy = ": device is busy (held by another program)";
    const std::string in = " in " + dir_.file("Config.ini") + ")";
    for (const auto& [ports, id, detail] :
         {std::tuple{port(1, dir_.file("gone")) + port(2, file), MessageId::PortOpenFailed,
                     dir_.file("gone") + ": No such file or directory"},
          {port(1, file), MessageId::PortOpenFailed, file + ": not a serial device"},
          {port(1, tty), MessageId::PortOpenFailed, tty + busy},
          {port(1, c.slavePath()), MessageId::PortOpenFailed, c.slavePath() + busy},
          {port(1, a_.slavePath()), MessageId::PortOpenFailed,
           a_.slavePath() + ": also the device of [Port0] ([Port1]" + in},
          {port(1, "NUL") + port(2, d_.slavePath(), "StopBits=1\n"), MessageId::PortSetupFailed,
           d_.slavePath() + ": 1.5 stop bits not supported with 8 data bits ([Port2]" + in}}) {
        config(3, port(0, a_.slavePath()) + ports);
        expectRefused(ports_, id, detail);
        EXPECT_EQ(a_.exclusive(), 0) << "a device stays held";
        EXPECT_EQ(d_.exclusive(), 0) << "a device stays held";
    }
    ::close(other);
}

// Nobody reads the master of d_ until the test does.
using StuckDevice = PortSetLoading;

// The command that gives up costs one time-out; later writes fail at once, without waiting,
// until the device has taken its queue. Of what it took nothing is dropped: a Done command
// arrives whole.
TEST_F(StuckDevice, GivesUpOnceThenFailsAtOnceUntilItTookItsQueueAndDropsNothingDone) {
    for (const auto& [ms, stop, reason] :
         {std::tuple{"150", false, "the device took no data for 150 ms"},
          {"1000", false, "the device took no data for 1 s"},
          {"600000", true, "stopped while the device took no data"}}) {
        ASSERT_TRUE(load({d_.slavePath()}, std::string("WriteTimeout=") + ms));
        const std::string done(2048, 'd');
        ASSERT_TRUE(write(0, done));
        std::future<void> stopping = std::async(std::launch::async, [stop = stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (stop)
                requestStop();
        });
        const auto start = std::chrono::steady_clock::now();
        expectWriteFails(d_.slavePath() + ": " + reason, std::string(256 * 1024, 'x'));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        stopping.get();
        clearStopRequest();
        expectWriteFails(d_.slavePath() + ": the device has not taken the earlier command yet",
                         "late");
        const std::string arrived = d_.read(0, 100);
        EXPECT_TRUE(arrived.starts_with(done)) << ms;
        EXPECT_EQ(arrived.find_first_not_of('x', done.size()), std::string::npos);
        EXPECT_TRUE(write(0, "next")) << detail();
        EXPECT_EQ(d_.read(4), "next");
    }
}

// A device that hung up is opened again by its configured name (here a link, pointed at the
// next pty as a replugged adapter comes back) before a later write, at most once a second,
// exclusively and with its settings.
TEST_F(StuckDevice, ADeviceThatHungUpIsOpenedAgainByItsNameAtMostOnceASecond) {
    const std::string link = dir_.file("adapter");
    ASSERT_EQ(::symlink(a_.slavePath().c_str(), link.c_str()), 0);
    std::vector<std::string> notices;
    ports_.setNotice([&](const std::string& text) { notices.push_back(text); });
    ASSERT_TRUE(load({link}, "BaudRate=57600\n"));
    a_.closeMaster();
    expectWriteFails(link + ": the device hung up" + reopenNote, "lost");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const std::string absent = link + ": No such file or directory" + reopenNote;
    expectWriteFails(absent, "absent"); // tried, and not there: at once
    ASSERT_EQ(::unlink(link.c_str()), 0);
    ASSERT_EQ(::symlink(b_.slavePath().c_str(), link.c_str()), 0);
    expectWriteFails(absent, "soon"); // within a second of the last try
    EXPECT_TRUE(notices.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_TRUE(write(0, "back")) << detail();
    EXPECT_EQ(b_.read(4), "back");
    EXPECT_EQ(notices, std::vector{link + ": opened again"});
    EXPECT_EQ(b_.exclusive(), 1);
    EXPECT_EQ(test::ttyOutputSpeed(b_.slaveFd()), 57600u);
}

TEST_F(StuckDevice, ASlowDeviceThatKeepsTakingDataIsNeverGivenUpOn) {
    ASSERT_TRUE(load({d_.slavePath()}, "WriteTimeout=300"));
    std::string bytes;
    for (int i = 0; i < 60000; ++i)
        bytes.push_back(static_cast<char>(i * 13 % 251));
    // 4 KB every 40 ms: the whole write takes far longer than the time-out.
    auto arrived = std::async(std::launch::async, [&] {
        std::string got;
        for (std::string part = "-"; !part.empty() && got.size() < bytes.size(); got += part) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            part = d_.read(1);
        }
        return got;
    });
    EXPECT_TRUE(write(0, bytes)) << detail();
    EXPECT_EQ(arrived.get(), bytes);
}

} // namespace
