#pragma once
// What Config.ini says about the ports: how many to open (`Require` in section Common) and,
// for port id N, the section PortN with Device, BaudRate, Parity, StopBits and WriteTimeout.
//
// Missing keys take their defaults: Require 1, Device "COM<N+1>", BaudRate 9600, no parity, one
// stop bit, WriteTimeout 3000 (the milliseconds a write may wait for a device that takes no
// data; a value that is not a positive number of milliseconds, "3 s" among them, is the default
// too). The numbers are read by parseProfileInt (ProfileFile.h). The file's
// Parity selector: 1 is even, 2 mark, 3 odd, 4 space, anything else none. The StopBits
// selector: 0 one, 1 one and a half, 2 two; anything else is one stop bit. Out-of-range selectors
// are no error.

#include "ports/PortId.h"
#include "ports/ProfileFile.h"
#include "ports/SerialDevice.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cadentor {

struct PortSettings {
    std::string device;
    std::uint32_t baudRate = 9600;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    int writeTimeoutMs = DefaultWriteTimeoutMs;
};

// The most ports a set can hold: port ids lie below ExecPortId (1023), since 1023 and 1024
// name the exec and open actions. A larger Require is reported like a negative one.
inline constexpr std::uint32_t MaxPortCount = ExecPortId;

// A longer Device value is cut to its first this many bytes.
inline constexpr std::size_t MaxDeviceNameBytes = 259;

// programDirectory()/Config.ini.
std::string configFilePath();

// `Require` as written, negative values included; 1 when absent.
int readRequire(const ProfileFile& profile);

// The settings of section Port<portId>.
PortSettings readPortSettings(const ProfileFile& profile, unsigned portId);

// True when a run can apply `settings` to their device: false with `reason` for line settings
// that no serial line takes (TtyLineSettings.h) on a device that has a line, that is any but a
// network device and the null device.
bool settingsSupported(const PortSettings& settings, std::string& reason);

// The file that a device with a line names, its links resolved where it exists ("COM1" and
// "/dev/serial/by-id/x" may be one /dev/ttyS0), for telling two ports of one device apart from
// two ports of two; empty for a network device and the null device, which two ports may share.
std::string lineDeviceFile(const std::string& deviceName);

// What `profile` says that a run reads otherwise than it seems: a value of Require or of the
// sections of the required ports that is not a plain number (a word such as "even", a number
// with text after it such as "3 s", a number that wraps), one line each in the form
// "[Port0] Parity=even: not a number, read as 0 (no parity)".
std::vector<std::string> configWarnings(const ProfileFile& profile);

Parity parityFromSelector(int selector);
StopBits stopBitsFromSelector(int selector);

} // namespace cadentor
