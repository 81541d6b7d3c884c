#include "control/OscServer.h"

#include "control/ControlHub.h"
#include "control/ControlOptions.h"
#include "files/UniqueFd.h"
#include "sequence/SequenceClock.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <lo/lo_lowlevel.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>

namespace cadentor::control {

namespace {

constexpr auto replyLimit = std::chrono::seconds(5);
constexpr std::string_view prefix = "/cadentor/";

struct Sender {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
};

// One decoded message, freed with it.
struct Message {
    explicit Message(lo_message m) : message(m) {}
    ~Message() {
        if (message)
            lo_message_free(message);
    }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    // The string argument, when the message holds exactly one and it is a string.
    std::optional<std::string> onlyString() const {
        const char* types = lo_message_get_types(message);
        if (!types || std::strcmp(types, "s") != 0)
            return std::nullopt;
        return std::string(&lo_message_get_argv(message)[0]->s);
    }

    lo_message message;
};

} // namespace

struct OscServer::Impl {
    explicit Impl(ControlHub& hub) : hub(hub) {}

    void serve();
    void receive();
    // A verb's reply (an error first when it failed), then the state.
    void answer(const Sender& to, std::string_view address, const ControlReply& reply);
    void send(const Sender& to, const char* path, lo_message message);

    ControlHub& hub;
    UniqueFd socket;
    UniqueFd stopFd;
    unsigned short port = 0;
    std::thread thread;
    std::array<char, 65536> buffer{};
};

void OscServer::Impl::serve() {
    pollfd waits[2] = {{socket.get(), POLLIN, 0}, {stopFd.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) < 0 && errno != EINTR)
            return;
        if (waits[1].revents != 0)
            return;
        if (waits[0].revents != 0)
            receive();
    }
}

void OscServer::Impl::receive() {
    Sender from;
    const ssize_t size = ::recvfrom(socket.get(), buffer.data(), buffer.size(), MSG_TRUNC,
                                    reinterpret_cast<sockaddr*>(&from.address), &from.length);
    if (size < 0)
        return;
    if (static_cast<std::size_t>(size) > buffer.size()) // cut short: what is left cannot decode
        return hub.countMalformed();
    int result = 0;
    Message message(lo_message_deserialise(buffer.data(), static_cast<std::size_t>(size), &result));
    const char* path = message.message ? lo_get_path(buffer.data(), size) : nullptr;
    if (!path)
        return hub.countMalformed();
    const std::string_view address(path);
    if (!address.starts_with(prefix))
        return; // someone else's message: not ours to count
    const std::string_view verb = address.substr(prefix.size());

    ControlRequest request;
    if (verb == "status") {
        return answer(from, address, {});
    } else if (verb == "pause") {
        request.verb = ControlVerb::Pause;
    } else if (verb == "resume") {
        request.verb = ControlVerb::Resume;
    } else if (verb == "rewind") {
        request.verb = ControlVerb::Rewind;
    } else if (verb == "fire" || verb == "seek") {
        const std::optional<std::string> text = message.onlyString();
        if (!text)
            return hub.countMalformed();
        request.verb = verb == "fire" ? ControlVerb::Fire : ControlVerb::Seek;
        if (verb == "fire") {
            request.name = *text;
        } else if (std::optional<TimeCode> time = parseTime(*text)) {
            request.time = *time;
        } else {
            return answer(from, address,
                          {ReplyStatus::Refused, "not a time as H:M:S.mmm: '" + *text + "'"});
        }
    } else {
        return hub.countMalformed(); // under our prefix, but no address of ours
    }
    answer(from, address, hub.submitAndWait(std::move(request), replyLimit));
}

void OscServer::Impl::answer(const Sender& to, std::string_view address,
                             const ControlReply& reply) {
    if (reply.status != ReplyStatus::Ok) {
        lo_message error = lo_message_new();
        lo_message_add_string(error, std::string(address).c_str());
        lo_message_add_string(error, reply.reason.c_str());
        send(to, "/cadentor/error", error);
    }
    const std::shared_ptr<const ShowStatus> status = hub.status();
    lo_message state = lo_message_new();
    lo_message_add_string(state, stateName(status->state));
    lo_message_add_int32(state,
                         static_cast<std::int32_t>(status->positionAt(monotonicNanoseconds())));
    lo_message_add_string(state, status->currentName().c_str());
    send(to, "/cadentor/state", state);
}

void OscServer::Impl::send(const Sender& to, const char* path, lo_message message) {
    if (!message)
        return;
    std::size_t size = 0;
    if (void* data = lo_message_serialise(message, path, nullptr, &size)) {
        (void)::sendto(socket.get(), data, size, MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&to.address), to.length);
        std::free(data);
    }
    lo_message_free(message);
}

OscServer::OscServer(ControlHub& hub) : impl_(std::make_unique<Impl>(hub)) {}

OscServer::~OscServer() {
    stop();
}

bool OscServer::start(const ListenAddress& address, std::string& error) {
    const auto failed = [&](const std::string& reason) {
        error = address.host + ":" + std::to_string(address.port) + ": " + reason;
        impl_->socket.reset();
        return false;
    };
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (int failure = ::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(),
                                    &hints, &found);
        failure != 0)
        return failed(::gai_strerror(failure));
    impl_->socket.reset(::socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const bool bound =
        impl_->socket && ::bind(impl_->socket.get(), found->ai_addr, found->ai_addrlen) == 0;
    const int bindError = errno;
    ::freeaddrinfo(found);
    if (!bound)
        return failed(std::strerror(bindError));
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(impl_->socket.get(), reinterpret_cast<sockaddr*>(&local), &length);
    impl_->port =
        ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port
                                          : reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    impl_->stopFd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!impl_->stopFd)
        return failed(std::strerror(errno));
    impl_->thread = std::thread([impl = impl_.get()] { impl->serve(); });
    return true;
}

unsigned short OscServer::port() const {
    return impl_->port;
}

void OscServer::stop() {
    if (!impl_->thread.joinable())
        return;
    const std::uint64_t one = 1;
    (void)!::write(impl_->stopFd.get(), &one, sizeof one);
    impl_->thread.join();
}

} // namespace cadentor::control
