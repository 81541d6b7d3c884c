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

// Writes `bytes` exactly to `name` in a fresh directory (in memory when /dev/shm is there: the
// inputs are written as files) and returns its path. The first call makes the directory the
// program directory and swallows every message; the directory is removed at exit.
inline std::string writeFile(const std::string& name, std::string_view bytes) {
    static const struct Scratch {
        std::string path =
            (std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                       : std::filesystem::temp_directory_path()) /
            "cadentor-fuzz-XXXXXX";
        Scratch() {
            if (!::mkdtemp(path.data()))
                std::abort();
            setProgramDirectory(path);
            setReporter([](const ErrorReport&) {});
        }
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } scratch;
    const std::string path = scratch.path + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

[[noreturn]] inline void broken(const char* invariant) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", invariant);
    std::abort();
}

} // namespace cadentor::fuzz

// Aborts, naming the invariant by its own text, unless it holds.
#define FUZZ_REQUIRE(invariant) ((invariant) ? (void)0 : cadentor::fuzz::broken(#invariant))
