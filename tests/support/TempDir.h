#pragma once
// A fresh directory under $TMPDIR, removed with everything in it when the object goes.
// ScopedProgramDirectory makes it the program directory (where Config.ini and Command.def are
// read) for its lifetime.

#include <string>
#include <string_view>

namespace cadentor::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const;
    // Writes `bytes` exactly (no line-end conversion) to path()/name and returns the full path.
    std::string write(std::string_view name, std::string_view bytes) const;

private:
    std::string path_;
};

class ScopedProgramDirectory {
public:
    explicit ScopedProgramDirectory(const std::string& directory);
    ~ScopedProgramDirectory();
    ScopedProgramDirectory(const ScopedProgramDirectory&) = delete;
    ScopedProgramDirectory& operator=(const ScopedProgramDirectory&) = delete;

private:
    std::string previous_;
};

} // namespace cadentor::test
