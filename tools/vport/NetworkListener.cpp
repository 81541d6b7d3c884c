#include "NetworkListener.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cadentor::vport {

namespace {

void note(const std::string& text) {
    const std::string line = "cadentor-vport: " + text + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

std::string peerName(const sockaddr_in& address) {
    char host[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

// epoll data: the listener's position, and whether the event is for its client.
std::uint64_t tag(std::size_t listener, bool client) {
    return static_cast<std::uint64_t>(listener) << 1 | (client ? 1u : 0u);
}

} // namespace

bool parseListenPort(std::string_view value, std::uint16_t& port) {
    if (value.empty() || value.size() > 5)
        return false;
    unsigned number = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (number > 65535)
        return false;
    port = static_cast<std::uint16_t>(number);
    return true;
}

bool NetworkListeners::listen(const ListenRequest& request, std::size_t index, std::string& error) {
    const std::string what =
        std::string(request.udp ? "--udp " : "--tcp ") + std::to_string(request.port);
    if (!events_)
        events_.reset(::epoll_create1(EPOLL_CLOEXEC));
    UniqueFd socket(::socket(
        AF_INET, (request.udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!events_ || !socket) {
        error = what + ": " + std::strerror(errno);
        return false;
    }
    // A vport started again at once may take its TCP port back (from connections of the last
    // one that are still closing); for UDP the option would let two vports share one port.
    const int on = 1;
    if (!request.udp)
        ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(request.port);
    socklen_t length = sizeof address;
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (!request.udp && ::listen(socket.get(), 4) != 0) ||
        ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = what + ": " + std::strerror(errno);
        return false;
    }
    const std::string url = std::string(request.udp ? "udp://" : "socket://") +
                            "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    listeners_.push_back({request.udp, index, url, std::move(socket), UniqueFd(), {}});
    if (!watch(listeners_.back().socket.get(), listeners_.size() - 1, false)) {
        error = what + ": " + std::strerror(errno);
        listeners_.pop_back();
        return false;
    }
    return true;
}

std::string NetworkListeners::addresses() const {
    std::string list;
    for (const Listener& listener : listeners_)
        list += listener.url + "\n";
    return list;
}

bool NetworkListeners::watch(int fd, std::size_t listener, bool client) {
    epoll_event event{};
    event.events = client ? std::uint32_t{EPOLLIN | EPOLLRDHUP} : std::uint32_t{EPOLLIN};
    event.data.u64 = tag(listener, client);
    return ::epoll_ctl(events_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

bool NetworkListeners::serve(const Report& report) {
    epoll_event ready[16];
    const int count = ::epoll_wait(events_.get(), ready, 16, 0);
    // Clients first: one that has just gone makes room for the next, which the system holds
    // until then.
    std::sort(ready, ready + std::max(count, 0), [](const epoll_event& a, const epoll_event& b) {
        return (a.data.u64 & 1) > (b.data.u64 & 1);
    });
    for (int i = 0; i < count && !reportFailed_; ++i) {
        Listener& listener = listeners_[ready[i].data.u64 >> 1];
        if ((ready[i].data.u64 & 1) || listener.udp)
            readClient(listener, report);
        else
            accept(listener);
    }
    return !reportFailed_;
}

void NetworkListeners::readClient(Listener& listener, const Report& report) {
    const int fd = listener.udp ? listener.socket.get() : listener.client.get();
    if (fd < 0)
        return;
    unsigned char buffer[65536]; // a UDP datagram whole, whatever its size
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got > 0 || (got == 0 && listener.udp)) {
        reportFailed_ = !report(listener.index, buffer, static_cast<std::size_t>(got));
        return;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || listener.udp))
        return; // a UDP error (a refused reply of ours, say) concerns no one
    note(listener.url + ": " + listener.clientName + " left");
    listener.client.reset(); // closing also takes it out of the epoll set
    listener.clientName.clear();
    setAccepting(listener, true);
}

void NetworkListeners::accept(Listener& listener) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    UniqueFd client(::accept4(listener.socket.get(), reinterpret_cast<sockaddr*>(&address), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client)
        return; // gone before it was taken
    const std::string name = peerName(address);
    if (!watch(client.get(), position(listener), true)) {
        note(listener.url + ": " + name + ": " + std::strerror(errno));
        return;
    }
    listener.client = std::move(client);
    listener.clientName = name;
    setAccepting(listener, false);
    note(listener.url + ": " + name + " connected");
}

std::size_t NetworkListeners::position(const Listener& listener) const {
    return static_cast<std::size_t>(&listener - listeners_.data());
}

void NetworkListeners::setAccepting(Listener& listener, bool accepting) {
    epoll_event event{};
    event.events = accepting ? std::uint32_t{EPOLLIN} : 0u;
    event.data.u64 = tag(position(listener), false);
    ::epoll_ctl(events_.get(), EPOLL_CTL_MOD, listener.socket.get(), &event);
}

} // namespace cadentor::vport
