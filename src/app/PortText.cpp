#include "app/PortText.h"

#include "ports/PortSet.h"

namespace cadentor {

std::string portInformationText(const PortSet& ports) {
    static const char* const parityWords[] = {"NoParity", "Odd", "Even", "Mark", "Space"};
    static const char* const stopBitsWords[] = {"1bit", "1.5bits", "2bits"};
    std::string text;
    for (PortId id = 0; id < ports.count(); ++id) {
        const std::string* name = ports.deviceName(id);
        const std::uint8_t parity = ports.parity(id), stopBits = ports.stopBits(id);
        text += (name ? *name : std::string()) + " : " +
                std::to_string(static_cast<int>(ports.baudRate(id))) + " bps / " +
                (parity < 5 ? parityWords[parity] : "") + " / " +
                (stopBits < 3 ? stopBitsWords[stopBits] : "") + "\r\n";
    }
    return text;
}

} // namespace cadentor
