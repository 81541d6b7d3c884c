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
    settings.parity = parityCodeFromSelector(profile.readInt(section, "Parity", 0));
    settings.stopBits = stopBitCodeFromSelector(profile.readInt(section, "StopBits", 0));
    const int writeTimeoutMs = profile.readInt(section, "WriteTimeout", DefaultWriteTimeoutMs);
    settings.writeTimeoutMs = writeTimeoutMs > 0 ? writeTimeoutMs : DefaultWriteTimeoutMs;
    return settings;
}

std::uint8_t parityCodeFromSelector(int selector) {
    switch (selector) {
    case 1:
        return 2; // even
    case 2:
        return 3; // mark
    case 3:
        return 1; // odd
    case 4:
        return 4; // space
    default:
        return 0; // none
    }
}

std::uint8_t stopBitCodeFromSelector(int selector) {
    return selector >= 0 && selector <= 2 ? static_cast<std::uint8_t>(selector) : 0;
}

} // namespace cadentor
