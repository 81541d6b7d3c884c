#include "app/Application.h"
#include "files/DescriptorLimit.h"
#include "ports/TimerResolution.h"

// The first of the program's static objects, and so destroyed last, after the port set has
// closed its ports.
static cadentor::TimerResolution timerResolution;

int main(int argc, char** argv) {
    cadentor::raiseDescriptorLimit();
    return cadentor::runApplication(argc, argv);
}
