#include "ports/NetworkDevice.h"

#include "files/UniqueFd.h"
#include "ports/DeviceWait.h"
#include "ports/StopRequest.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <utility>

namespace cadentor {
namespace {

using Clock = DeviceClock;

// Without traffic for this long the peer is probed, and one that stays silent or leaves sent
// bytes unacknowledged for about 10 s is taken as gone: the next write fails instead of
// filling the send buffer for the quarter of an hour that TCP would otherwise wait.
constexpr int keepIdleS = 5, keepIntervalS = 2, keepProbes = 3;
constexpr unsigned userTimeoutMs = 10000;

constexpr std::string_view tcpScheme = "socket://", udpScheme = "udp://";

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
           });
}

// One name lookup on a thread of its own, since getaddrinfo cannot be given a time limit. A
// lookup that is given up on finishes in the background and frees what it found.
struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    int result = 0;
    int systemErrno = 0;
    addrinfo* found = nullptr;
    ~Lookup() {
        if (found)
            ::freeaddrinfo(found);
    }
};

struct AddrInfoList {
    addrinfo* list = nullptr;
    AddrInfoList() = default;
    AddrInfoList(const AddrInfoList&) = delete;
    AddrInfoList& operator=(const AddrInfoList&) = delete;
    ~AddrInfoList() {
        if (list)
            ::freeaddrinfo(list);
    }
};

std::string lookupError(int result, int systemErrno) {
    return result == EAI_SYSTEM ? std::strerror(systemErrno) : ::gai_strerror(result);
}

// Fills `out` with the addresses of `address`; false with the reason. Numeric addresses are
// taken as they are; names are looked up within the deadline.
bool resolve(const NetworkAddress& address, Clock::time_point deadline, AddrInfoList& out,
             std::string& reason) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = address.udp ? SOCK_DGRAM : SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    const std::string service = std::to_string(address.port);
    const int numeric = ::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &out.list);
    if (numeric == 0)
        return true;
    if (numeric != EAI_NONAME) {
        reason = lookupError(numeric, errno);
        return false;
    }
    hints.ai_flags = AI_NUMERICSERV;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host = address.host, service, hints] {
            addrinfo* found = nullptr;
            const int result = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            const int systemErrno = errno;
            std::lock_guard<std::mutex> hold(lookup->mutex);
            lookup->result = result;
            lookup->systemErrno = systemErrno;
            lookup->found = found;
            lookup->done = true;
            lookup->finished.notify_one();
        }).detach();
    } catch (const std::system_error& e) {
        reason = std::string("cannot start the name lookup: ") + std::strerror(e.code().value());
        return false;
    }
    std::unique_lock<std::mutex> hold(lookup->mutex);
    while (!lookup->done) {
        if (stopRequested()) {
            reason = "stopped while looking up the name";
            return false;
        }
        const int left = msUntil(deadline);
        if (left == 0) {
            reason = "the name lookup took too long";
            return false;
        }
        lookup->finished.wait_for(hold, std::chrono::milliseconds(std::min(left, StopCheckMs)));
    }
    if (lookup->result != 0) {
        reason = lookupError(lookup->result, lookup->systemErrno);
        return false;
    }
    out.list = std::exchange(lookup->found, nullptr);
    return true;
}

void setOption(int fd, int level, int name, int value) {
    // Each of these only sharpens how soon bytes leave or a lost peer is noticed; a refusal
    // leaves a usable connection, so it is not worth failing the open for.
    (void)::setsockopt(fd, level, name, &value, sizeof value);
}

// A connected, non-blocking socket to one address; an empty descriptor with the reason when
// the peer refuses or does not answer in time.
UniqueFd connectTo(const addrinfo& target, bool udp, Clock::time_point deadline,
                   std::string& reason) {
    UniqueFd fd(::socket(target.ai_family, target.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                         target.ai_protocol));
    if (!fd) {
        reason = std::strerror(errno);
        return {};
    }
    if (!udp) {
        setOption(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1); // each event's bytes leave at once
        setOption(fd.get(), SOL_SOCKET, SO_KEEPALIVE, 1);
        setOption(fd.get(), IPPROTO_TCP, TCP_KEEPIDLE, keepIdleS);
        setOption(fd.get(), IPPROTO_TCP, TCP_KEEPINTVL, keepIntervalS);
        setOption(fd.get(), IPPROTO_TCP, TCP_KEEPCNT, keepProbes);
        setOption(fd.get(), IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(userTimeoutMs));
    }
    if (::connect(fd.get(), target.ai_addr, target.ai_addrlen) == 0)
        return fd;
    if (errno != EINPROGRESS && errno != EINTR) {
        reason = std::strerror(errno);
        return {};
    }
    const int ready = waitFor(fd.get(), POLLOUT, deadline);
    if (ready <= 0) {
        reason = ready < 0         ? std::strerror(errno)
                 : stopRequested() ? "stopped while connecting"
                                   : std::strerror(ETIMEDOUT);
        return {};
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0) {
        reason = std::strerror(error);
        return {};
    }
    return fd;
}

class NetworkDevice final : public SerialDevice {
public:
    NetworkDevice(UniqueFd fd, std::string name, bool udp)
        : fd_(std::move(fd)), name_(std::move(name)), udp_(udp) {}

    bool configure(std::uint32_t, Parity, StopBits, std::string&) override {
        return true; // a network peer has no line settings
    }

    DeviceState state(std::string& why) override {
        if (!udp_ && gone_.empty())
            lookAtPeer();
        if (gone_.empty())
            return DeviceState::Ready;
        why = name_ + ": " + gone_;
        return DeviceState::Gone;
    }

    bool write(const std::uint8_t* bytes, std::size_t count, int noProgressMs,
               std::string& error) override {
        if (state(error) == DeviceState::Gone)
            return false;
        if (udp_) {
            // A refusal waiting on the socket is the answer to an earlier datagram; taken off
            // first, it cannot stop this one.
            pendingError();
            if (count == 0) { // an empty event is still one (empty) datagram
                if (::send(fd_.get(), bytes, 0, MSG_NOSIGNAL) == 0)
                    return true;
                error = name_ + ": " + std::strerror(errno);
                return false;
            }
        }
        const WriteEnd end = writeWithin(fd_.get(), bytes, count, noProgressMs, sendOnce);
        if (end == WriteEnd::Done && peerEnded_ && !udp_)
            awaitRefusal();
        if (end == WriteEnd::Done && gone_.empty())
            return true;
        const std::string reason =
            end == WriteEnd::Done ? gone_ : writeEndText(end, noProgressMs, errno);
        error = name_ + ": " + reason;
        // A stream cannot take back the part of a command it took: what followed would run
        // into it, so the connection is made anew for the next command.
        if (!udp_ && end != WriteEnd::Done)
            gone_ = end == WriteEnd::Failed ? reason : "a command was cut off on this connection";
        return false;
    }

private:
    // Reads and drops what the peer sent (a device that answers every command would otherwise
    // fill our receive buffer and stall), and learns on the way whether it has reset the
    // connection or ended its sending side, after which it may still be reading.
    void lookAtPeer() {
        char scratch[4096];
        for (int i = 0; i < 64 && !peerEnded_; ++i) {
            const ssize_t n = ::recv(fd_.get(), scratch, sizeof scratch, MSG_DONTWAIT);
            if (n > 0)
                continue;
            if (n == 0)
                peerEnded_ = true;
            else if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            else if (errno != EINTR)
                gone_ = std::strerror(errno);
        }
        if (peerEnded_ && gone_.empty())
            pendingError();
    }

    // Takes the error waiting on the socket, if any; for TCP it means the connection is gone.
    void pendingError() {
        int pending = 0;
        socklen_t length = sizeof pending;
        if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending &&
            !udp_)
            gone_ = std::strerror(pending);
    }

    // A peer that ended its sending side may still read, or may have closed altogether: then
    // it answers the command with a reset within about a round trip, and the command is lost.
    // So the write waits that long for the reset, which shows as POLLERR (twice the smoothed
    // round trip and 5 ms, at most 200 ms).
    void awaitRefusal() {
        tcp_info info{};
        socklen_t length = sizeof info;
        const unsigned rttUs =
            ::getsockopt(fd_.get(), IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? info.tcpi_rtt : 0;
        const int waitMs = static_cast<int>(std::min(200u, 5 + 2 * rttUs / 1000));
        if (waitFor(fd_.get(), 0, Clock::now() + std::chrono::milliseconds(waitMs)) > 0)
            pendingError();
        if (!gone_.empty())
            gone_ = "the peer closed the connection (" + gone_ + ")";
    }

    static ssize_t sendOnce(int fd, const void* bytes, std::size_t count) {
        return ::send(fd, bytes, count, MSG_NOSIGNAL);
    }

    UniqueFd fd_;
    std::string name_;
    bool udp_;
    bool peerEnded_ = false; // the peer ended its sending side
    std::string gone_;       // why this connection takes no more writes, once it does not
};

} // namespace

bool isNetworkDevice(std::string_view name) {
    return startsWithIgnoringCase(name, tcpScheme) || startsWithIgnoringCase(name, udpScheme);
}

bool parseNetworkAddress(std::string_view name, NetworkAddress& address, std::string& error) {
    const auto fail = [&](std::string_view reason) {
        error = std::string(name) + ": " + std::string(reason);
        return false;
    };
    NetworkAddress result;
    std::string_view rest;
    if (startsWithIgnoringCase(name, tcpScheme))
        rest = name.substr(tcpScheme.size());
    else if (startsWithIgnoringCase(name, udpScheme))
        rest = name.substr(udpScheme.size()), result.udp = true;
    else
        return fail("not a network device (socket://HOST:PORT or udp://HOST:PORT)");

    std::string_view host, port;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return fail("the IPv6 address lacks its closing ']'");
        host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        if (!rest.empty() && rest[0] != ':')
            return fail("a ':' and the port must follow the ']'");
    } else {
        const std::size_t colon = rest.find(':');
        if (rest.find_first_of("[]") != std::string_view::npos ||
            (colon != std::string_view::npos &&
             rest.find(':', colon + 1) != std::string_view::npos))
            return fail("an IPv6 address must stand in brackets: [ADDRESS]:PORT");
        host = rest.substr(0, colon);
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon);
    }
    if (host.empty())
        return fail("no host given (HOST:PORT)");
    if (host.find_first_of("/ \t") != std::string_view::npos)
        return fail("the host must not contain '/' or blanks");
    if (rest.empty() || rest.size() == 1)
        return fail("no port given (HOST:PORT)");
    port = rest.substr(1);
    unsigned long number = 0;
    for (char c : port) {
        if (c < '0' || c > '9' || number > 65535)
            return fail("the port must be a number from 1 to 65535");
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number < 1 || number > 65535)
        return fail("the port must be a number from 1 to 65535");
    result.host = std::string(host);
    result.port = static_cast<std::uint16_t>(number);
    address = std::move(result);
    return true;
}

std::unique_ptr<SerialDevice> openNetworkDevice(const std::string& name, std::string& error) {
    NetworkAddress address;
    if (!parseNetworkAddress(name, address, error))
        return nullptr;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(NetworkOpenTimeoutMs);
    AddrInfoList targets;
    std::string reason;
    if (!resolve(address, deadline, targets, reason)) {
        error = name + ": " + reason;
        return nullptr;
    }
    // Every address of the name in turn (localhost may be ::1 and 127.0.0.1); the last
    // refusal is the one reported.
    for (const addrinfo* target = targets.list; target; target = target->ai_next) {
        UniqueFd fd = connectTo(*target, address.udp, deadline, reason);
        if (fd)
            return std::make_unique<NetworkDevice>(std::move(fd), name, address.udp);
        if (stopRequested() || msUntil(deadline) == 0)
            break;
    }
    error = name + ": " + reason;
    return nullptr;
}

} // namespace cadentor
