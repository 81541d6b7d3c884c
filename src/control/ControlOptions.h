#pragma once
// What the runner's --control, --control-token and --osc options take, checked before any
// server starts: the address to listen on, the token a client must show, and the sequence
// times a client asks to seek to.

#include "sequence/TimeCode.h"

#include <optional>
#include <string>
#include <string_view>

namespace cadentor::control {

struct ListenAddress {
    std::string host;        // a numeric IPv4 or IPv6 address, without brackets
    unsigned short port = 0; // 0: the system picks a free one
    bool loopback = true;    // 127.0.0.0/8 or ::1 (also as ::ffff:127.x.x.x)
};

// "[ADDRESS:]PORT": ADDRESS an IPv4 address, an IPv6 address in brackets, or localhost
// (127.0.0.1, also the default); PORT 0 to 65535. Nothing, with `error` set (one line), for
// anything else.
std::optional<ListenAddress> parseListenAddress(std::string_view text, std::string& error);

// Reads the token from the file at `path`: its first line without trailing blanks. False with
// `error` set when the file cannot be read ("PATH: reason"), is not a regular file, can be
// read or written by anyone but its owner (group or others), or holds an empty token or one
// with control characters or blanks.
bool readTokenFile(const std::string& path, std::string& token, std::string& error);

// Whether `offered` equals `expected`, in a time that depends only on their lengths, so that
// the time taken tells nothing of how much of a guess matched.
bool tokensEqual(std::string_view offered, std::string_view expected);

// A time as a sequence file writes it, "H:M:S.mmm" or "M:S.mmm", with the same rounding.
// Nothing for anything else, blanks included.
std::optional<TimeCode> parseTime(std::string_view text);

} // namespace cadentor::control
