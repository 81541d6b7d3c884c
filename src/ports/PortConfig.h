#pragma once
// What Config.ini says about the ports: how many to open (`Require` in section Common) and,
// for port id N, the section PortN with Device, BaudRate, Parity, StopBits and WriteTimeout.
//
// Missing keys take their defaults: Require 1, Device "COM<N+1>", BaudRate 9600, no parity, one
// stop bit, WriteTimeout 3000 (the milliseconds a write may wait for a device that takes no
// data; a value that is not a positive number of milliseconds is the default too). The file's
// Parity selector: 1 is even, 2 mark, 3 odd, 4 space, anything else none. The StopBits
// selector: 0 one, 1 one and a half, 2 two; anything else is one stop bit. Out-of-range selectors
// are no error.

#include "ports/PortId.h"
#include "ports/ProfileFile.h"
#include "ports/SerialDevice.h"

#include <cstddef>
#include <cstdint>
#include <string>

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

Parity parityFromSelector(int selector);
StopBits stopBitsFromSelector(int selector);

} // namespace cadentor
