#include "VirtualPorts.h"

#include "NetworkListener.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace cadentor::vport {

namespace {

constexpr const char* usageText = "usage: cadentor-vport [--link PATH] [--count N] "
                                  "[--tcp PORT]... [--udp PORT]...\n"
                                  "       cadentor-vport --help\n";
constexpr int maxPorts = 256;

struct Port {
    int master = -1;
    int slave = -1;
    std::string slavePath;
    std::string link; // empty when no link was made
};

struct Options {
    std::string link;
    int count = 0; // 0: one pty, or none when only listeners were asked for
    std::vector<ListenRequest> listen;
};

void complain(const std::string& text) {
    std::string line = "cadentor-vport: " + text + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

void complainErrno(const std::string& what) {
    complain(what + ": " + std::strerror(errno));
}

// Writes the whole text to stdout; false when stdout is gone.
bool writeOut(std::string_view text) {
    while (!text.empty()) {
        ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool openPort(Port& port) {
    port.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.master < 0) {
        complainErrno("posix_openpt");
        return false;
    }
    if (::grantpt(port.master) != 0 || ::unlockpt(port.master) != 0) {
        complainErrno("grantpt/unlockpt");
        return false;
    }
    char name[128] = {};
    if (::ptsname_r(port.master, name, sizeof name) != 0) {
        complainErrno("ptsname");
        return false;
    }
    port.slavePath = name;
    port.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.slave < 0) {
        complainErrno(port.slavePath);
        return false;
    }
    termios settings{};
    if (::tcgetattr(port.slave, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::tcsetattr(port.slave, TCSANOW, &settings);
    }
    return true;
}

// Replaces a stale symlink (from a vport that was killed); refuses to replace anything else.
bool makeLink(Port& port, const std::string& link) {
    struct stat info {};
    if (::lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            complain(link + ": exists and is not a symbolic link");
            return false;
        }
        ::unlink(link.c_str());
    }
    if (::symlink(port.slavePath.c_str(), link.c_str()) != 0) {
        complainErrno(link);
        return false;
    }
    port.link = link;
    return true;
}

void closePorts(std::vector<Port>& ports) {
    for (Port& port : ports) {
        if (!port.link.empty())
            ::unlink(port.link.c_str());
        if (port.slave >= 0)
            ::close(port.slave);
        if (port.master >= 0)
            ::close(port.master);
        port = Port{};
    }
}

std::uint64_t monotonicMicroseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

std::string chunkLine(std::uint64_t sinceStartUs, std::size_t index, const unsigned char* bytes,
                      std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%llu.%03llu\t%zu\t",
                  static_cast<unsigned long long>(sinceStartUs / 1000),
                  static_cast<unsigned long long>(sinceStartUs % 1000), index);
    std::string line = stamp;
    line.reserve(line.size() + count * 3 + 1);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0)
            line += ' ';
        line += digits[bytes[i] >> 4];
        line += digits[bytes[i] & 0x0F];
    }
    line += '\n';
    return line;
}

// Polls the masters, the listeners and the signal descriptor until a signal comes or stdout
// fails.
int monitor(std::vector<Port>& ports, NetworkListeners& listeners, int signals,
            std::uint64_t startUs) {
    std::vector<pollfd> fds;
    for (const Port& port : ports)
        fds.push_back({port.master, POLLIN, 0});
    fds.push_back({listeners.pollFd(), POLLIN, 0});
    fds.push_back({signals, POLLIN, 0});
    for (;;) {
        int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            complainErrno("poll");
            return 1;
        }
        if (fds.back().revents & POLLIN)
            return 0;
        const auto report = [&](std::size_t index, const unsigned char* bytes, std::size_t n) {
            return writeOut(chunkLine(monotonicMicroseconds() - startUs, index, bytes, n));
        };
        if ((fds[ports.size()].revents & POLLIN) && !listeners.serve(report))
            return 1;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            unsigned char buffer[4096];
            ssize_t got = ::read(ports[i].master, buffer, sizeof buffer);
            std::uint64_t at = monotonicMicroseconds() - startUs;
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0) {
                // Cannot happen while we hold the slave; stop watching rather than spin.
                fds[i].fd = -1;
                continue;
            }
            if (!writeOut(chunkLine(at, i, buffer, static_cast<std::size_t>(got))))
                return 1;
        }
    }
}

} // namespace

int runVirtualPorts(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help") {
            writeOut(usageText);
            return 0;
        }
        auto takeValue = [&](std::string_view name, std::string& out) {
            if (arg == name) {
                if (i + 1 >= argc)
                    return false;
                out = argv[++i];
            } else {
                out = std::string(arg.substr(name.size() + 1));
            }
            return !out.empty();
        };
        std::string value;
        if (arg == "--link" || arg.starts_with("--link=")) {
            if (!takeValue("--link", value)) {
                complain("--link needs a path");
                return 2;
            }
            options.link = value;
        } else if (arg == "--count" || arg.starts_with("--count=")) {
            char* end = nullptr;
            long n = 0;
            if (takeValue("--count", value)) {
                errno = 0;
                n = std::strtol(value.c_str(), &end, 10);
            }
            if (value.empty() || *end != '\0' || errno != 0 || n < 1 || n > maxPorts) {
                complain("--count needs a number from 1 to " + std::to_string(maxPorts));
                std::fputs(usageText, stderr);
                return 2;
            }
            options.count = static_cast<int>(n);
        } else if (arg == "--tcp" || arg == "--udp" || arg.starts_with("--tcp=") ||
                   arg.starts_with("--udp=")) {
            ListenRequest request{arg.starts_with("--udp"), 0};
            if (!takeValue(arg.substr(0, 5), value) || !parseListenPort(value, request.port)) {
                complain(std::string(arg.substr(0, 5)) + " needs a port number from 0 to 65535");
                std::fputs(usageText, stderr);
                return 2;
            }
            options.listen.push_back(request);
        } else {
            complain("unknown argument '" + std::string(arg) + "'");
            std::fputs(usageText, stderr);
            return 2;
        }
    }

    // The signals arrive through a descriptor, so none is lost between two polls; a broken
    // stdout shows as a failed write instead of killing us before the links are removed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signals < 0) {
        complainErrno("signalfd");
        return 1;
    }

    if (options.count == 0)
        options.count = options.listen.empty() || !options.link.empty() ? 1 : 0;
    const std::uint64_t startUs = monotonicMicroseconds();
    std::vector<Port> ports(static_cast<std::size_t>(options.count));
    bool ready = true;
    for (std::size_t i = 0; ready && i < ports.size(); ++i) {
        ready = openPort(ports[i]);
        if (ready && !options.link.empty())
            ready = makeLink(ports[i],
                             ports.size() == 1 ? options.link : options.link + std::to_string(i));
    }
    NetworkListeners listeners;
    for (std::size_t i = 0; ready && i < options.listen.size(); ++i) {
        std::string error;
        if (!(ready = listeners.listen(options.listen[i], ports.size() + i, error)))
            complain(error);
    }
    std::string list;
    for (const Port& port : ports)
        list += port.slavePath + "\n";
    list += listeners.addresses();
    int code = 1;
    if (ready && writeOut(list))
        code = monitor(ports, listeners, signals, startUs);
    closePorts(ports);
    ::close(signals);
    return code;
}

} // namespace cadentor::vport
