#include "ports/SerialDevice.h"

#include "files/UniqueFd.h"
#include "ports/DeviceWait.h"
#include "ports/NetworkDevice.h"
#include "ports/StopRequest.h"
#include "ports/TtyLineSettings.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace cadentor {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

// n for "COMn" (any case) with n a decimal number from 1 without leading zeros; else 0.
unsigned long comNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 12 || !equalsIgnoringCase(name.substr(0, 3), "COM") ||
        name[3] == '0')
        return 0;
    unsigned long n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + static_cast<unsigned long>(name[i] - '0');
    }
    return n;
}

std::string systemError(const std::string& path, int error) {
    return path + ": " + std::strerror(error);
}

// An open, non-blocking character device. For a tty this holds the flock and TIOCEXCL until
// destruction.
class SystemDevice final : public SerialDevice {
public:
    SystemDevice(UniqueFd fd, std::string path, bool tty)
        : fd_(std::move(fd)), path_(std::move(path)), tty_(tty) {}
    // Output still queued is given the time a write has to go out, unless a stop was
    // requested; only what is left then is dropped, so that closing (which on a serial line
    // waits for the queue to drain) cannot hang on a stuck device.
    ~SystemDevice() override {
        if (!tty_)
            return;
        if (!drainQueue())
            ::tcflush(fd_.get(), TCOFLUSH);
        ::ioctl(fd_.get(), TIOCNXCL);
    } // closing releases the flock

    bool configure(std::uint32_t baudRate, Parity parity, StopBits stopBits,
                   std::string& error) override {
        if (!tty_)
            return true; // the null device and its kin have no line to set up
        std::string reason;
        if (applyLineSettings(fd_.get(), baudRate, parity, stopBits, reason))
            return true;
        error = path_ + ": " + reason;
        return false;
    }

    DeviceState state(std::string& why) override {
        pollfd p{fd_.get(), POLLOUT, 0};
        if (gone_.empty() && ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            gone_ = "the device hung up";
        if (stalled_ && gone_.empty()) {
            discardCutCommand();
            stalled_ = cutBytes_ > 0 || queued() > 0 || !(p.revents & POLLOUT);
        }
        if (!gone_.empty())
            why = path_ + ": " + gone_;
        else if (stalled_)
            why = path_ + ": the device has not taken the earlier command yet";
        return !gone_.empty() ? DeviceState::Gone
               : stalled_     ? DeviceState::Stalled
                              : DeviceState::Ready;
    }

    bool write(const std::uint8_t* bytes, std::size_t count, int noProgressMs,
               std::string& error) override {
        noProgressMs_ = noProgressMs;
        std::size_t taken = 0;
        const WriteEnd end = writeWithin(fd_.get(), bytes, count, noProgressMs, ::write, &taken);
        if (end == WriteEnd::Done)
            return true;
        const int reason = errno;
        if (end == WriteEnd::Failed && (reason == EIO || reason == ENXIO || reason == ENODEV))
            gone_ = std::strerror(reason);
        else if (end != WriteEnd::Failed && tty_) {
            // The unsent rest is dropped; what the driver took of this command goes once what
            // was queued before it (earlier commands, Done) has gone out.
            stalled_ = true;
            cutBytes_ = queued() > 0 ? taken : 0;
            discardCutCommand();
        }
        error = path_ + ": " + writeEndText(end, noProgressMs, reason);
        return false;
    }

private:
    // Waits while the output queue gets shorter, up to the last write's no-progress time for
    // each step; true once it is empty. A pty shows no queue: what it took is on its way.
    bool drainQueue() const {
        int before = -1;
        auto deadline = DeviceClock::now() + std::chrono::milliseconds(noProgressMs_);
        for (;;) {
            int queued = 0;
            if (::ioctl(fd_.get(), TIOCOUTQ, &queued) != 0 || queued <= 0)
                return true;
            if (stopRequested() || msUntil(deadline) == 0)
                return false;
            if (before < 0 || queued < before)
                deadline = DeviceClock::now() + std::chrono::milliseconds(noProgressMs_);
            before = queued;
            ::poll(nullptr, 0, 10);
        }
    }

    // The bytes in the driver's output queue; 0 where it does not count them (a pty).
    int queued() const {
        int count = 0;
        return tty_ && ::ioctl(fd_.get(), TIOCOUTQ, &count) == 0 ? count : 0;
    }

    // Once no more than the cut command's bytes are queued, they are all its own: dropped.
    void discardCutCommand() {
        if (cutBytes_ > 0 && static_cast<std::size_t>(queued()) <= cutBytes_) {
            ::tcflush(fd_.get(), TCOFLUSH);
            cutBytes_ = 0;
        }
    }

    UniqueFd fd_;
    int noProgressMs_ = DefaultWriteTimeoutMs;
    std::string path_;
    bool tty_;
    bool stalled_ = false;
    std::string gone_;         // why the device is gone, once it is
    std::size_t cutBytes_ = 0; // what the driver took of the command that gave up, while queued
};

class SystemLayer final : public DeviceLayer {
public:
    std::unique_ptr<SerialDevice> open(const std::string& name, std::string& error) override {
        if (name.empty()) {
            error = "no device name given";
            return nullptr;
        }
        if (isNetworkDevice(name))
            return openNetworkDevice(name, error);
        const std::string path = devicePath(name);
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!fd) {
            error = errno == EBUSY ? busy(path) : openFailureDetail(path, errno);
            return nullptr;
        }
        if (!claim(fd.get(), path, error))
            return nullptr;
        const bool tty = ::isatty(fd.get()) == 1;
        return std::make_unique<SystemDevice>(std::move(fd), path, tty);
    }

private:
    static std::string busy(const std::string& path) {
        return path + ": device is busy (held by another program)";
    }

    // Checks that `fd` is a character device and takes a tty exclusively. Regular files and
    // the like are refused: writing port bytes over a file from its start would destroy it.
    // The descriptor stays non-blocking: writes wait for the device with a deadline.
    static bool claim(int fd, const std::string& path, std::string& error) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            error = systemError(path, errno);
            return false;
        }
        if (!S_ISCHR(info.st_mode)) {
            error = path + ": not a serial device";
            return false;
        }
        if (::isatty(fd) == 1) {
            // Root passes another program's TIOCEXCL, so look for it; our own ports are kept
            // apart by the flock.
            int held = 0;
            if (::ioctl(fd, TIOCGEXCL, &held) == 0 && held) {
                error = busy(path);
                return false;
            }
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                error = errno == EWOULDBLOCK ? busy(path) : systemError(path, errno);
                return false;
            }
            if (::ioctl(fd, TIOCEXCL) != 0) {
                error = systemError(path, errno);
                return false;
            }
        }
        return true;
    }
};

class DryRunDevice final : public SerialDevice {
public:
    bool configure(std::uint32_t, Parity, StopBits, std::string&) override { return true; }
    DeviceState state(std::string&) override { return DeviceState::Ready; }
    bool write(const std::uint8_t*, std::size_t, int, std::string&) override { return true; }
};

class DryRunLayer final : public DeviceLayer {
public:
    std::unique_ptr<SerialDevice> open(const std::string& name, std::string& error) override {
        NetworkAddress address; // a network device is checked for form and never contacted
        if (isNetworkDevice(name) && !parseNetworkAddress(name, address, error))
            return nullptr;
        return std::make_unique<DryRunDevice>();
    }
};

} // namespace

DeviceLayer& DeviceLayer::system() {
    static SystemLayer layer;
    return layer;
}

DeviceLayer& DeviceLayer::dryRun() {
    static DryRunLayer layer;
    return layer;
}

std::string devicePath(const std::string& name) {
    if (equalsIgnoringCase(name, "NUL"))
        return "/dev/null";
    if (const unsigned long n = comNumber(name))
        return "/dev/ttyS" + std::to_string(n - 1);
    if (name.find('/') == std::string::npos)
        return "/dev/" + name;
    return name;
}

std::size_t largestWrite(const std::string& name) {
    NetworkAddress address;
    std::string error;
    if (!isNetworkDevice(name) || !parseNetworkAddress(name, address, error) || !address.udp)
        return SIZE_MAX;
    // 65,535 bytes of IP packet less the headers: IPv4's 20 and UDP's 8; an IPv6 packet's
    // length leaves out its own header.
    return address.host.find(':') == std::string::npos ? 65507 : 65527;
}

std::string openFailureDetail(const std::string& path, int error) {
    return systemError(path, error) +
           (error == EACCES ? " (is the user in the dialout group?)" : "");
}

} // namespace cadentor
