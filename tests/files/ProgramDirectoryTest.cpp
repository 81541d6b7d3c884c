// Which directory Config.ini and Command.def are read from: an override, the executable's own
// directory when it holds one of the files, else the user's configuration directory.

#include "files/ProgramDirectory.h"

#include "support/TempDir.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace cadentor {
namespace {

// Sets (or unsets, for nullopt) an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(DefaultProgramDirectory, ExecutableDirectoryWithAFileElseTheUsersConfigDirectory) {
    struct Case {
        const char* fileBesideTheProgram; // nullptr: none
        const char* xdgConfigHome;        // nullptr: unset
        const char* home;
        const char* expected; // {e}: the executable's directory
    };
    const Case cases[] = {
        {"Config.ini", "/xdg", "/home/u", "{e}"},
        {"Command.def", "/xdg", "/home/u", "{e}"},
        {"show.txt", "/xdg", "/home/u", "/xdg/cadentor"},
        {nullptr, "/xdg//", "/home/u", "/xdg/cadentor"},
        {nullptr, nullptr, "/home/u/", "/home/u/.config/cadentor"},
        {nullptr, "", "/home/u", "/home/u/.config/cadentor"},
        {nullptr, "relative/xdg", "/home/u", "/home/u/.config/cadentor"},
        {nullptr, nullptr, nullptr, "."},
        {nullptr, nullptr, "relative", "."},
    };
    for (const Case& c : cases) {
        test::TempDir executable;
        if (c.fileBesideTheProgram)
            executable.write(c.fileBesideTheProgram, "x");
        const std::string expected =
            std::string_view(c.expected) == "{e}" ? executable.path() : c.expected;
        EXPECT_EQ(defaultProgramDirectory(executable.path(), c.xdgConfigHome, c.home), expected)
            << (c.fileBesideTheProgram ? c.fileBesideTheProgram : "no file") << ", XDG_CONFIG_HOME "
            << (c.xdgConfigHome ? c.xdgConfigHome : "unset") << ", HOME "
            << (c.home ? c.home : "unset");
    }
}

TEST(DefaultProgramDirectory, DirectoryNamedConfigIniCountsAsPresent) {
    // Reading it fails later with a reason naming the file; a silent switch elsewhere would not.
    test::TempDir executable;
    test::TempDir config;
    ASSERT_EQ(::mkdir(executable.file("Config.ini").c_str(), 0700), 0);
    EXPECT_EQ(defaultProgramDirectory(executable.path(), config.path().c_str(), "/home/u"),
              executable.path());
}

TEST(ProgramDirectory, OverrideFirstThenTheEnvironmentOfTheRunningProgram) {
    // The test program's own directory holds neither file.
    const std::string own = executableDirectory();
    ASSERT_NE(::access(joinPath(own, "Config.ini").c_str(), F_OK), 0);
    ASSERT_NE(::access(joinPath(own, "Command.def").c_str(), F_OK), 0);
    test::TempDir config;
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", config.path());
        EXPECT_EQ(programDirectory(), config.file("cadentor"));
        EXPECT_EQ(setProgramDirectory("/some/dir/"), "");
        EXPECT_EQ(programDirectory(), "/some/dir");
        EXPECT_EQ(setProgramDirectory(""), "/some/dir");
        EXPECT_EQ(programDirectory(), config.file("cadentor"));
        // Chosen at every call: with neither variable, the working directory.
        ScopedEnv home("HOME", std::nullopt);
        ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
        EXPECT_EQ(programDirectory(), ".");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
        ScopedEnv home("HOME", config.path());
        EXPECT_EQ(programDirectory(), config.file(".config/cadentor"));
    }
}

TEST(ProgramDirectory, ExecutableDirectoryIsWhereTheProgramLies) {
    char buffer[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", buffer, sizeof buffer - 1), 0);
    const std::string exe(buffer);
    EXPECT_EQ(executableDirectory(), exe.substr(0, exe.rfind('/')));
    EXPECT_TRUE(examplesDirectory().starts_with("/")) << examplesDirectory();
    EXPECT_TRUE(examplesDirectory().ends_with("/doc/cadentor/examples")) << examplesDirectory();
}

TEST(JoinPath, NeverDoublesASlash) {
    EXPECT_EQ(joinPath("/some/dir", "Config.ini"), "/some/dir/Config.ini");
    EXPECT_EQ(joinPath("/some/dir/", "Config.ini"), "/some/dir/Config.ini");
    EXPECT_EQ(joinPath("/", "Command.def"), "/Command.def");
    EXPECT_EQ(joinPath("", "Command.def"), "Command.def");
}

} // namespace
} // namespace cadentor
