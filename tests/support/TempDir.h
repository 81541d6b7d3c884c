#pragma once
// A fresh directory under $TMPDIR, removed with everything in it when the object goes.
// ScopedProgramDirectory makes it the program directory (where Config.ini and Command.def are
// read) for its lifetime.

#include "files/ProgramDirectory.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace cadentor::test {

class TempDir {
public:
    TempDir() {
        path_ = std::filesystem::temp_directory_path() / "cadentor-test-XXXXXX"; // TMPDIR or /tmp
        if (!::mkdtemp(path_.data()))
            throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
    // Writes `bytes` exactly (no line-end conversion) to path()/name and returns the full path.
    std::string write(std::string_view name, std::string_view bytes) const {
        std::ofstream(file(name), std::ios::binary | std::ios::trunc)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return file(name);
    }

private:
    std::string path_;
};

class ScopedProgramDirectory {
public:
    explicit ScopedProgramDirectory(const std::string& directory)
        : previous_(setProgramDirectory(directory)) {}
    ~ScopedProgramDirectory() { setProgramDirectory(previous_); }
    ScopedProgramDirectory(const ScopedProgramDirectory&) = delete;
    ScopedProgramDirectory& operator=(const ScopedProgramDirectory&) = delete;

private:
    std::string previous_;
};

} // namespace cadentor::test
