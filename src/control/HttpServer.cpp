#include "control/HttpServer.h"

#include "control/ControlHub.h"
#include "control/ControlOptions.h"
#include "control/HttpPage.h"
#include "sequence/SequenceClock.h"

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

namespace cadentor::control {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

constexpr auto idleLimit = std::chrono::seconds(10);
constexpr auto replyLimit = std::chrono::seconds(5);
constexpr auto streamPeriod = std::chrono::milliseconds(250);
constexpr int streamKeepAliveTicks = 60; // a comment every 15 s keeps proxies from closing
constexpr std::size_t bodyLimit = 64 * 1024;
constexpr std::uint32_t headerLimit = 16 * 1024;
constexpr int connectionLimit = 16;

std::string errorJson(const std::string& reason) {
    return "{\"error\":" + jsonString(reason) + "}";
}

// "%41b+c" -> "Ab c"; nothing for a % not followed by two hex digits.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] != '%') {
            decoded += text[i];
        } else {
            const auto hex = [](char c) {
                return c >= '0' && c <= '9'   ? c - '0'
                       : c >= 'a' && c <= 'f' ? c - 'a' + 10
                       : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
            };
            if (i + 2 >= text.size() || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0)
                return std::nullopt;
            decoded += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        }
    }
    return decoded;
}

// The decoded value of `key` in the query "a=1&b=2": nothing when absent, an error text when
// badly encoded.
struct QueryValue {
    std::optional<std::string> value;
    bool malformed = false;
};

QueryValue queryValue(std::string_view query, std::string_view key) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        std::optional<std::string> name = percentDecoded(pair.substr(0, eq));
        if (!name)
            return {std::nullopt, true};
        if (*name != key)
            continue;
        std::optional<std::string> value =
            percentDecoded(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
        return {value, !value};
    }
    return {};
}

// An IP literal ("127.0.0.1", "[::1]") or localhost, with or without a port.
bool isAddressHost(std::string_view host) {
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        return close != std::string_view::npos;
    }
    host = host.substr(0, host.find(':'));
    if (host == "localhost")
        return true;
    std::string error;
    return !host.empty() && parseListenAddress(std::string(host) + ":0", error).has_value();
}

enum class Route { Page, Status, Events, Stream, Verb };

struct RouteInfo {
    Route route;
    http::verb method;
    std::optional<ControlVerb> verb;
};

std::optional<RouteInfo> findRoute(std::string_view path) {
    static const std::pair<std::string_view, RouteInfo> routes[] = {
        {"/", {Route::Page, http::verb::get, std::nullopt}},
        {"/status", {Route::Status, http::verb::get, std::nullopt}},
        {"/events", {Route::Events, http::verb::get, std::nullopt}},
        {"/stream", {Route::Stream, http::verb::get, std::nullopt}},
        {"/pause", {Route::Verb, http::verb::post, ControlVerb::Pause}},
        {"/resume", {Route::Verb, http::verb::post, ControlVerb::Resume}},
        {"/rewind", {Route::Verb, http::verb::post, ControlVerb::Rewind}},
        {"/fire", {Route::Verb, http::verb::post, ControlVerb::Fire}},
        {"/seek", {Route::Verb, http::verb::post, ControlVerb::Seek}},
    };
    for (const auto& [name, info] : routes)
        if (name == path)
            return info;
    return std::nullopt;
}

int httpStatusOf(ReplyStatus status) {
    switch (status) {
    case ReplyStatus::NotFound:
        return 404;
    case ReplyStatus::Refused:
        return 409;
    case ReplyStatus::Failed:
        return 502;
    case ReplyStatus::Unavailable:
        return 503;
    case ReplyStatus::Ok:
        break;
    }
    return 200;
}

} // namespace

// What the sessions share: the hub, the token and the io_context. The gate lets a completion
// that comes from the run thread after stop() find no io_context rather than a destroyed one.
struct Gate {
    std::mutex mutex;
    asio::io_context* io = nullptr;
};

struct HttpServer::Impl {
    Impl(ControlHub& hub) : hub(hub), acceptor(io), gate(std::make_shared<Gate>()) {}

    ControlHub& hub;
    std::string token;
    unsigned short port = 0;
    int connections = 0; // touched on the server thread only, and by the io_context's end
    int refusing = 0;
    asio::io_context io;
    tcp::acceptor acceptor;
    std::shared_ptr<Gate> gate;
    std::thread thread;

    void accept();
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(HttpServer::Impl& server, tcp::socket socket)
        : server_(server), stream_(std::move(socket)), timer_(server.io) {
        ++server_.connections;
    }
    ~Session() { --server_.connections; }

    void start() { readRequest(); }

private:
    void readRequest() {
        request_ = {};
        parser_.emplace();
        parser_->body_limit(bodyLimit);
        parser_->header_limit(headerLimit);
        stream_.expires_after(idleLimit);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(beast::error_code ec) {
        if (ec == http::error::body_limit)
            return fail(413, "the body is over 64 KiB");
        if (ec == http::error::header_limit)
            return fail(431, "the header is over 16 KiB");
        if (ec && ec.category() == http::make_error_code(http::error::bad_target).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return fail(400, "not an HTTP request: " + ec.message());
        if (ec)
            return close(); // the client went, or sent nothing for 10 s
        request_ = parser_->release();
        handle();
    }

    void fail(int status, const std::string& reason) {
        closeAfter_ = true;
        respond(status, errorJson(reason));
    }

    void handle() {
        const std::string_view target(request_.target().data(), request_.target().size());
        const std::size_t question = target.find('?');
        const std::string_view path = target.substr(0, question);
        query_ = question == std::string_view::npos ? "" : std::string(target.substr(question + 1));
        const std::optional<RouteInfo> route = findRoute(path);
        if (!route)
            return respond(404, errorJson("no such resource: " + std::string(path)));
        const bool head = request_.method() == http::verb::head && route->method == http::verb::get;
        const auto origin = request_.find(http::field::origin);
        const std::string_view host = request_[http::field::host];
        if (origin != request_.end() &&
            std::string_view(origin->value().data(), origin->value().size()) !=
                "http://" + std::string(host))
            return respond(403, errorJson("a request from another site's page is refused"));
        if (server_.token.empty() && !host.empty() && !isAddressHost(host))
            return respond(403, errorJson("Host must be an IP address or localhost"));
        if (route->route != Route::Page && !server_.token.empty() && !authorized())
            return respond(401, errorJson("this server needs Authorization: Bearer TOKEN"));
        if (request_.method() != route->method && !head) {
            allow_ = route->method == http::verb::get ? "GET, HEAD" : "POST";
            return respond(
                405,
                errorJson("use " + std::string(route->method == http::verb::get ? "GET" : "POST") +
                          " for " + std::string(path)));
        }
        head_ = head;
        const std::shared_ptr<const ShowStatus> status = server_.hub.status();
        switch (route->route) {
        case Route::Page:
            return respond(200, std::string(controlPage()), "text/html; charset=utf-8");
        case Route::Status:
            return respond(200,
                           statusJson(*status, monotonicNanoseconds(), server_.hub.malformed()));
        case Route::Events:
            return respond(200, eventsJson(*status));
        case Route::Stream:
            return startStream();
        case Route::Verb:
            return submit(*route->verb);
        }
    }

    bool authorized() const {
        const std::string_view value = request_[http::field::authorization];
        constexpr std::string_view scheme = "Bearer ";
        return value.size() > scheme.size() &&
               beast::iequals(value.substr(0, scheme.size()), scheme) &&
               tokensEqual(value.substr(scheme.size()), server_.token);
    }

    void submit(ControlVerb verb) {
        ControlRequest request{verb, {}, 0};
        if (verb == ControlVerb::Fire || verb == ControlVerb::Seek) {
            const char* key = verb == ControlVerb::Fire ? "name" : "time";
            const QueryValue value = queryValue(query_, key);
            if (value.malformed)
                return respond(400, errorJson("a badly encoded query"));
            if (!value.value || value.value->empty())
                return respond(400,
                               errorJson(std::string(key) + " is missing: " +
                                         (verb == ControlVerb::Fire ? "/fire?name=NAME"
                                                                    : "/seek?time=H:M:S.mmm")));
            if (verb == ControlVerb::Fire) {
                request.name = *value.value;
            } else if (std::optional<TimeCode> time = parseTime(*value.value)) {
                request.time = *time;
            } else {
                return respond(400, errorJson("not a time as H:M:S.mmm: '" + *value.value + "'"));
            }
        }
        std::weak_ptr<Session> weak = weak_from_this();
        std::shared_ptr<Gate> gate = server_.gate;
        ticket_ = server_.hub.submit(std::move(request), [weak, gate](const ControlReply& reply) {
            std::lock_guard lock(gate->mutex);
            if (std::shared_ptr<Session> self = weak.lock(); self && gate->io)
                asio::post(*gate->io, [self, reply] { self->onReply(reply); });
        });
        waitForReply();
    }

    // The session lives on this timer while its reply is owed.
    void waitForReply() {
        timer_.expires_after(replyLimit);
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (self->replied_)
                return;
            if (ec || !self->server_.hub.withdraw(self->ticket_))
                return self->waitForReply(); // taken: the reply is on its way
        });
    }

    void onReply(const ControlReply& reply) {
        if (replied_)
            return;
        replied_ = true;
        timer_.cancel();
        if (reply.status != ReplyStatus::Ok)
            return respond(httpStatusOf(reply.status), errorJson(reply.reason));
        respond(200,
                statusJson(*server_.hub.status(), monotonicNanoseconds(), server_.hub.malformed()));
    }

    void respond(int status, std::string body, const char* type = "application/json") {
        response_ = {};
        response_.version(request_.version() ? request_.version() : 11);
        response_.result(static_cast<unsigned>(status));
        response_.set(http::field::content_type, type);
        response_.set(http::field::cache_control, "no-store");
        response_.set("X-Content-Type-Options", "nosniff");
        if (status == 401)
            response_.set(http::field::www_authenticate, "Bearer realm=\"cadentor\"");
        if (status == 405)
            response_.set(http::field::allow, allow_);
        if (std::string_view(type).starts_with("text/html"))
            response_.set("Content-Security-Policy",
                          "default-src 'none'; script-src 'unsafe-inline'; style-src "
                          "'unsafe-inline'; connect-src 'self'; frame-ancestors 'none'");
        const bool keep = !closeAfter_ && request_.keep_alive();
        response_.keep_alive(keep);
        closeAfter_ = !keep;
        response_.content_length(body.size());
        if (!head_)
            response_.body() = std::move(body);
        stream_.expires_after(idleLimit);
        http::async_write(stream_, response_,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec)
                                  return self->close();
                              if (self->closeAfter_)
                                  return self->lingeringClose();
                              self->reset();
                              self->readRequest();
                          });
    }

    void reset() {
        head_ = false;
        replied_ = false;
        allow_.clear();
    }

    // Shuts the sending side and reads what the client still sends, for at most two seconds,
    // so that a reply sent before all of a request was read reaches the client instead of
    // being cut off by a reset.
    void lingeringClose() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(std::chrono::seconds(2));
        drain();
    }

    void drain() {
        stream_.async_read_some(asio::buffer(drainBuffer_),
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    if (ec)
                                        return self->close();
                                    self->drain();
                                });
    }

    void close() {
        beast::error_code ignored;
        timer_.cancel();
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
    }

    // Server-Sent Events: the header, then frames as the show changes, until the client goes.
    void startStream() {
        auto header = std::make_shared<http::response<http::empty_body>>(http::status::ok,
                                                                         request_.version());
        header->set(http::field::content_type, "text/event-stream");
        header->set(http::field::cache_control, "no-store");
        header->keep_alive(false);
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*header);
        stream_.expires_after(idleLimit);
        http::async_write_header(
            stream_, *serializer,
            [self = shared_from_this(), header, serializer](beast::error_code ec, std::size_t) {
                if (ec)
                    return self->close();
                self->watchClient();
                self->streamTick();
            });
    }

    // Any byte or the end from the client ends the stream.
    void watchClient() {
        stream_.socket().async_read_some(
            asio::buffer(drainBuffer_),
            [self = shared_from_this()](beast::error_code, std::size_t) { self->close(); });
    }

    void streamTick() {
        if (!stream_.socket().is_open())
            return;
        const std::shared_ptr<const ShowStatus> status = server_.hub.status();
        frame_.clear();
        if (status->rows != sentRows_ || status->commands != sentCommands_ || !sentAny_) {
            frame_ += "event: layout\ndata: " + layoutJson(*status) + "\n\n";
            sentRows_ = status->rows;
            sentCommands_ = status->commands;
        }
        if (status->revision != sentRevision_ || status->state == ShowState::Running || !sentAny_) {
            frame_ += "event: status\ndata: " +
                      statusJson(*status, monotonicNanoseconds(), server_.hub.malformed(), true) +
                      "\n\n";
            sentRevision_ = status->revision;
        }
        if (frame_.empty() && ++quietTicks_ >= streamKeepAliveTicks)
            frame_ = ": still here\n\n";
        sentAny_ = true;
        if (frame_.empty())
            return nextTick();
        quietTicks_ = 0;
        stream_.expires_after(idleLimit);
        asio::async_write(stream_, asio::buffer(frame_),
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec)
                                  return self->close();
                              self->nextTick();
                          });
    }

    void nextTick() {
        timer_.expires_after(streamPeriod);
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec)
                self->streamTick();
        });
    }

    HttpServer::Impl& server_;
    beast::tcp_stream stream_;
    asio::steady_timer timer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Request request_;
    Response response_;
    std::string query_;
    std::string allow_;
    bool head_ = false;
    bool closeAfter_ = false;
    bool replied_ = false;
    std::uint64_t ticket_ = 0;
    char drainBuffer_[4096];
    // the stream's last frames
    std::string frame_;
    std::shared_ptr<const std::vector<EventRow>> sentRows_;
    std::shared_ptr<const std::vector<std::string>> sentCommands_;
    std::uint64_t sentRevision_ = 0;
    bool sentAny_ = false;
    int quietTicks_ = 0;
};

// The reply to a connection over the limit: 503, then the close.
class Refusal : public std::enable_shared_from_this<Refusal> {
public:
    Refusal(HttpServer::Impl& server, tcp::socket socket)
        : server_(server), stream_(std::move(socket)),
          response_(http::status::service_unavailable, 11) {
        ++server_.refusing;
    }
    ~Refusal() { --server_.refusing; }

    void start() {
        response_.set(http::field::content_type, "application/json");
        response_.set(http::field::retry_after, "1");
        response_.keep_alive(false);
        response_.body() = errorJson("too many connections (at most 16 at once)");
        response_.prepare_payload();
        stream_.expires_after(std::chrono::seconds(2));
        http::async_write(stream_, response_,
                          [self = shared_from_this()](beast::error_code, std::size_t) {
                              beast::error_code ignored;
                              self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                          });
    }

private:
    HttpServer::Impl& server_;
    beast::tcp_stream stream_;
    Response response_;
};

} // namespace

void HttpServer::Impl::accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (!ec) {
            if (connections < connectionLimit)
                std::make_shared<Session>(*this, std::move(socket))->start();
            else if (refusing < connectionLimit)
                std::make_shared<Refusal>(*this, std::move(socket))->start();
        }
        accept();
    });
}

HttpServer::HttpServer(ControlHub& hub) : impl_(std::make_unique<Impl>(hub)) {}

HttpServer::~HttpServer() {
    stop();
}

bool HttpServer::start(const ListenAddress& address, const std::string& token, std::string& error) {
    beast::error_code ec;
    const tcp::endpoint endpoint(asio::ip::make_address(address.host, ec), address.port);
    const auto failed = [&](const beast::error_code& why) {
        error = address.host + ":" + std::to_string(address.port) + ": " + why.message();
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        return false;
    };
    if (ec)
        return failed(ec);
    if (impl_->acceptor.open(endpoint.protocol(), ec) ||
        impl_->acceptor.set_option(asio::socket_base::reuse_address(true), ec) ||
        impl_->acceptor.bind(endpoint, ec) ||
        impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec))
        return failed(ec);
    impl_->port = impl_->acceptor.local_endpoint(ec).port();
    impl_->token = token;
    {
        std::lock_guard lock(impl_->gate->mutex);
        impl_->gate->io = &impl_->io;
    }
    impl_->accept();
    impl_->thread = std::thread([impl = impl_.get()] { impl->io.run(); });
    return true;
}

unsigned short HttpServer::port() const {
    return impl_->port;
}

void HttpServer::stop() {
    {
        std::lock_guard lock(impl_->gate->mutex);
        impl_->gate->io = nullptr;
    }
    impl_->io.stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
}

} // namespace cadentor::control
