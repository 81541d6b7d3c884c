#include "app/Application.h"

#include "app/AppMessageLoop.h"
#include "app/MainFrame.h"
#include "app/MessageBoxReporter.h"

#include <QApplication>

namespace cadentor {

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
        MainFrame frame;
        frame.show();
        code = loop.run();
    }
    setReporter(previous);
    return code;
}

} // namespace cadentor
