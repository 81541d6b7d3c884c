// The desktop program as a process: --dir gives the files it opens, and SIGTERM ends it with
// its ports closed.

#include "support/ChildProcess.h"
#include "support/Pty.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cadentor::test {
namespace {

// Seen from the pty that the files in DIR name, which the program holds exclusively once it
// has opened it. The files beside the program open no port, so a program that ignored --dir
// opens nothing. (The platform comes from QT_QPA_PLATFORM, which the tests run with.)
TEST(DesktopCommandLine, DirGivesTheFilesAndSigtermEndsTheProgramWithItsPortsClosed) {
    Pty pty;
    TempDir program, files;
    program.write("Config.ini", "[Common]\nRequire=0\n");
    program.write("Command.def", "A: exec: /bin/true\n");
    files.write("Config.ini", "[Common]\nRequire=1\n[Port0]\nDevice=" + pty.slavePath() + "\n");
    files.write("Command.def", "A: 0: 41\n");
    const std::string binary = program.file("cadentor");
    std::filesystem::copy_file(CADENTOR_APP_BINARY, binary);
    ChildProcess child({binary, "--dir", files.path()});
    const auto heldExclusively = [&] {
        int held = 0;
        return ::ioctl(pty.slaveFd(), TIOCGEXCL, &held) == 0 && held != 0;
    };
    for (int waited = 0; !heldExclusively(); waited += 10, ::usleep(10000))
        ASSERT_LT(waited, 10000) << "the program never opened its port\n" << child.err();
    child.sendSignal(SIGTERM);
    EXPECT_EQ(child.wait(), 1);
    EXPECT_FALSE(heldExclusively());
}

} // namespace
} // namespace cadentor::test
