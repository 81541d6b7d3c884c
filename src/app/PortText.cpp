#include "app/PortText.h"

#include "ports/PortSet.h"

namespace cadentor {

namespace {

const char* word(Parity parity) {
    switch (parity) {
    case Parity::None:
        break;
    case Parity::Odd:
        return "Odd";
    case Parity::Even:
        return "Even";
    case Parity::Mark:
        return "Mark";
    case Parity::Space:
        return "Space";
    }
    return "NoParity";
}

const char* word(StopBits stopBits) {
    switch (stopBits) {
    case StopBits::One:
        break;
    case StopBits::OneAndAHalf:
        return "1.5bits";
    case StopBits::Two:
        return "2bits";
    }
    return "1bit";
}

} // namespace

std::string portInformationText(const PortSet& ports) {
    std::string text;
    for (PortId id = 0; id < ports.count(); ++id) {
        const SerialPort& port = *ports.port(id);
        text += port.deviceName() + " : " + std::to_string(port.baudRate()) + " bps / " +
                word(port.parity()) + " / " + word(port.stopBits()) + "\r\n";
    }
    return text;
}

} // namespace cadentor
