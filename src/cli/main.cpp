#include "cli/Runner.h"
#include "cli/ShowOutput.h"
#include "files/DescriptorLimit.h"
#include "ports/TimerResolution.h"

int main(int argc, char** argv) {
    cadentor::raiseDescriptorLimit();
    // The finest timer slack for the whole run, before the clock is first read.
    cadentor::TimerResolution timerResolution;
    const int code = cadentor::cli::runCommandLine(argc, argv);
    cadentor::cli::finishOutput(); // the ports are closed by now
    return code;
}
