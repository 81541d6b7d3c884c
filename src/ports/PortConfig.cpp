#include "ports/PortConfig.h"

#include "files/ProgramDirectory.h"

namespace cadentor {

std::string configFilePath() {
    return joinPath(programDirectory(), "Config.ini");
}

int readRequire(const ProfileFile& profile) {
    return profile.readInt("Common", "Require", 1);
}

PortSettings readPortSettings(const ProfileFile& profile, unsigned portId) {
    const std::string section = "Port" + std::to_string(portId);
    PortSettings settings;
    settings.device = profile.readString(section, "Device", "COM" + std::to_string(portId + 1ull));
    if (settings.device.size() > MaxDeviceNameBytes)
        settings.device.resize(MaxDeviceNameBytes);
    settings.baudRate = static_cast<std::uint32_t>(profile.readInt(section, "BaudRate", 9600));
    settings.parity = parityFromSelector(profile.readInt(section, "Parity", 0));
    settings.stopBits = stopBitsFromSelector(profile.readInt(section, "StopBits", 0));
    const int writeTimeoutMs = profile.readInt(section, "WriteTimeout", DefaultWriteTimeoutMs);
    settings.writeTimeoutMs = writeTimeoutMs > 0 ? writeTimeoutMs : DefaultWriteTimeoutMs;
    return settings;
}

Parity parityFromSelector(int selector) {
    switch (selector) {
    case 1:
        return Parity::Even;
    case 2:
        return Parity::Mark;
    case 3:
        return Parity::Odd;
    case 4:
        return Parity::Space;
    default:
        return Parity::None;
    }
}

StopBits stopBitsFromSelector(int selector) {
    switch (selector) {
    case 1:
        return StopBits::OneAndAHalf;
    case 2:
        return StopBits::Two;
    default:
        return StopBits::One;
    }
}

} // namespace cadentor
