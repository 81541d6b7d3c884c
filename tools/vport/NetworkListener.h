#pragma once
// Network stand-ins for devices, for trying a show whose Config.ini names socket:// or udp://
// devices. Each listener is bound to 127.0.0.1 only (port 0: one the system picks) and is
// announced by the URL to put in Config.ini ("socket://127.0.0.1:4001").
//
// A TCP listener serves one client at a time: one that connects meanwhile is held by the system
// (what it writes is buffered) and served when the first has gone. A UDP
// listener reports every datagram as one chunk. Every chunk is handed to the caller's report
// with the listener's index. Arrivals and departures of clients are noted on stderr.
//
// All listeners of a run stand behind one descriptor, so the main loop polls a single one.

#include "files/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace cadentor::vport {

struct ListenRequest {
    bool udp = false;
    std::uint16_t port = 0;
};

// The value of --tcp or --udp: a decimal number from 0 to 65535. False for anything else.
bool parseListenPort(std::string_view value, std::uint16_t& port);

class NetworkListeners {
public:
    // False, with `error` for stderr, when the socket cannot be made or bound.
    bool listen(const ListenRequest& request, std::size_t index, std::string& error);
    // One URL per listener, each followed by a newline, in the order they were made.
    std::string addresses() const;
    // Readable when serve() has something to do; -1 while there is no listener.
    int pollFd() const { return events_.get(); }

    // Takes a listener's index and one chunk of bytes; false when the chunk could not be shown.
    using Report =
        std::function<bool(std::size_t index, const unsigned char* bytes, std::size_t count)>;
    // Accepts, reads and reports what is ready without waiting; false when a report failed.
    bool serve(const Report& report);

private:
    struct Listener {
        bool udp;
        std::size_t index;
        std::string url;
        UniqueFd socket;
        UniqueFd client;
        std::string clientName;
    };
    bool watch(int fd, std::size_t listener, bool client);
    // Reads once from the listener's client; drops the client when it has gone.
    void readClient(Listener& listener, const Report& report);
    void accept(Listener& listener);
    std::size_t position(const Listener& listener) const;
    // Whether the listener's connections are taken: not while it has a client.
    void setAccepting(Listener& listener, bool accepting);

    UniqueFd events_;
    std::vector<Listener> listeners_;
    bool reportFailed_ = false;
};

} // namespace cadentor::vport
