#pragma once
// Devices on the network, named in Config.ini as URLs: `socket://HOST:PORT` is a TCP
// connection, `udp://HOST:PORT` a connected UDP socket that sends each write as one datagram.
// HOST is a name, an IPv4 address or an IPv6 address in brackets; the scheme may be in any case.
// They stand behind the same SerialDevice interface as a tty: line settings do not apply and
// every configure() succeeds, and nothing is held exclusively (two ports may name one peer).
//
// Opening resolves the name and connects within NetworkOpenTimeoutMs in all; a stop request
// ends the wait early. Writes wait for a peer that takes no data as serial writes do. A TCP
// connection is Gone (SerialDevice.h) once it was reset or a send failed, and once a write was
// given up on, since a command cut off would run into the next one; the connection is made
// again only by opening anew. A peer that ended only its sending side still gets commands:
// before it answers a command with a reset it is not gone, and a write to it waits about a
// round trip for that reset, so that a command to a peer that closed altogether fails instead
// of counting as sent. Bytes the peer sends are read and dropped. A UDP write sends its datagram
// even when the refusal of an earlier one (nothing listening there) is waiting on the socket.
// No write ever raises SIGPIPE. Failures fill `error` with the
// URL as configured and the reason, e.g. "socket://10.0.0.5:4001: Connection refused".

#include "ports/SerialDevice.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace cadentor {

inline constexpr int NetworkOpenTimeoutMs = 5000;

// True for a name with the scheme socket:// or udp://, well formed or not.
bool isNetworkDevice(std::string_view name);

struct NetworkAddress {
    bool udp = false;
    std::string host; // without brackets
    std::uint16_t port = 0;
};

// Splits a network device name. False, with `error` saying what is wrong, for a name that is
// not one or lacks the host, lacks the port, or has a port outside 1..65535.
bool parseNetworkAddress(std::string_view name, NetworkAddress& address, std::string& error);

// Resolves and connects. Null, with `error`, when the name is malformed, does not resolve or
// nothing answers in time.
std::unique_ptr<SerialDevice> openNetworkDevice(const std::string& name, std::string& error);

} // namespace cadentor
