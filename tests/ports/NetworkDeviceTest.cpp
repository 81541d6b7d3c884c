// Network devices against listeners that the tests make on 127.0.0.1 at free ports; no other
// address is ever contacted and no name but "localhost" is looked up.

#include "ports/NetworkDevice.h"

#include "PortSetFixture.h"
#include "files/UniqueFd.h"

#include <arpa/inet.h>
#include <chrono>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

using namespace cadentor;

namespace {

// Reads from a socket of a Loopback until `count` bytes came or none came for 5 s.
std::string receive(int fd, std::size_t count) {
    std::string got;
    char buffer[65536];
    for (ssize_t n; got.size() < count && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        got.append(buffer, static_cast<std::size_t>(n));
    return got;
}

using NetworkPorts = test::PortSetFixture;

// A TCP (listening unless `listen` is false: connecting is then refused) or UDP socket bound to
// 127.0.0.1 at a port the system picks. Accepting and receiving, also on the connections it
// accepts, give up after 5 s.
// At port `at`, when given, as a device that restarts listens where it did.
struct Loopback {
    explicit Loopback(bool udp, bool listen = true, int at = 0)
        : udp(udp), fd(::socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{
            AF_INET, htons(static_cast<std::uint16_t>(at)), {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        const timeval wait{5, 0};
        const int reuse = 1;
        if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0 ||
            ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
            ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (!udp && listen && ::listen(fd.get(), 4) != 0) ||
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "cannot make a loopback socket";
        port = ntohs(address.sin_port);
    }
    std::string url(const std::string& host = "127.0.0.1") const {
        return (udp ? "udp://" : "socket://") + host + ":" + std::to_string(port);
    }
    UniqueFd accept() const { return UniqueFd(::accept4(fd.get(), nullptr, nullptr, 0)); }

    bool udp;
    UniqueFd fd;
    int port = 0;
};

TEST_F(NetworkPorts, NamesAreRecognisedAndMalformedOnesRefusedWithTheReason) {
    EXPECT_FALSE(isNetworkDevice("tcp://10.0.0.5:4001"));
    EXPECT_FALSE(isNetworkDevice("socket:/x:1"));
    NetworkAddress address;
    std::string error;
    ASSERT_TRUE(parseNetworkAddress("UDP://[fe80::1%eth0]:65535", address, error)) << error;
    EXPECT_EQ((address.udp ? "udp " : "tcp ") + address.host + " " + std::to_string(address.port),
              "udp fe80::1%eth0 65535");
    // Each is message 3 with the reason, from the system layer and from the dry run alike.
    const std::string badPort = "the port must be a number from 1 to 65535";
    for (const auto& [name, reason] : std::vector<std::pair<std::string, std::string>>{
             {"socket://10.0.0.5:", "no port given (HOST:PORT)"},
             {"socket://10.0.0.5:65536", badPort},
             {"socket://10.0.0.5:0", badPort},
             {"socket://10.0.0.5:40x1", badPort},
             {"udp://[]:4001", "no host given (HOST:PORT)"},
             {"socket://::1:4001", "an IPv6 address must stand in brackets: [ADDRESS]:PORT"},
             {"socket://[::1:4001", "the IPv6 address lacks its closing ']'"},
             {"socket://[::1]4001", "a ':' and the port must follow the ']'"},
             {"socket://my host:4001", "the host must not contain '/' or blanks"}}) {
        for (DeviceLayer* layer : {&DeviceLayer::system(), &DeviceLayer::dryRun()}) {
            reporter_.clear();
            EXPECT_FALSE(SerialPort(*layer).open(name, 9600, Parity::None, StopBits::One));
            EXPECT_EQ(reporter_.ids(), std::vector{MessageId::PortOpenFailed}) << name;
            EXPECT_EQ(detail(), name + ": " + reason);
        }
    }
}

TEST_F(NetworkPorts,
       BytesArriveExactlyWhateverTheSettingsAndTheAnswersAndTheDryRunContactsNothing) {
    Loopback peer(false), udp(true), closed(false, false);
    // No line settings apply: values a tty refuses are accepted. Two ports may name one peer.
    PortSet dry{DeviceLayer::dryRun()};
    ASSERT_TRUE(load({peer.url(), peer.url("localhost"), udp.url()},
                     "BaudRate=0\nParity=9\nStopBits=1\n", &dry));
    EXPECT_TRUE(write(0, "x", &dry));
    EXPECT_TRUE(write(2, "x", &dry));
    ASSERT_TRUE(ports_.load()) << detail();
    ASSERT_TRUE(ports_.load()); // reloading closes and connects again
    UniqueFd first = peer.accept(), second = peer.accept(), third = peer.accept(),
             fourth = peer.accept();
    EXPECT_EQ(ports_.port(1)->deviceName(), peer.url("localhost")); // shown as configured
    std::string bytes("\x0a\x0d\x00\xff", 4);
    for (int i = 0; i < 300000; ++i)
        bytes.push_back(static_cast<char>(i * 7 % 256));
    auto arrived = std::async(std::launch::async, [&] { return receive(third.get(), 300004); });
    ASSERT_TRUE(write(0, bytes));
    ASSERT_TRUE(write(1, "B"));
    EXPECT_EQ(arrived.get(), bytes);
    EXPECT_EQ(receive(fourth.get(), 1), "B");
    // A device that answers every command: what it sends is read and dropped as it comes, so
    // that the connection's buffers never fill and stall the writes.
    const std::string answer(32768, 'k'); // 32 MB in all, more than any receive buffer holds
    for (int i = 0; i < 1024; ++i) {
        ASSERT_EQ(::send(fourth.get(), answer.data(), answer.size(), MSG_DONTWAIT),
                  static_cast<ssize_t>(answer.size()))
            << "the port stopped reading after " << i << " answers";
        ASSERT_TRUE(write(1, "q")) << detail();
    }
    EXPECT_EQ(receive(fourth.get(), 1024), std::string(1024, 'q'));
    EXPECT_EQ(::recv(first.get(), bytes.data(), 1, 0), 0)
        << "a connection of the first load is open";
    for (const std::string& datagram : {std::string("\x02ON\x03", 4), std::string(9000, 'x')}) {
        ASSERT_TRUE(write(2, datagram));
        EXPECT_EQ(receive(udp.fd.get(), 1), datagram); // one datagram per write, not the dry run's
    }
    EXPECT_EQ(detail(), "(none)");
    EXPECT_FALSE(write(2, std::string(70000, 'y'))); // larger than any datagram
    EXPECT_EQ(detail(), udp.url() + ": Message too long");
    // A peer that only ended its sending side still reads: it gets every command. A datagram
    // that nothing received comes back refused; that belongs to it, not to the next.
    ASSERT_EQ(::shutdown(fourth.get(), SHUT_WR), 0);
    udp.fd.reset();
    EXPECT_TRUE(write(2, "unheard"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the end and the refusal come
    udp = Loopback(true, true, udp.port);
    for (const char* bytes : {"ab", "cd", "ef"})
        EXPECT_TRUE(write(1, bytes)) << detail();
    EXPECT_TRUE(write(2, "heard")) << detail();
    EXPECT_EQ(receive(fourth.get(), 6), "abcdef");
    EXPECT_EQ(receive(udp.fd.get(), 1), "heard");
    reporter_.clear(); // a refused connection fails the load, and frees port 0
    EXPECT_FALSE(load({peer.url(), closed.url()}));
    EXPECT_EQ(reporter_.ids(), std::vector{MessageId::PortOpenFailed});
    EXPECT_EQ(detail(), closed.url() + ": Connection refused");
    EXPECT_EQ(::recv(peer.accept().get(), bytes.data(), 1, 0), 0) << "port 0 stays connected";
}

// A peer that closed, reset or took no data fails the write that finds it, and later ones at
// once, until a second after the last try; then the port connects again by itself, also to a
// listener that was closed and opened again on the same port.
TEST_F(NetworkPorts, AConnectionThatWentAwayIsMadeAgainBeforeALaterWrite) {
    for (const auto& [end, reason] :
         {std::pair{'c', ": the peer closed the connection (Broken pipe)"},
          {'r', ": Connection reset by peer"},
          {'s', ": the device took no data for 200 ms"}}) {
        auto peer = std::make_unique<Loopback>(false);
        const std::string url = peer->url();
        std::vector<std::string> notices;
        ports_.setNotice([&](const std::string& text) { notices.push_back(text); });
        ASSERT_TRUE(load({url}, "WriteTimeout=200\n")) << detail();
        UniqueFd connection = peer->accept();
        if (end != 's') {
            ASSERT_TRUE(write(0, "ab"));
            ASSERT_EQ(receive(connection.get(), 2), "ab");
            const linger abort{1, 0}; // a zero linger resets the connection
            if (end == 'r')
                ::setsockopt(connection.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            connection.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // loopback needs far less
        } // else 64 MB that is never read: the buffers fill
        expectWriteFails(url + reason + reopenNote, end == 's' ? std::string(64 << 20, 'x') : "cd");
        for (int again = 0; again < 2; ++again) // no SIGPIPE, no waiting
            EXPECT_FALSE(write(0, "cd")) << again;
        EXPECT_EQ(reporter_.ids(), std::vector<MessageId>(3, MessageId::PortWriteFailed));
        if (end == 'c') { // the device restarts: not there for a while, then where it was
            peer.reset();
            connection.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            expectWriteFails(url + ": Connection refused" + reopenNote, "cd");
            peer =
                std::make_unique<Loopback>(false, true, std::stoi(url.substr(url.rfind(':') + 1)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        reporter_.clear();
        EXPECT_TRUE(write(0, "ef")) << detail();
        EXPECT_EQ(receive(peer->accept().get(), 2), "ef");
        EXPECT_EQ(notices, std::vector{url + ": opened again"});
    }
}

} // namespace
