#include "VirtualPorts.h"

int main(int argc, char** argv) {
    return cadentor::vport::runVirtualPorts(argc, argv);
}
