#pragma once
// Shared by the fuzz targets: a program directory of their own and a silent reporter. A broken
// invariant ends the run with a message and abort(), which libFuzzer records as a crash.

#include "files/ProgramDirectory.h"
#include "messages/Messages.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace cadentor::fuzz {

// A fresh directory (in memory when /dev/shm is there: the inputs are written as files), made
// the program directory and removed at exit; and every message swallowed.
inline const std::string& programDirectoryOnce() {
    struct Scratch {
        std::string path;
        Scratch() {
            const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                                   ? std::filesystem::path("/dev/shm")
                                                   : std::filesystem::temp_directory_path();
            path = base / "cadentor-fuzz-XXXXXX";
            if (!::mkdtemp(path.data()))
                std::abort();
            setProgramDirectory(path);
            setReporter([](const ErrorReport&) {});
        }
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Scratch scratch;
    return scratch.path;
}

inline std::string writeFile(const std::string& name, std::string_view bytes) {
    const std::string path = programDirectoryOnce() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

} // namespace cadentor::fuzz
