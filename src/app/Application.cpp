#include "app/Application.h"

#include "app/AppMessageLoop.h"
#include "app/MainFrame.h"
#include "app/MessageBoxReporter.h"
#include "files/ProgramDirectory.h"
#include "messages/Messages.h"
#include "ports/PortSet.h"
#include "ports/StopRequest.h"
#include "sequence/SequenceClock.h"

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace cadentor {

namespace {

constexpr const char* usage =
    "usage: cadentor [--dir DIR]\n"
    "       cadentor --help | --version\n"
    "\n"
    "The desktop program: runs event sequences against the commands of Command.def and the\n"
    "ports of Config.ini, automatically or stepped by hand.\n"
    "\n"
    "  --dir DIR   read Config.ini and Command.def in DIR (default: the program's own\n"
    "              directory when it holds either file, otherwise\n"
    "              $XDG_CONFIG_HOME/cadentor, normally ~/.config/cadentor)\n"
    "  --help      print this text\n"
    "  --version   print the program's name and version\n"
    "\n"
    "Exit status: 1 after the window was closed, 2 bad usage.\n";

void writeAll(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

int usageError(const std::string& text) {
    writeAll(stderr, "cadentor: " + text + "\n");
    writeAll(stderr, usage);
    return 2;
}

// -1 to go on to the window, otherwise the exit code.
int handleCommandLine(int argc, char** argv) {
    std::string directory;
    bool directoryGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help") {
            writeAll(stdout, usage);
            return 0;
        }
        if (arg == "--version") {
            writeAll(stdout, loadMessage(MessageId::AppTitle) + "\n");
            return 0;
        }
        if (arg == "--dir" || arg.starts_with("--dir=")) {
            if (arg == "--dir")
                directory = i + 1 < argc ? argv[++i] : "";
            else
                directory = std::string(arg.substr(6));
            if (directory.empty())
                return usageError("--dir needs a directory");
            directoryGiven = true;
        } else {
            return usageError("unknown argument '" + std::string(arg) + "'");
        }
    }
    if (directoryGiven) {
        struct stat info {};
        const int error = ::stat(directory.c_str(), &info) != 0 ? errno
                          : !S_ISDIR(info.st_mode)              ? ENOTDIR
                                                                : 0;
        if (error != 0) {
            writeAll(stderr, "cadentor: --dir " + directory + ": " + std::strerror(error) + "\n");
            return 2;
        }
        setProgramDirectory(directory);
    }
    return -1;
}

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const int saved = errno;
    // A write stuck on a device gives up at once.
    requestStop();
    const char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// SIGTERM, SIGINT and SIGHUP close the window like its close box, so that the ports are closed
// (and their exclusive hold given up) as after any normal close.
bool catchTerminationSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    return true;
}

} // namespace

int runApplication(int argc, char** argv) {
    if (const int code = handleCommandLine(argc, argv); code >= 0)
        return code;
    // Qt sees the program name alone.
    static char programName[] = "cadentor";
    static char* arguments[] = {programName, nullptr};
    int argumentCount = 1;
    QApplication application(argumentCount, arguments);
    // The frame decides when the program ends.
    QApplication::setQuitOnLastWindowClosed(false);
    const Reporter previous = installMessageBoxReporter();

    int code = 0;
    {
        AppMessageLoop loop;
        // Caught before the frame opens the ports: a signal that comes while they are being
        // opened waits in the pipe and closes the window as soon as the loop runs.
        const bool signalsCaught = catchTerminationSignals();
        PortSet ports;
        SequenceClock clock;
        MainFrame frame({ports, clock, &loop});
        std::unique_ptr<QSocketNotifier> signalNotifier;
        if (signalsCaught) {
            signalNotifier =
                std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
            QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &frame, [&frame] {
                char bytes[16];
                while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
                }
                frame.close();
            });
        }
        frame.show();
        code = loop.run();
    }
    setReporter(previous);
    return code;
}

} // namespace cadentor
