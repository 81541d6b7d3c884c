// The desktop program's command line, as a process: --help and --version answer without a
// display, bad usage is refused before Qt starts, and --dir gives the files the program opens.

#include "support/ChildProcess.h"
#include "messages/Messages.h"
#include "support/Pty.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace cadentor::test {
namespace {

// Starts the program with the given environment variables changed (nullopt: unset); the
// test's own environment is as before once the child is started.
std::unique_ptr<ChildProcess>
start(std::vector<std::string> argv,
      const std::vector<std::pair<const char*, std::optional<std::string>>>& environment) {
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    for (const auto& [name, value] : environment) {
        const char* old = std::getenv(name);
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    auto child = std::make_unique<ChildProcess>(std::move(argv));
    for (const auto& [name, value] : saved)
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    return child;
}

const std::vector<std::pair<const char*, std::optional<std::string>>> noDisplay{
    {"DISPLAY", std::nullopt},
    {"WAYLAND_DISPLAY", std::nullopt},
    {"QT_QPA_PLATFORM", std::nullopt}};

TEST(DesktopCommandLine, AnswersAndRefusesWithoutADisplay) {
    TempDir dir;
    const std::string file = dir.write("plain", "x");
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::string out; // the start of stdout
        std::string err; // the start of stderr
    };
    const Case cases[] = {
        {{"--version"}, 0, loadMessage(MessageId::AppTitle) + "\n", ""},
        {{"--help"}, 0, "usage: cadentor [--dir DIR]\n", ""},
        {{"--dir", dir.path(), "--version"}, 0, loadMessage(MessageId::AppTitle) + "\n", ""},
        {{"--dir"}, 2, "", "cadentor: --dir needs a directory\nusage: cadentor"},
        {{"--dir=/nonexistent/dir"},
         2,
         "",
         "cadentor: --dir /nonexistent/dir: No such file or directory\n"},
        {{"--dir", file}, 2, "", "cadentor: --dir " + file + ": Not a directory\n"},
        {{"show.txt"}, 2, "", "cadentor: unknown argument 'show.txt'\nusage: cadentor"},
        // Options that Qt would take are not ours either: refused before Qt sees them.
        {{"-platform", "offscreen"}, 2, "", "cadentor: unknown argument '-platform'\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{CADENTOR_APP_BINARY};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        auto child = start(argv, noDisplay);
        EXPECT_EQ(child->wait(), c.exitCode) << c.arguments[0] << "\n" << child->err();
        EXPECT_TRUE(child->out().starts_with(c.out)) << child->out();
        EXPECT_TRUE(child->err().starts_with(c.err)) << child->err();
        if (c.exitCode != 0) {
            EXPECT_EQ(child->out(), "");
        }
    }
}

// --dir wins over the program's own directory: seen from the pty that the files in DIR name,
// which the program holds exclusively once it has opened it. (The files beside the program
// open no port, so a program that ignored --dir opens nothing.) SIGTERM closes the window and
// the ports and exits with 1.
TEST(DesktopCommandLine, DirGivesTheFilesAndSigtermEndsTheProgramWithItsPortsClosed) {
    Pty pty;
    TempDir program;
    TempDir files;
    program.write("Config.ini", "[Common]\nRequire=0\n");
    program.write("Command.def", "A: exec: /bin/true\n");
    files.write("Config.ini", "[Common]\nRequire=1\n[Port0]\nDevice=" + pty.slavePath() + "\n");
    files.write("Command.def", "A: 0: 41\n");
    const std::string binary = program.file("cadentor");
    std::filesystem::copy_file(CADENTOR_APP_BINARY, binary);

    auto child = start({binary, "--dir", files.path()}, {{"QT_QPA_PLATFORM", "offscreen"}});
    const auto heldExclusively = [&] {
        int held = 0;
        return ::ioctl(pty.slaveFd(), TIOCGEXCL, &held) == 0 && held != 0;
    };
    for (int waited = 0; !heldExclusively(); waited += 10, ::usleep(10000))
        ASSERT_LT(waited, 10000) << "the program never opened its port\n" << child->err();
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->wait(), 1);
    EXPECT_FALSE(heldExclusively());
}

} // namespace
} // namespace cadentor::test
