#include "files/ProgramDirectory.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace cadentor;

TEST(ProgramDirectory, AnOverrideElseTheExecutableDirectoryWithAFileElseTheUsersConfigDirectory) {
    // A file (or a directory named Config.ini) beside the program, XDG_CONFIG_HOME, HOME
    // (nullptr: unset), and the answer ({e}: the executable's directory).
    const char* const cases[][4] = {
        {"Command.def", "/xdg", "/home/u", "{e}"},
        {"Config.ini/", "/xdg", "/home/u", "{e}"},
        {"show.txt", "/xdg//", "/home/u", "/xdg/cadentor"},
        {nullptr, "relative/xdg", "/home/u/", "/home/u/.config/cadentor"},
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
            << (beside ? beside : "-") << " " << (xdg ? xdg : "-");
    }
    EXPECT_EQ(setProgramDirectory("/some/dir//"), "");
    EXPECT_EQ(joinPath(programDirectory(), "Config.ini"), "/some/dir/Config.ini");
    EXPECT_EQ(setProgramDirectory(""), "/some/dir");
    EXPECT_EQ(joinPath("/", "Command.def"), "/Command.def");
    EXPECT_EQ(joinPath("", "Command.def"), "Command.def");
}
