// Network devices against listeners that the tests make on 127.0.0.1 at free ports; no other
// address is ever contacted and no name but "localhost" is looked up.

#include "ports/NetworkDevice.h"

#include "files/UniqueFd.h"
#include "ports/PortSet.h"
#include "ports/StopRequest.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <arpa/inet.h>
#include <chrono>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace cadentor {
namespace {

using ::testing::ElementsAre;

// A TCP or UDP socket bound to 127.0.0.1 at a port the system picks; a TCP one listens with
// `backlog` unless it is negative (then connecting to it is refused).
class Loopback {
public:
    explicit Loopback(bool udp, int backlog = 4)
        : udp_(udp), fd_(::socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = this->address(); // port 0: any free one
        socklen_t length = sizeof address;
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (!udp && backlog >= 0 && ::listen(fd_.get(), backlog) != 0) ||
            ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "cannot make a loopback socket";
        port_ = ntohs(address.sin_port);
    }
    sockaddr_in address() const {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        return address;
    }
    std::string url(const std::string& host = "127.0.0.1") const {
        return (udp_ ? "udp://" : "socket://") + host + ":" + std::to_string(port_);
    }
    // Whether something is ready to accept or to read within `timeoutMs`.
    bool ready(int timeoutMs = 5000) const { return readable(fd_.get(), timeoutMs); }
    UniqueFd accept() const {
        return UniqueFd(ready() ? ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
    }
    // The next datagram; "(none)" when none comes within 5 s.
    std::string datagram() const {
        char buffer[65536];
        const ssize_t n = ready() ? ::recv(fd_.get(), buffer, sizeof buffer, 0) : -1;
        return n < 0 ? "(none)" : std::string(buffer, static_cast<std::size_t>(n));
    }
    static bool readable(int fd, int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 1;
    }
    // Reads from a connection until `count` bytes came or none came for 5 s.
    static std::string read(const UniqueFd& peer, std::size_t count) {
        std::string got;
        char buffer[65536];
        while (got.size() < count && readable(peer.get(), 5000)) {
            const ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    bool udp_;
    UniqueFd fd_;
    int port_ = 0;
};

class NetworkPorts : public ::testing::Test {
protected:
    void config(const std::vector<std::string>& devices, const std::string& more = "") {
        std::string text = "[Common]\nRequire=" + std::to_string(devices.size()) + "\n";
        for (std::size_t i = 0; i < devices.size(); ++i)
            text += "[Port" + std::to_string(i) + "]\nDevice=" + devices[i] + "\n" + more;
        dir_.write("Config.ini", text);
    }
    static bool write(PortSet& set, PortId id, const std::string& bytes) {
        return set.write(id, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                         static_cast<std::uint32_t>(bytes.size()));
    }
    std::string lastDetail() const {
        return reporter_.reports().empty() ? "(none)" : reporter_.reports().back().detail;
    }

    test::TempDir dir_;
    test::ScopedProgramDirectory programDirectory_{dir_.path()};
    test::RecordingReporter reporter_;
    PortSet ports_, dry_{DeviceLayer::dryRun()};
};

TEST(NetworkDeviceNames, AreRecognisedAndMalformedOnesRefusedWithTheReason) {
    for (auto [name, network] : {std::pair{"socket://10.0.0.5:4001", true},
                                 {"SOCKET://x", true},
                                 {"Udp://", true},
                                 {"tcp://10.0.0.5:4001", false},
                                 {"/dev/ttyUSB0", false},
                                 {"COM1", false},
                                 {"socket:/x:1", false}})
        EXPECT_EQ(isNetworkDevice(name), network) << name;

    struct Good {
        const char* name;
        bool udp;
        const char* host;
        std::uint16_t port;
    };
    for (const Good& g : {Good{"socket://projector-1.local:7000", false, "projector-1.local", 7000},
                          Good{"UDP://192.168.1.20:1", true, "192.168.1.20", 1},
                          Good{"socket://[fe80::1%eth0]:65535", false, "fe80::1%eth0", 65535}}) {
        NetworkAddress address;
        std::string error;
        ASSERT_TRUE(parseNetworkAddress(g.name, address, error)) << error;
        EXPECT_EQ(address.udp, g.udp) << g.name;
        EXPECT_EQ(address.host, g.host);
        EXPECT_EQ(address.port, g.port);
    }

    // Each is message 3 with the reason, from the system layer and from the dry run alike.
    const std::string badPort = "the port must be a number from 1 to 65535",
                      noPort = "no port given (HOST:PORT)", noHost = "no host given (HOST:PORT)",
                      brackets = "an IPv6 address must stand in brackets: [ADDRESS]:PORT";
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"socket://10.0.0.5", noPort},
        {"socket://10.0.0.5:", noPort},
        {"udp://[::1]", noPort},
        {"socket://10.0.0.5:0", badPort},
        {"socket://10.0.0.5:65536", badPort},
        {"socket://10.0.0.5:99999999999999999999", badPort},
        {"socket://10.0.0.5:40x1", badPort},
        {"socket://10.0.0.5:4001/", badPort},
        {"socket://10.0.0.5:-1", badPort},
        {"socket://:4001", noHost},
        {"udp://[]:4001", noHost},
        {"socket://", noHost},
        {"socket://::1:4001", brackets},
        {"socket://fe80::1", brackets},
        {"socket://[::1:4001", "the IPv6 address lacks its closing ']'"},
        {"socket://[::1]4001", "a ':' and the port must follow the ']'"},
        {"socket://my host:4001", "the host must not contain '/' or blanks"}};
    for (const auto& [name, reason] : bad) {
        for (DeviceLayer* layer : {&DeviceLayer::system(), &DeviceLayer::dryRun()}) {
            test::RecordingReporter reporter;
            SerialPort port(*layer);
            EXPECT_FALSE(port.open(name, 9600, Parity::None, StopBits::One));
            EXPECT_THAT(reporter.ids(), ElementsAre(MessageId::PortOpenFailed)) << name;
            if (!reporter.reports().empty()) {
                EXPECT_EQ(reporter.reports()[0].detail, name + ": " + reason);
            }
            EXPECT_FALSE(port.isOpen());
        }
    }
}

TEST_F(NetworkPorts, TcpBytesArriveExactlyWhateverTheLineSettings) {
    Loopback peer(false);
    // No line settings apply: values a tty refuses are accepted. Two ports may name one peer.
    config({peer.url(), peer.url("localhost")}, "BaudRate=0\nParity=9\nStopBits=1\n");
    ASSERT_TRUE(ports_.load()) << lastDetail();
    ASSERT_TRUE(ports_.load()); // reloading closes and connects again
    const UniqueFd first = peer.accept(), second = peer.accept(), third = peer.accept(),
                   fourth = peer.accept();
    ASSERT_TRUE(fourth);
    EXPECT_EQ(ports_.port(1)->deviceName(), peer.url("localhost")); // shown as configured
    std::string bytes("\x0a\x0d\x00\xff", 4);
    for (int i = 0; i < 300000; ++i)
        bytes.push_back(static_cast<char>(i * 7 % 256));
    auto arrived =
        std::async(std::launch::async, [&] { return Loopback::read(third, bytes.size()); });
    ASSERT_TRUE(write(ports_, 0, bytes));
    ASSERT_TRUE(write(ports_, 1, "B"));
    ASSERT_TRUE(ports_.write(1, nullptr, 0));
    EXPECT_EQ(arrived.get(), bytes);
    EXPECT_EQ(Loopback::read(fourth, 1), "B");
    EXPECT_EQ(Loopback::read(first, 1), ""); // the connections of the first load were closed
    EXPECT_TRUE(reporter_.reports().empty()) << lastDetail();
}

TEST_F(NetworkPorts, UdpSendsOneDatagramPerWrite) {
    Loopback peer(true);
    config({peer.url()});
    ASSERT_TRUE(ports_.load()) << lastDetail();
    for (const std::string& bytes :
         {std::string("\x02ON\x03", 4), std::string(), std::string(9000, 'x')})
        ASSERT_TRUE(write(ports_, 0, bytes));
    EXPECT_EQ(peer.datagram(), std::string("\x02ON\x03", 4));
    EXPECT_EQ(peer.datagram(), "");
    EXPECT_EQ(peer.datagram(), std::string(9000, 'x'));
    EXPECT_FALSE(write(ports_, 0, std::string(70000, 'y'))); // larger than any datagram
    EXPECT_EQ(lastDetail(), peer.url() + ": Message too long");
}

TEST_F(NetworkPorts, ARefusedConnectionIsMessage3WithTheReasonAndEmptiesTheSet) {
    Loopback peer(false), closed(false, -1); // bound but not listening: refused
    config({peer.url(), closed.url()});
    EXPECT_FALSE(ports_.load());
    EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortOpenFailed));
    EXPECT_EQ(lastDetail(), closed.url() + ": Connection refused");
    EXPECT_EQ(ports_.count(), 0u);
    const UniqueFd first = peer.accept(); // port 0 had connected and was closed again
    EXPECT_EQ(Loopback::read(first, 1), "");
}

TEST_F(NetworkPorts, AConnectionNotTakenGivesUpAfterFiveSecondsOrAtAStopRequest) {
    // A listener whose queue is full drops further connection requests without an answer.
    Loopback peer(false, 0);
    std::vector<UniqueFd> queued;
    const sockaddr_in address = peer.address();
    for (int i = 0; i < 2; ++i) {
        queued.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(queued.back().get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    config({peer.url()});
    for (bool stop : {true, false}) {
        reporter_.clear();
        if (stop)
            requestStop();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(ports_.load());
        const auto waited = std::chrono::steady_clock::now() - start;
        clearStopRequest();
        EXPECT_THAT(reporter_.ids(), ElementsAre(MessageId::PortOpenFailed));
        EXPECT_EQ(lastDetail(),
                  peer.url() + (stop ? ": stopped while connecting" : ": Connection timed out"));
        if (stop)
            EXPECT_LT(waited, std::chrono::seconds(2));
        else
            EXPECT_TRUE(waited > std::chrono::milliseconds(NetworkOpenTimeoutMs - 500) &&
                        waited < std::chrono::seconds(15));
    }
}

TEST_F(NetworkPorts, APeerThatWentAwayFailsTheNextWriteAndALoadConnectsAgain) {
    for (bool reset : {false, true}) {
        reporter_.clear();
        Loopback peer(false);
        config({peer.url()});
        ASSERT_TRUE(ports_.load()) << lastDetail();
        {
            UniqueFd connection = peer.accept();
            ASSERT_TRUE(write(ports_, 0, "ab"));
            ASSERT_EQ(Loopback::read(connection, 2), "ab");
            if (reset) { // close with a zero linger: the connection is reset, not ended
                const linger abort{1, 0};
                ::setsockopt(connection.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // loopback needs far less
        EXPECT_FALSE(write(ports_, 0, "cd"));
        EXPECT_FALSE(write(ports_, 0, "cd")); // still open, still failing, no SIGPIPE
        EXPECT_THAT(reporter_.ids(),
                    ElementsAre(MessageId::PortWriteFailed, MessageId::PortWriteFailed));
        EXPECT_EQ(reporter_.reports()[0].detail,
                  peer.url() +
                      (reset ? ": Connection reset by peer" : ": the peer closed the connection"));
        EXPECT_EQ(ports_.count(), 1u);
        ASSERT_TRUE(ports_.load());
        const UniqueFd again = peer.accept();
        ASSERT_TRUE(write(ports_, 0, "ef"));
        EXPECT_EQ(Loopback::read(again, 2), "ef");
    }
}

TEST_F(NetworkPorts, APeerThatTakesNoDataFailsTheWriteAfterTheTimeoutAndTheConnectionSendsNoMore) {
    Loopback peer(false);
    config({peer.url()}, "WriteTimeout=200\n");
    ASSERT_TRUE(ports_.load());
    const UniqueFd connection = peer.accept(); // and never read: the buffers fill up
    EXPECT_FALSE(write(ports_, 0, std::string(64 << 20, 'x')));
    EXPECT_EQ(lastDetail(), peer.url() + ": the device took no data for 200 ms");
    // What follows would run into the command cut off: this connection sends nothing more.
    EXPECT_FALSE(write(ports_, 0, "next"));
    EXPECT_EQ(lastDetail(),
              peer.url() + ": a command was cut off on this connection; Initialize connects again");
    ASSERT_TRUE(ports_.load());
    const UniqueFd again = peer.accept();
    ASSERT_TRUE(write(ports_, 0, "ok"));
    EXPECT_EQ(Loopback::read(again, 2), "ok");
}

TEST_F(NetworkPorts, AnswersFromThePeerAreDroppedAndNeverStallWrites) {
    Loopback peer(false);
    config({peer.url()});
    ASSERT_TRUE(ports_.load());
    const UniqueFd connection = peer.accept();
    // 32 MB of answers, more than any receive buffer takes, so they must be read as they come.
    const std::string answer(4096, 'k');
    const int writes = 8192;
    for (int i = 0; i < writes; ++i) {
        ASSERT_EQ(::send(connection.get(), answer.data(), answer.size(), MSG_DONTWAIT),
                  static_cast<ssize_t>(answer.size()))
            << "the port stopped reading after " << i << " answers";
        ASSERT_TRUE(write(ports_, 0, "q")) << lastDetail();
    }
    EXPECT_EQ(Loopback::read(connection, writes), std::string(writes, 'q'));
}

TEST_F(NetworkPorts, TheDryRunContactsNothing) {
    Loopback tcp(false), udp(true);
    config({tcp.url(), udp.url(), "socket://localhost:1"});
    ASSERT_TRUE(dry_.load());
    EXPECT_TRUE(write(dry_, 1, "x"));
    EXPECT_FALSE(tcp.ready(200));
    EXPECT_FALSE(udp.ready(200));
    EXPECT_TRUE(reporter_.reports().empty());
}

} // namespace
} // namespace cadentor
