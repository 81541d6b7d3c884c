#include "files/ProgramDirectory.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>
#include <utility>

#ifndef CADENTOR_EXAMPLES_DIR
#define CADENTOR_EXAMPLES_DIR "/usr/local/share/doc/cadentor/examples"
#endif

namespace cadentor {

namespace {

std::string& overrideDirectory() {
    static std::string directory;
    return directory;
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::string withoutTrailingSlashes(std::string directory) {
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    return directory;
}

} // namespace

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

std::string defaultProgramDirectory(const std::string& executableDirectory,
                                    const char* xdgConfigHome, const char* home) {
    if (exists(joinPath(executableDirectory, "Config.ini")) ||
        exists(joinPath(executableDirectory, "Command.def")))
        return executableDirectory;
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the base directory rules say.
    if (xdgConfigHome && xdgConfigHome[0] == '/')
        return joinPath(withoutTrailingSlashes(xdgConfigHome), "cadentor");
    if (home && home[0] == '/')
        return joinPath(withoutTrailingSlashes(home), ".config/cadentor");
    return ".";
}

std::string programDirectory() {
    const std::string& directory = overrideDirectory();
    if (!directory.empty())
        return directory;
    return defaultProgramDirectory(executableDirectory(), std::getenv("XDG_CONFIG_HOME"),
                                   std::getenv("HOME"));
}

std::string setProgramDirectory(std::string directory) {
    return std::exchange(overrideDirectory(), withoutTrailingSlashes(std::move(directory)));
}

std::string examplesDirectory() {
    return CADENTOR_EXAMPLES_DIR;
}

std::string joinPath(const std::string& directory, const std::string& name) {
    if (directory.empty())
        return name;
    if (directory.back() == '/')
        return directory + name;
    return directory + "/" + name;
}

} // namespace cadentor
