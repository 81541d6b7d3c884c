#include "VirtualPorts.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace cadentor::vport {

namespace {

constexpr const char* usageText = "usage: cadentor-vport [--link PATH] [--count N]\n"
                                  "       cadentor-vport --help\n";
constexpr int maxPorts = 256;

struct Port {
    int master = -1;
    int slave = -1;
    std::string slavePath;
    std::string lockKey; // " MAJ:MIN:INODE " of the slave, as /proc/locks names it
    std::string link;    // empty when no link was made
};

struct Options {
    std::string link;
    int count = 1;
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
    struct stat info {};
    if (::fstat(port.slave, &info) == 0) {
        char key[64];
        std::snprintf(key, sizeof key, " %02x:%02x:%lu ", major(info.st_dev), minor(info.st_dev),
                      static_cast<unsigned long>(info.st_ino));
        port.lockKey = key;
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

// True when /proc/locks lists a lock on the file `key` names, or cannot be read.
bool locked(const std::string& key) {
    std::ifstream locks("/proc/locks");
    if (!locks || key.empty())
        return true;
    for (std::string line; std::getline(locks, line);)
        if (line.find(key) != std::string::npos)
            return true;
    return false;
}

// A program that holds a port exclusively, as cadentor-run does, sets exclusive mode
// (TIOCEXCL) on the slave and takes its flock. Killed, it loses the flock with its descriptor,
// but the exclusive mode stays on the slave, which we keep open, and every later open is
// refused. Exclusive mode without any lock left is cleared.
void releaseAbandoned(const Port& port) {
    int exclusive = 0;
    if (::ioctl(port.slave, TIOCGEXCL, &exclusive) == 0 && exclusive && !locked(port.lockKey))
        ::ioctl(port.slave, TIOCNXCL);
}

// Polls the masters, the signal descriptor and the slaves' closes (`closes`, an inotify
// descriptor or -1) until a signal comes or stdout fails. Abandoned exclusive mode is looked
// for a moment after a slave was closed (the lock of a killed program goes after its close is
// told) and every quarter of a second, in case the close was not seen.
int monitor(std::vector<Port>& ports, int signals, int closes, std::uint64_t startUs) {
    constexpr std::uint64_t checkEveryUs = 250000, checkAfterCloseUs = 10000;
    std::vector<pollfd> fds;
    for (const Port& port : ports)
        fds.push_back({port.master, POLLIN, 0});
    fds.push_back({closes, POLLIN, 0});
    fds.push_back({signals, POLLIN, 0});
    std::uint64_t nextCheck = monotonicMicroseconds() + checkEveryUs;
    for (;;) {
        std::uint64_t now = monotonicMicroseconds();
        if (now >= nextCheck) {
            for (const Port& port : ports)
                releaseAbandoned(port);
            nextCheck = now + checkEveryUs;
        }
        int ready =
            ::poll(fds.data(), fds.size(), static_cast<int>((nextCheck - now + 999) / 1000));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            complainErrno("poll");
            return 1;
        }
        if (fds.back().revents & POLLIN)
            return 0;
        if (fds[ports.size()].revents & POLLIN) {
            char events[4096];
            while (::read(closes, events, sizeof events) > 0) {
            }
            nextCheck = std::min(nextCheck, monotonicMicroseconds() + checkAfterCloseUs);
        }
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

    const std::uint64_t startUs = monotonicMicroseconds();
    std::vector<Port> ports(static_cast<std::size_t>(options.count));
    bool ready = true;
    for (std::size_t i = 0; ready && i < ports.size(); ++i) {
        ready = openPort(ports[i]);
        if (ready && !options.link.empty())
            ready = makeLink(ports[i],
                             ports.size() == 1 ? options.link : options.link + std::to_string(i));
    }
    std::string list;
    for (const Port& port : ports)
        list += port.slavePath + "\n";
    int closes = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    for (std::size_t i = 0; ready && closes >= 0 && i < ports.size(); ++i)
        ::inotify_add_watch(closes, ports[i].slavePath.c_str(), IN_CLOSE);
    int code = 1;
    if (ready && writeOut(list))
        code = monitor(ports, signals, closes, startUs);
    closePorts(ports);
    if (closes >= 0)
        ::close(closes);
    ::close(signals);
    return code;
}

} // namespace cadentor::vport
