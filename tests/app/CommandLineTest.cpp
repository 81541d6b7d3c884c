// The desktop program as a process: --dir gives the files it opens, Qt takes its own options,
// SIGTERM ends it with its ports closed, even in the box of a port that did not open, and
// without a display it says so.

#include "support/ChildProcess.h"
#include "support/Pty.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace cadentor::test {
namespace {

// `command` (the program, after any settings such as "DISPLAY=:9") with no display in its
// environment.
ChildProcess startWithoutDisplay(std::vector<std::string> command) {
    command.insert(command.begin(), {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u",
                                     "QT_QPA_PLATFORM"});
    return ChildProcess(command);
}

// Seen from the pty that the files in DIR name, which the program holds exclusively once it
// has opened it. The files beside the program open no port, so a program that ignored --dir
// opens nothing. SIGTERM ends it with its port closed in its window, and in the box at start-up
// of a second port that did not open.
TEST(DesktopCommandLine,
     DirGivesTheFilesQtTakesItsOptionsAndSigtermEndsTheProgramWithItsPortsClosed) {
    Pty pty;
    TempDir program, files;
    program.write("Config.ini", "[Common]\nRequire=0\n");
    const std::string binary = program.file("cadentor");
    std::filesystem::copy_file(CADENTOR_APP_BINARY, binary);
    files.write("Command.def", "A: 0: 41\n");
    const std::string port0 = "[Port0]\nDevice=" + pty.slavePath() + "\n";
    for (const bool box : {false, true}) {
        SCOPED_TRACE(box ? "in the start-up box" : "in the window");
        files.write("Config.ini",
                    box ? "[Common]\nRequire=2\n" + port0 + "[Port1]\nDevice=/nonexistent/tty\n"
                        : "[Common]\nRequire=1\n" + port0);
        ChildProcess child =
            startWithoutDisplay({binary, "-platform", "offscreen", "--bogus", "-style", "fusion",
                                 "--dir", files.path(), "-qwindowgeometry", "+10+10"});
        for (int waited = 0; pty.exclusive() != 1; waited += 10, ::usleep(10000))
            ASSERT_LT(waited, 10000) << "the program never opened its port\n" << child.err();
        ::usleep(300000); // the window or the box opens
        child.sendSignal(SIGTERM);
        ASSERT_EQ(child.wait(), 1);
        EXPECT_EQ(pty.exclusive(), 0);
        EXPECT_NE(child.err().find("cadentor: ignoring argument '--bogus'\n"), std::string::npos);
        for (const char* taken : {"'-platform'", "'offscreen'", "'-style'", "'fusion'", "'+10+10'"})
            EXPECT_EQ(child.err().find(taken), std::string::npos) << taken;
    }
}

TEST(DesktopCommandLine, WithoutADisplayOneLineSaysSoAndTheStatusIsTwo) {
    for (const std::string display : {"", "DISPLAY=:987"}) { // unset, naming no server
        ChildProcess child =
            startWithoutDisplay({display.empty() ? "-uDISPLAY" : display, CADENTOR_APP_BINARY});
        EXPECT_EQ(child.wait(), 2) << display;
        EXPECT_EQ(child.err(), "cadentor: no display found (set DISPLAY or WAYLAND_DISPLAY, or "
                               "give -platform); to run a sequence without a window, use "
                               "cadentor-run\n");
    }
}

} // namespace
} // namespace cadentor::test
