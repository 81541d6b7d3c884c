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
#include <QDialog>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cadentor {

namespace {

constexpr const char* usage =
    "usage: cadentor [--dir DIR] [Qt options]\n"
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
    "Qt's own options (-platform, -style, -geometry, ...) are taken by Qt; any other argument\n"
    "is ignored with a warning.\n"
    "\n"
    "Exit status: 1 after the window was closed or a stop signal, 2 bad usage or no display.\n";

constexpr const char* noDisplay =
    "cadentor: no display found (set DISPLAY or WAYLAND_DISPLAY, or give -platform); to run a "
    "sequence without a window, use cadentor-run\n";

void writeAll(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// --help and --version, before anything touches a display: the exit code, or -1. The word
// after --dir is its directory, never an option.
int printRequested(int argc, char** argv) {
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
        if (arg == "--dir")
            ++i;
    }
    return -1;
}

// What Qt left of the command line: --dir, and a warning for anything else. -1 to go on to the
// window, otherwise the exit code.
int handleCommandLine(int argc, char** argv) {
    std::string directory;
    bool directoryGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--dir" || arg.starts_with("--dir=")) {
            if (arg == "--dir")
                directory = i + 1 < argc ? argv[++i] : "";
            else
                directory = std::string(arg.substr(6));
            if (directory.empty()) {
                writeAll(stderr, "cadentor: --dir needs a directory\n");
                writeAll(stderr, usage);
                return 2;
            }
            directoryGiven = true;
        } else {
            writeAll(stderr, "cadentor: ignoring argument '" + std::string(arg) + "'\n");
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

// Qt's messages while the application starts are held back: when no platform can start, Qt
// explains over several lines and aborts, and the operator gets our one line and status 2
// instead. Otherwise they are handed on once it has started.
QtMessageHandler startingHandler = nullptr;
struct HeldMessage {
    QtMsgType type;
    std::string category;
    QString text;
};
std::vector<HeldMessage> heldMessages;

void handOnHeldMessages() {
    qInstallMessageHandler(startingHandler);
    for (const HeldMessage& held : heldMessages)
        startingHandler(held.type, QMessageLogContext(nullptr, 0, nullptr, held.category.c_str()),
                        held.text);
    heldMessages.clear();
}

void holdWhileStarting(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg && text.contains(QLatin1String("platform plugin"))) {
        writeAll(stderr, noDisplay);
        std::_Exit(2);
    }
    if (type != QtFatalMsg) {
        heldMessages.push_back({type, context.category ? context.category : "", text});
        return;
    }
    handOnHeldMessages();
    startingHandler(type, context, text);
}

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const int saved = errno;
    // A write stuck on a device gives up at once, and later failures are not shown in boxes.
    requestStop();
    const char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// SIGTERM, SIGINT and SIGHUP end the program as the close box does, so that the ports are
// closed (and their exclusive hold given up) as after any normal close.
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

// A stop closes whatever box or dialog is open, at any depth; the code that opened it goes on
// and returns to the loop, which then ends.
void closeModalWidgets() {
    for (int depth = 0; depth < 16; ++depth) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
}

} // namespace

int runApplication(int argc, char** argv) {
    if (const int code = printRequested(argc, argv); code >= 0)
        return code;
    // Caught before anything else: a signal that comes while Qt starts or the ports open waits
    // in the pipe.
    const bool signalsCaught = catchTerminationSignals();
    // The window's class, the same whatever the program file is called: "cadentor", as the
    // desktop entry's StartupWMClass says.
    QCoreApplication::setApplicationName(QStringLiteral("cadentor"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.cadentor.Cadentor"));
    startingHandler = qInstallMessageHandler(holdWhileStarting);
    // Qt takes its own options out of the command line.
    QApplication application(argc, argv);
    handOnHeldMessages();
    if (const int code = handleCommandLine(argc, argv); code >= 0)
        return code;
    // The frame decides when the program ends.
    QApplication::setQuitOnLastWindowClosed(false);
    const Reporter previous = installMessageBoxReporter();

    int code = 1;
    {
        AppMessageLoop loop;
        PortSet ports;
        SequenceClock clock;
        std::unique_ptr<MainFrame> frame;
        // Made before the frame, whose making opens the ports and may show a box: the signal
        // closes it there too.
        std::unique_ptr<QSocketNotifier> signalNotifier;
        if (signalsCaught) {
            signalNotifier =
                std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
            QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &loop, [&frame] {
                char bytes[16];
                while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
                }
                closeModalWidgets();
                if (frame)
                    frame->close();
            });
        }
        frame = std::make_unique<MainFrame>(ViewServices{ports, clock, &loop});
        // Stopped while the frame was being made: it is never shown.
        if (!stopRequested()) {
            frame->show();
            code = loop.run();
        }
        signalNotifier.reset();
        frame.reset();
    }
    setReporter(previous);
    return code;
}

} // namespace cadentor
