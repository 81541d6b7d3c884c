// cadentor-vport's listeners on 127.0.0.1 as the network devices of cadentor-run.

#include "support/ChildProcess.h"
#include "files/UniqueFd.h"
#include "support/TempDir.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>

namespace cadentor::test {
namespace {

const std::string vportPath = CADENTOR_BINARY_DIR "/tools/vport/cadentor-vport";
const std::string runnerPath = CADENTOR_BINARY_DIR "/src/cli/cadentor-run";

// Reads the vport's lines "MS.USEC<TAB>INDEX<TAB>HEX" until `lines` have come; per index, the
// hex of each line joined by " | ", or "?" and the line for another form.
std::map<int, std::string> readReports(ChildProcess& vport, int lines) {
    static const std::regex form(R"(^\d+\.\d{3}\t(\d+)\t([0-9A-F]{2}( [0-9A-F]{2})*)?$)");
    std::map<int, std::string> reports;
    std::string line;
    std::smatch match;
    while (lines-- > 0 && vport.readLine(line)) {
        if (!std::regex_match(line, match, form))
            return {{-1, "? " + line}};
        std::string& hex = reports[std::stoi(match[1])];
        hex += (hex.empty() ? "" : " | ") + match[2].str();
    }
    return reports;
}

// A client of the vport's TCP listener at `url` ("socket://127.0.0.1:PORT").
UniqueFd connectTo(const std::string& url) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fd.reset();
    return fd;
}

TEST(VirtualPortNetwork, ShowsWhatARunSendsOverTcpAndUdpOneClientAtATime) {
    ChildProcess vport({vportPath, "--tcp", "0", "--udp=0"});
    std::string tcp, udp;
    ASSERT_TRUE(vport.readLine(tcp)) << vport.err();
    ASSERT_TRUE(vport.readLine(udp)) << vport.err();
    ASSERT_TRUE(std::regex_match(tcp, std::regex(R"(socket://127\.0\.0\.1:\d+)"))) << tcp;
    ASSERT_TRUE(std::regex_match(udp, std::regex(R"(udp://127\.0\.0\.1:\d+)"))) << udp;

    TempDir dir;
    dir.write("Config.ini", "[Common]\nRequire=2\n[Port0]\nDevice=" + tcp +
                                "\nBaudRate=0\n[Port1]\nDevice=" + udp + "\n");
    dir.write("Command.def", "On: 0: 02 4F 4E 03\nPing: 1: 50 49\n");
    const std::string seq = dir.write("show.txt", "0:0:0 On\n0:0:0 Ping\n0:0:0.05 Ping\n");
    const std::string ran = "0:0:0.000\t" + tcp + "\tOn\tDone\n0:0:0.000\t" + udp +
                            "\tPing\tDone\n0:0:0.050\t" + udp + "\tPing\tDone\n";

    // The check reads the files and contacts nothing; a malformed URL is its problem.
    ChildProcess check({runnerPath, "--check", "--dir", dir.path(), seq});
    EXPECT_EQ(check.wait(), 0) << check.err();

    // While another client is served, the run's connection waits and is shown after it.
    UniqueFd other = connectTo(tcp);
    ASSERT_TRUE(other);
    ASSERT_EQ(::send(other.get(), "A", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(readReports(vport, 1), (std::map<int, std::string>{{0, "41"}}));
    ChildProcess run({runnerPath, "--dir", dir.path(), seq});
    EXPECT_EQ(run.wait(), 0) << run.err();
    EXPECT_EQ(run.out(), ran);
    EXPECT_EQ(readReports(vport, 2), (std::map<int, std::string>{{1, "50 49 | 50 49"}}));
    other.reset();
    EXPECT_EQ(readReports(vport, 1), (std::map<int, std::string>{{0, "02 4F 4E 03"}}));

    ChildProcess again({runnerPath, "--dir", dir.path(), seq}); // served once the last has gone
    EXPECT_EQ(again.wait(), 0) << again.err();
    EXPECT_EQ(again.out(), ran);
    EXPECT_EQ(readReports(vport, 3),
              (std::map<int, std::string>{{0, "02 4F 4E 03"}, {1, "50 49 | 50 49"}}));

    vport.sendSignal(SIGTERM);
    EXPECT_EQ(vport.wait(10000), 0);
    // Three clients came: the test's and the two runs; the check was not one.
    const std::string& notes = vport.err();
    std::ptrdiff_t connected = 0;
    for (std::size_t at = 0; (at = notes.find(" connected\n", at)) != std::string::npos; ++at)
        ++connected;
    EXPECT_EQ(connected, 3) << notes;
}

TEST(VirtualPortNetwork, RefusesBadPortsAndOneInUse) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--tcp"},
                                          {"--tcp", "65536"},
                                          {"--udp=x"},
                                          {"--tcp", "-1"},
                                          {"--udp", ""}}) {
        args.insert(args.begin(), vportPath);
        ChildProcess result(args);
        EXPECT_EQ(result.wait(), 2) << args[1];
        EXPECT_EQ(result.out(), "") << args[1];
    }
    for (const std::string option : {"--tcp", "--udp"}) {
        ChildProcess first({vportPath, option, "0"});
        std::string url;
        ASSERT_TRUE(first.readLine(url)) << first.err();
        ChildProcess second({vportPath, option, url.substr(url.rfind(':') + 1)});
        EXPECT_EQ(second.wait(), 1) << option;
        EXPECT_NE(second.err().find("Address already in use"), std::string::npos) << second.err();
    }
}

} // namespace
} // namespace cadentor::test
