#include "ports/SerialDevice.h"

#include "ports/TtyLineSettings.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

// An open character device. For a tty this holds the flock and TIOCEXCL until destruction.
class SystemDevice final : public SerialDevice {
public:
    SystemDevice(int fd, std::string path, bool tty) : fd_(fd), path_(std::move(path)), tty_(tty) {}
    ~SystemDevice() override {
        if (tty_)
            ::ioctl(fd_, TIOCNXCL);
        ::close(fd_); // releases the flock
    }

    bool configure(std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                   std::string& error) override {
        if (!tty_)
            return true; // the null device and its kin have no line to set up
        std::string reason;
        if (applyLineSettings(fd_, baudRate, parity, stopBits, reason))
            return true;
        error = path_ + ": " + reason;
        return false;
    }

    bool write(const std::uint8_t* bytes, std::size_t count, std::string& error) override {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::write(fd_, bytes + done, count - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, -1) >= 0 || errno == EINTR)
                    continue;
            }
            error = n == 0 ? path_ + ": the device took no bytes" : systemError(path_, errno);
            return false;
        }
        return true;
    }

private:
    int fd_;
    std::string path_;
    bool tty_;
};

class SystemLayer final : public DeviceLayer {
public:
    std::unique_ptr<SerialDevice> open(const std::string& name, std::string& error) override {
        if (name.empty()) {
            error = "no device name given";
            return nullptr;
        }
        const std::string path = devicePath(name);
        const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = errno == EBUSY ? busy(path) : openFailureDetail(path, errno);
            return nullptr;
        }
        if (!claim(fd, path, error)) {
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<SystemDevice>(fd, path, ::isatty(fd) == 1);
    }

private:
    static std::string busy(const std::string& path) {
        return path + ": device is busy (held by another program)";
    }

    // Checks that `fd` is a character device, takes a tty exclusively and makes writes
    // synchronous. Regular files and the like are refused: writing port bytes over a file
    // from its start would destroy it.
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
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            error = systemError(path, errno);
            if (::isatty(fd) == 1)
                ::ioctl(fd, TIOCNXCL);
            return false;
        }
        return true;
    }
};

class DryRunDevice final : public SerialDevice {
public:
    bool configure(std::uint32_t, std::uint8_t, std::uint8_t, std::string&) override {
        return true;
    }
    bool write(const std::uint8_t*, std::size_t, std::string&) override { return true; }
};

class DryRunLayer final : public DeviceLayer {
public:
    std::unique_ptr<SerialDevice> open(const std::string&, std::string&) override {
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

std::string openFailureDetail(const std::string& path, int error) {
    return systemError(path, error) +
           (error == EACCES ? " (is the user in the dialout group?)" : "");
}

} // namespace cadentor
