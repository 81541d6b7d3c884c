#include "cli/Runner.h"
#include "ports/TimerResolution.h"

int main(int argc, char** argv) {
    // The finest timer slack for the whole run, before the clock is first read.
    cadentor::TimerResolution timerResolution;
    return cadentor::cli::runCommandLine(argc, argv);
}
