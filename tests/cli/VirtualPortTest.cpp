// cadentor-vport as a process: what a writer sends to its slaves shows up as hex lines; and
// the pty pair it stands on.

#include "Show.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sys/resource.h>

namespace cadentor::test {
namespace {

namespace fs = std::filesystem;

using Reports = std::map<int, std::string>;

// Opens `path`, writes `bytes` and closes, as a one-shot writer such as a shell redirection does.
void send(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())) << path;
    ::close(fd);
}

// The hex bytes that the next lines "MS.USEC<TAB>PORT<TAB>HEX" report for each port, until
// `count` bytes came (a write may arrive in chunks); a line of another form under port -1.
Reports reports(ChildProcess& vport, std::size_t count) {
    static const std::regex form(R"(^\d+\.\d{3}\t(\d+)\t([0-9A-F]{2}( [0-9A-F]{2})*)$)");
    Reports hex;
    std::smatch match;
    for (std::string line; count > 0 && vport.readLine(line);) {
        const bool valid = std::regex_match(line, match, form);
        std::string& all = hex[valid ? std::stoi(match[1]) : -1];
        all += (all.empty() ? "" : " ") + (valid ? match[2].str() : line);
        count = valid ? count - std::min<std::size_t>(count, (match[2].length() + 1) / 3) : 0;
    }
    return hex;
}

TEST(VirtualPort, ReportsWhatWritersSendAndRemovesItsLinksOnASignal) {
    TempDir dir;
    const std::string link = dir.file("port");
    ASSERT_EQ(::symlink("/nonexistent/pts", (link + "1").c_str()), 0); // a stale link
    for (const auto& [count, signal] : {std::pair{"2", SIGTERM}, {"1", SIGINT}}) {
        ChildProcess vport({vportPath, "--link", link, "--count", count});
        const std::vector<std::string> links =
            *count == '1' ? std::vector{link} : std::vector{link + "0", link + "1"};
        for (std::string slave; const std::string& path : links) {
            ASSERT_TRUE(vport.readLine(slave)) << vport.err();
            EXPECT_EQ(fs::read_symlink(path), slave);
        }
        send(links.back(), "\x01\xAB\n");
        EXPECT_EQ(reports(vport, 3), (Reports{{*count - '1', "01 AB 0A"}}));
        // The first writer's close did not hang up the port: a second writer is heard too.
        send(links[0], std::string("\x00\xFF", 2));
        EXPECT_EQ(reports(vport, 2), (Reports{{0, "00 FF"}}));
        vport.sendSignal(signal);
        EXPECT_EQ(vport.wait(10000), 0);
        for (const std::string& path : links)
            EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
    }
}

// A pty and both listeners as the devices of runs one after the other. Each run connects, sends
// and leaves; the first two are killed while they hold the pty, which leaves the slave exclusive.
// The next run must be served at once all the same.
TEST(VirtualPort, ServesEachRunOverAPtyTcpAndUdpAlsoAfterARunnerWasKilled) {
    ChildProcess vport({vportPath, "--count", "1", "--tcp", "0", "--udp=0"});
    std::string slave, tcp, udp;
    ASSERT_TRUE(vport.readLine(slave) && vport.readLine(tcp) && vport.readLine(udp)) << vport.err();
    const Show show("A: 0: 41\nOn: 1: 02 4F 4E 03\nPing: 2: 50 49\n",
                    "0:0:0 A\n0:0:0 On\n0:0:0.05 Ping\n0:0:1 A\n",
                    "[Common]\nRequire=3\n[Port0]\nDevice=" + slave + "\n[Port1]\nDevice=" + tcp +
                        "\n[Port2]\nDevice=" + udp);
    for (int run = 0; run < 3; ++run) { // the last one ends by itself
        ChildProcess runner(show.command());
        EXPECT_EQ(reports(vport, 7), (Reports{{0, "41"}, {1, "02 4F 4E 03"}, {2, "50 49"}})) << run;
        if (run < 2)
            runner.sendSignal(SIGKILL);
        EXPECT_EQ(runner.wait(), run < 2 ? -SIGKILL : 0) << runner.err();
        // A few milliseconds for the vport to be scheduled on a busy machine; it used to need
        // 12 to 29 ms after the close.
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    EXPECT_EQ(reports(vport, 1), (Reports{{0, "41"}}));
    vport.sendSignal(SIGTERM);
    EXPECT_EQ(vport.wait(10000), 0);
}

TEST(VirtualPort, RefusesBadArgumentsAndToReplaceAFileThatIsNotALink) {
    TempDir dir;
    const std::string file = dir.write("dev", "keep me");
    for (const auto& [args, code] :
         {std::pair{std::vector<std::string>{vportPath, "--count", "257"}, 2},
          {{vportPath, "--link", file}, 1}}) {
        ChildProcess result(args);
        EXPECT_EQ(result.wait(), code) << args[1];
        EXPECT_EQ(result.out(), "") << args[1];
    }
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
}

TEST(PtyPair, ASlaveThatCannotBeOpenedIsAFailureNamingIt) {
    // In a child, the error on its stdout: room for one more descriptor only, the master takes it.
    ChildProcess child([] {
        const int lowest = ::dup(1);
        ::close(lowest);
        const rlimit limit{static_cast<rlim_t>(lowest) + 1, static_cast<rlim_t>(lowest) + 1};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 1;
        PtyPair pty;
        std::string error;
        if (openPtyPair(pty, false, error))
            return 2;
        return ::write(1, error.data(), error.size()) == ssize_t(error.size()) ? 0 : 3;
    });
    EXPECT_EQ(child.wait(), 0) << "1: could not set the limit; 2: the pair opened; 3: no report";
    EXPECT_TRUE(child.out().starts_with("/dev/pts/")) << child.out();
    EXPECT_TRUE(child.out().ends_with(": Too many open files")) << child.out();
}

} // namespace
} // namespace cadentor::test
