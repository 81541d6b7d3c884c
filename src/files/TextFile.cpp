#include "files/TextFile.h"

#include "files/UniqueFd.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
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

bool readWholeFile(const std::string& path, std::string& data, std::string& error) {
    data.clear();
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return fail(error, path, std::strerror(errno));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return fail(error, path, std::strerror(errno));
    if (S_ISDIR(info.st_mode))
        return fail(error, path, std::strerror(EISDIR));
    if (info.st_size == 0)
        return fail(error, path, "file is empty");
    const auto size = static_cast<std::uint64_t>(info.st_size);
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
        const ssize_t n = ::read(fd.get(), data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int saved = errno;
            data.clear();
            data.shrink_to_fit();
            return fail(error, path, std::strerror(saved));
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got != data.size()) {
        data.clear();
        data.shrink_to_fit();
        return fail(error, path, "short read");
    }
    return true;
}

} // namespace cadentor
