// Which directory Config.ini and Command.def are read from: an override, the executable's own
// directory when it holds one of the files, else the user's configuration directory.

#include "files/ProgramDirectory.h"

#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace cadentor {
namespace {

TEST(ProgramDirectory, ExecutableDirectoryWithAFileElseTheUsersConfigDirectory) {
    // A file (or a directory named Config.ini) beside the program, XDG_CONFIG_HOME, HOME
    // (nullptr: unset), and the answer ({e}: the executable's directory).
    const char* const cases[][4] = {
        {"Config.ini", "/xdg", "/home/u", "{e}"},
        {"Command.def", "/xdg", "/home/u", "{e}"},
        {"Config.ini/", "/xdg", "/home/u", "{e}"},
        {"show.txt", "/xdg//", "/home/u", "/xdg/cadentor"},
        {nullptr, nullptr, "/home/u/", "/home/u/.config/cadentor"},
        {nullptr, "relative/xdg", "/home/u", "/home/u/.config/cadentor"},
        {nullptr, nullptr, "relative", "."},
    };
    for (const auto& [beside, xdg, home, expected] : cases) {
        test::TempDir executable;
        if (beside && std::string_view(beside).ends_with('/'))
            ::mkdir(executable.file("Config.ini").c_str(), 0700);
        else if (beside)
            executable.write(beside, "x");
        EXPECT_EQ(defaultProgramDirectory(executable.path(), xdg, home),
                  *expected == '{' ? executable.path() : expected)
            << (beside ? beside : "-") << " " << (xdg ? xdg : "-") << " " << (home ? home : "-");
    }
}

TEST(ProgramDirectory, AnOverrideWinsAndNamesAreJoinedWithOneSlash) {
    const std::string exe = executableDirectory(); // holds neither file
    test::TempDir config;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    EXPECT_EQ(programDirectory(), config.file("cadentor"));
    EXPECT_EQ(setProgramDirectory("/some/dir//"), "");
    EXPECT_EQ(joinPath(programDirectory(), "Config.ini"), "/some/dir/Config.ini");
    EXPECT_EQ(setProgramDirectory(""), "/some/dir");
    EXPECT_EQ(programDirectory(), config.file("cadentor"));
    old ? ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(joinPath("/", "Command.def"), "/Command.def");
    EXPECT_EQ(joinPath("", "Command.def"), "Command.def");
    EXPECT_EQ(exe, std::string(std::filesystem::read_symlink("/proc/self/exe").parent_path()));
}

} // namespace
} // namespace cadentor
