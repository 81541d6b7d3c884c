#include "files/ProgramDirectory.h"

#include <climits>
#include <unistd.h>
#include <utility>

namespace cadentor {

namespace {

std::string& overrideDirectory() {
    static std::string directory;
    return directory;
}

std::string executableDirectory() {
    char buffer[PATH_MAX + 1] = {};
    ssize_t length = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (length <= 0)
        return ".";
    std::string path(buffer, static_cast<size_t>(length));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

} // namespace

std::string programDirectory() {
    const std::string& directory = overrideDirectory();
    return directory.empty() ? executableDirectory() : directory;
}

std::string setProgramDirectory(std::string directory) {
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    return std::exchange(overrideDirectory(), std::move(directory));
}

std::string joinPath(const std::string& directory, const std::string& name) {
    if (directory.empty())
        return name;
    if (directory.back() == '/')
        return directory + name;
    return directory + "/" + name;
}

} // namespace cadentor
