#include "VirtualPorts.h"

#include "NetworkListener.h"
#include "cli/OptionReader.h"
#include "files/UniqueFd.h"
#include "pty/PtyPair.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cadentor::vport {

namespace {

constexpr const char* usageText = "usage: cadentor-vport [--link PATH] [--count N] "
                                  "[--tcp PORT]... [--udp PORT]...\n"
                                  "       cadentor-vport --help\n";
// --help: the usage, then what the program does and each option.
constexpr const char* helpText =
    "\n"
    "Virtual serial ports and network listeners for dry runs of a show: prints the devices\n"
    "(/dev/pts/N, socket://127.0.0.1:PORT, udp://127.0.0.1:PORT), then one line for each chunk\n"
    "of bytes that arrives: milliseconds since the start, the port's index, the bytes in hex.\n"
    "Ctrl-C (SIGINT), SIGTERM or SIGHUP ends it and removes the links.\n"
    "\n"
    "  --link PATH   link PATH to the port (with several ports PATH0, PATH1, ...); a\n"
    "                link already there is replaced in one step\n"
    "  --count N     make N pseudo-terminal ports, 1 to 256 (default 1; 0 when only\n"
    "                --tcp or --udp listeners are asked for, without --link)\n"
    "  --tcp PORT    listen for TCP connections on 127.0.0.1:PORT (0: a free port)\n"
    "  --udp PORT    receive datagrams on 127.0.0.1:PORT (0: a free port)\n"
    "  --help        print this help\n"
    "\n"
    "Options take their value as --count N or --count=N; --tcp and --udp may be repeated.\n";
constexpr int maxPorts = 256;

// A pty whose slave we hold, and the link to it. The link is removed when the port goes.
struct Port {
    Port() = default;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    // Only while the link is still ours: a vport started again on it has replaced it.
    ~Port() {
        std::error_code error;
        if (!link.empty() && std::filesystem::read_symlink(link, error) == pty.slavePath)
            ::unlink(link.c_str());
    }

    PtyPair pty;
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
    std::string error;
    if (!openPtyPair(port.pty, true, error)) {
        complain(error);
        return false;
    }
    return true;
}

// Makes `link` point at the port's slave, replacing a symlink in one step (a new one under a
// temporary name renamed over it), so that a writer never finds the path missing when a vport
// is started again on it; refuses to replace anything else.
bool makeLink(Port& port, const std::string& link) {
    struct stat info {};
    if (::lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        complain(link + ": exists and is not a symbolic link");
        return false;
    }
    const std::string temporary = link + ".new-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(port.pty.slavePath.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), link.c_str()) != 0) {
        complainErrno(link);
        ::unlink(temporary.c_str());
        return false;
    }
    port.link = link;
    return true;
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

// A program that holds a port exclusively, as cadentor-run does, takes the slave's flock and
// then sets exclusive mode (TIOCEXCL). Killed, it loses the flock with its descriptor, but the
// exclusive mode stays on the slave, which we keep open, and every later open is refused.
// Exclusive mode without any lock left is cleared: the flock we can take for a moment on our
// own descriptor tells so at once. It is tried only while the slave is exclusive, when no
// other program can be taking the port, so the moment we hold it is never in anyone's way.
void releaseAbandoned(const Port& port) {
    const int slave = port.pty.slave.get();
    int exclusive = 0;
    if (::ioctl(slave, TIOCGEXCL, &exclusive) != 0 || !exclusive ||
        ::flock(slave, LOCK_EX | LOCK_NB) != 0)
        return;
    ::ioctl(slave, TIOCNXCL);
    ::flock(slave, LOCK_UN);
}

// Polls the masters, the signal descriptor and the slaves' closes (`closes`, an inotify
// descriptor or -1) until a signal comes or stdout fails. Abandoned exclusive mode is looked
// for at once when a slave was closed, then every millisecond for a while (the lock of a
// killed program goes a moment after its close is told), so that the next program finds the
// port free; and every quarter of a second, in case the close was not seen.
int monitor(std::vector<Port>& ports, NetworkListeners& listeners, int signals, int closes,
            std::uint64_t startUs) {
    constexpr std::uint64_t checkEveryUs = 250000, checkAfterCloseUs = 1000,
                            closeChecksForUs = 50000;
    std::uint64_t closeChecksUntil = 0;
    std::vector<pollfd> fds;
    for (const Port& port : ports)
        fds.push_back({port.pty.master.get(), POLLIN, 0});
    fds.push_back({closes, POLLIN, 0});
    fds.push_back({listeners.pollFd(), POLLIN, 0});
    fds.push_back({signals, POLLIN, 0});
    std::uint64_t nextCheck = monotonicMicroseconds() + checkEveryUs;
    for (;;) {
        std::uint64_t now = monotonicMicroseconds();
        if (now >= nextCheck) {
            for (const Port& port : ports)
                releaseAbandoned(port);
            nextCheck = now + (now < closeChecksUntil ? checkAfterCloseUs : checkEveryUs);
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
            for (const Port& port : ports)
                releaseAbandoned(port);
            closeChecksUntil = monotonicMicroseconds() + closeChecksForUs;
            nextCheck = std::min(nextCheck, monotonicMicroseconds() + checkAfterCloseUs);
        }
        const auto report = [&](std::size_t index, const unsigned char* bytes, std::size_t n) {
            return writeOut(chunkLine(monotonicMicroseconds() - startUs, index, bytes, n));
        };
        if ((fds[ports.size() + 1].revents & POLLIN) && !listeners.serve(report))
            return 1;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            unsigned char buffer[4096];
            ssize_t got = ::read(ports[i].pty.master.get(), buffer, sizeof buffer);
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

// False after telling why (exit status 2) for bad usage; `help` set for --help.
bool addListener(bool udp, const std::string& port, Options& options) {
    ListenRequest request{udp, 0};
    if (!parseListenPort(port, request.port)) {
        complain(std::string(udp ? "--udp" : "--tcp") + " needs a port number from 0 to 65535");
        return false;
    }
    options.listen.push_back(request);
    return true;
}

bool parseArguments(int argc, const char* const* argv, Options& options, bool& help) {
    cli::OptionReader args(argc, argv);
    while (args.next()) {
        if (args.isFlag("--help")) {
            help = true;
            return true;
        }
        if (std::optional<std::string> link = args.value("--link")) {
            if (link->empty()) {
                complain("--link needs a path");
                return false;
            }
            options.link = *link;
        } else if (std::optional<std::string> count = args.value("--count")) {
            std::optional<long> n = cli::parseNumber(*count, 1, maxPorts);
            if (!n) {
                complain("--count needs a number from 1 to " + std::to_string(maxPorts));
                return false;
            }
            options.count = static_cast<int>(*n);
        } else if (std::optional<std::string> port = args.value("--tcp")) {
            if (!addListener(false, *port, options))
                return false;
        } else if (std::optional<std::string> port = args.value("--udp")) {
            if (!addListener(true, *port, options))
                return false;
        } else {
            complain("unknown argument '" + std::string(args.current()) + "'");
            return false;
        }
    }
    return true;
}

} // namespace

int runVirtualPorts(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!parseArguments(argc, argv, options, help)) {
        (void)!::write(STDERR_FILENO, usageText, std::strlen(usageText));
        return 2;
    }
    if (help)
        return writeOut(usageText) && writeOut(helpText) ? 0 : 1;

    // The signals arrive through a descriptor, so none is lost between two polls; a broken
    // stdout shows as a failed write instead of killing us before the links are removed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    UniqueFd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (!signals) {
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
    std::string list;
    for (const Port& port : ports)
        list += port.pty.slavePath + "\n";
    NetworkListeners listeners;
    for (std::size_t i = 0; ready && i < options.listen.size(); ++i) {
        std::string error;
        if (!(ready = listeners.listen(options.listen[i], ports.size() + i, error)))
            complain(error);
    }
    list += listeners.addresses();
    UniqueFd closes(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    for (std::size_t i = 0; ready && closes && i < ports.size(); ++i)
        ::inotify_add_watch(closes.get(), ports[i].pty.slavePath.c_str(), IN_CLOSE);
    if (!ready || !writeOut(list))
        return 1;
    return monitor(ports, listeners, signals.get(), closes.get(), startUs);
}

} // namespace cadentor::vport
