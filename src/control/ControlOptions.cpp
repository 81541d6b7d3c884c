#include "control/ControlOptions.h"

#include "sequence/SequenceLine.h"

#include <boost/asio/ip/address.hpp>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cadentor::control {

namespace {

bool isLoopback(const boost::asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6())
            .is_loopback();
    return address.is_loopback();
}

} // namespace

std::optional<ListenAddress> parseListenAddress(std::string_view text, std::string& error) {
    std::string_view host = "127.0.0.1";
    std::string_view port = text;
    if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        else if (host.find(':') != std::string_view::npos) {
            error =
                "an IPv6 address goes in brackets, as [::1]:PORT, not '" + std::string(text) + "'";
            return std::nullopt;
        }
    }
    unsigned number = 0;
    const auto [end, failure] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || failure != std::errc() || end != port.data() + port.size() ||
        number > 65535) {
        error = "not a port from 0 to 65535: '" + std::string(port) + "'";
        return std::nullopt;
    }
    if (host == "localhost")
        host = "127.0.0.1";
    boost::system::error_code invalid;
    const boost::asio::ip::address address = boost::asio::ip::make_address(host, invalid);
    if (invalid) {
        error = "not a numeric IP address: '" + std::string(host) + "'";
        return std::nullopt;
    }
    return ListenAddress{address.to_string(), static_cast<unsigned short>(number),
                         isLoopback(address)};
}

bool readTokenFile(const std::string& path, std::string& token, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    std::string text;
    bool read = ::fstat(fd, &info) == 0;
    if (read && S_ISREG(info.st_mode) && (info.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
        char buffer[4096];
        for (ssize_t n; text.size() < 65536 && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                read = false;
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    const int readError = errno;
    ::close(fd);
    if (!read) {
        error = path + ": " + std::strerror(readError);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        error = path + ": others may read or change it (mode " + mode +
                "); make it the owner's alone (chmod 600)";
        return false;
    }
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.pop_back();
    if (text.empty()) {
        error = path + ": holds no token";
        return false;
    }
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            error = path + ": the token holds a blank or a control character";
            return false;
        }
    token = text;
    return true;
}

bool tokensEqual(std::string_view offered, std::string_view expected) {
    unsigned char difference = offered.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < offered.size(); ++i)
        difference |= static_cast<unsigned char>(
            offered[i] ^ (expected.empty() ? 0 : expected[i % expected.size()]));
    return difference == 0;
}

std::optional<TimeCode> parseTime(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20)
            return std::nullopt;
    TimeCode time = 0;
    std::string name;
    if (!parseSequenceLine(std::string(text) + " _", time, name))
        return std::nullopt;
    return time;
}

} // namespace cadentor::control
