#include "app/Application.h"

#include "app/AppMessageLoop.h"
#include "app/MainFrame.h"
#include "app/MessageBoxReporter.h"
#include "ports/PortSet.h"
#include "ports/StopRequest.h"
#include "sequence/SequenceClock.h"

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace cadentor {

namespace {

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

int runApplication() {
    // The command line is ignored: Qt sees the program name alone.
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
