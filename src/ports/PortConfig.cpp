#include "ports/PortConfig.h"

#include "files/ProgramDirectory.h"
#include "ports/NetworkDevice.h"
#include "ports/TtyLineSettings.h"

#include <climits>
#include <cstdlib>

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
    const std::string* timeout = profile.find(section, "WriteTimeout");
    if (timeout && classifyProfileInt(*timeout) == NumberText::Clean &&
        parseProfileInt(*timeout) > 0)
        settings.writeTimeoutMs = parseProfileInt(*timeout);
    return settings;
}

namespace {

bool hasLine(const std::string& deviceName) {
    return !isNetworkDevice(deviceName) && devicePath(deviceName) != "/dev/null";
}

const char* const parityWords[] = {"no parity", "odd", "even", "mark", "space"};
const char* const stopBitsWords[] = {"one stop bit", "one and a half stop bits", "two stop bits"};

// The line for `key` in `section` when its value is not a plain number, else empty. `meaning`
// says what the run makes of the value that parseProfileInt reads.
template <typename Meaning>
std::string numberWarning(const ProfileFile& profile, const std::string& section, const char* key,
                          Meaning meaning) {
    const std::string* value = profile.find(section, key);
    if (!value || value->empty())
        return {};
    const char* what = nullptr;
    switch (classifyProfileInt(*value)) {
    case NumberText::Clean:
        return {};
    case NumberText::NoDigits:
        what = "not a number";
        break;
    case NumberText::TrailingText:
        what = "text after the number";
        break;
    case NumberText::OutOfRange:
        what = "a number out of range";
        break;
    }
    return "[" + section + "] " + key + "=" + *value + ": " + what + ", " +
           meaning(parseProfileInt(*value));
}

std::string readAs(const std::string& text) {
    return "read as " + text;
}

} // namespace

bool settingsSupported(const PortSettings& settings, std::string& reason) {
    return !hasLine(settings.device) ||
           lineSettingsSupported(settings.baudRate, settings.stopBits, reason);
}

std::string lineDeviceFile(const std::string& deviceName) {
    if (!hasLine(deviceName))
        return {};
    const std::string path = devicePath(deviceName);
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

std::vector<std::string> configWarnings(const ProfileFile& profile) {
    std::vector<std::string> warnings;
    const auto add = [&](std::string warning) {
        if (!warning.empty())
            warnings.push_back(std::move(warning));
    };
    add(numberWarning(profile, "Common", "Require",
                      [](int n) { return readAs(std::to_string(n)); }));
    const int require = readRequire(profile);
    for (int id = 0; id < require && id < static_cast<int>(MaxPortCount); ++id) {
        const std::string section = "Port" + std::to_string(id);
        add(numberWarning(profile, section, "BaudRate", [](int n) {
            return readAs(std::to_string(static_cast<std::uint32_t>(n)));
        }));
        add(numberWarning(profile, section, "Parity", [](int n) {
            return readAs(std::to_string(n) + " (" +
                          parityWords[static_cast<int>(parityFromSelector(n))] + ")");
        }));
        add(numberWarning(profile, section, "StopBits", [](int n) {
            return readAs(std::to_string(n) + " (" +
                          stopBitsWords[static_cast<int>(stopBitsFromSelector(n))] + ")");
        }));
        add(numberWarning(profile, section, "WriteTimeout", [](int) {
            return "the default " + std::to_string(DefaultWriteTimeoutMs) + " applies";
        }));
    }
    return warnings;
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
