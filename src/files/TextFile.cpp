#include "files/TextFile.h"

#include "files/UniqueFd.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cadentor {

namespace {

constexpr std::uint64_t largestFile = 0xFFFFFFFFu;

bool fail(std::string& error, const std::string& path, const std::string& why) {
    error = path + ": " + why;
    return false;
}

} // namespace

std::string formatFileSize(std::uint64_t bytes) {
    char text[32];
    if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%ju bytes", static_cast<std::uintmax_t>(bytes));
    else if (bytes < 1024 * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    else
        std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024.0 * 1024.0));
    return text;
}

namespace {

// Whole seconds as "10 s", anything else in milliseconds: "250 ms".
std::string quietTime(int ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// Reads a pipe, a terminal or a device until its end, up to the limit, waiting for data in
// slices so that `wait.stopped` ends the wait within a slice.
bool readStream(int fd, const std::string& path, std::string& data, std::string& error,
                const StreamWait& wait) {
    constexpr int sliceMs = 50;
    char buffer[65536];
    int quietMs = 0;
    for (;;) {
        if (wait.stopped && wait.stopped())
            return fail(error, path, "stopped while waiting for data");
        pollfd ready{fd, POLLIN, 0};
        const int shown = ::poll(&ready, 1, sliceMs);
        if (shown < 0 && errno != EINTR)
            return fail(error, path, std::strerror(errno));
        if (shown <= 0) {
            if (shown == 0 && (quietMs += sliceMs) >= wait.noDataMs)
                return fail(error, path,
                            "no data came for " + quietTime(wait.noDataMs) +
                                " (a pipe or device nobody writes to?)");
            continue;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return fail(error, path, std::strerror(errno));
        if (n == 0)
            return data.empty() ? fail(error, path, "file is empty") : true;
        quietMs = 0;
        const auto size = static_cast<std::uint64_t>(data.size()) + static_cast<std::size_t>(n);
        if (size > largestFile)
            return fail(error, path, "file too large to load (more than 4.0 GiB)");
        try {
            data.append(buffer, static_cast<std::size_t>(n));
        } catch (const std::bad_alloc&) {
            return fail(error, path,
                        "file too large to load (more than " + formatFileSize(data.size()) + ")");
        }
    }
}

bool readRegularFile(int fd, std::uint64_t size, const std::string& path, std::string& data,
                     std::string& error) {
    if (size == 0)
        return fail(error, path, "file is empty");
    const std::string tooLarge = "file too large to load (" + formatFileSize(size) + ")";
    if (size > largestFile)
        return fail(error, path, tooLarge);
    try {
        data.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return fail(error, path, tooLarge);
    }
    // One read takes at most about 2 GiB on Linux, so a larger file takes a second one.
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(error, path, std::strerror(errno));
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return got == data.size() || fail(error, path, "short read");
}

} // namespace

bool readWholeFile(const std::string& path, std::string& data, std::string& error,
                   const StreamWait& wait) {
    data.clear();
    // Non-blocking, so that opening a FIFO nobody writes to does not hang.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    bool read = false;
    if (!fd || ::fstat(fd.get(), &info) != 0)
        fail(error, path, std::strerror(errno));
    else if (S_ISDIR(info.st_mode))
        fail(error, path, std::strerror(EISDIR));
    else if (S_ISREG(info.st_mode))
        read =
            readRegularFile(fd.get(), static_cast<std::uint64_t>(info.st_size), path, data, error);
    else
        read = readStream(fd.get(), path, data, error, wait);
    if (!read) {
        data.clear();
        data.shrink_to_fit();
    }
    return read;
}

} // namespace cadentor
