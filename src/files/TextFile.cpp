#include "files/TextFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cadentor {

namespace {

bool fail(std::string& error, const std::string& path, const char* why) {
    error = path + ": " + why;
    return false;
}

} // namespace

bool readWholeFile(const std::string& path, std::string& data, std::string& error) {
    data.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(error, path, std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        int saved = errno;
        ::close(fd);
        return fail(error, path, std::strerror(saved));
    }
    if (S_ISDIR(info.st_mode)) {
        ::close(fd);
        return fail(error, path, std::strerror(EISDIR));
    }
    if (info.st_size == 0) {
        ::close(fd);
        return fail(error, path, "file is empty");
    }
    data.resize(static_cast<size_t>(info.st_size));
    ssize_t got = ::read(fd, data.data(), data.size());
    int saved = errno;
    ::close(fd);
    if (got < 0) {
        data.clear();
        return fail(error, path, std::strerror(saved));
    }
    if (static_cast<size_t>(got) != data.size()) {
        data.clear();
        return fail(error, path, "short read");
    }
    return true;
}

} // namespace cadentor
