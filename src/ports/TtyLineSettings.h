#pragma once
// The termios part of the system device layer, kept in its own unit because the kernel's
// termios2 definitions cannot share a translation unit with <termios.h>.
//
// applyLineSettings changes on an open tty exactly these: the speed (a B constant where one
// exists, otherwise an arbitrary rate through termios2 with BOTHER), parity (PARENB, PARODD,
// CMSPAR for mark and space), parity checking (INPCK on for any parity), stop bits (CSTOPB),
// 8 data bits, and output post-processing off (OPOST), so that every byte leaves unchanged.
// Everything else stays as read. It then reads the settings back and refuses what the device
// did not keep. A pseudo-terminal forces CS8 and drops PARENB, so those two are not compared.

#include "ports/LineSettings.h"

#include <cstdint>
#include <string>

namespace cadentor {

// False with `reason` for settings that no serial line takes: speed 0 or above 2^31 - 1
// ("speed 0 not supported"), 1.5 stop bits, which do not exist with 8 data bits. Asks no device,
// so that a check of the files refuses what applyLineSettings would.
bool lineSettingsSupported(std::uint32_t baudRate, StopBits stopBits, std::string& reason);

// True when the device took the settings. False with `reason` (no device path) when
// lineSettingsSupported refuses them, when the device failed (the system's error text), or
// when it did not keep them (for example "speed 12345 not taken").
bool applyLineSettings(int fd, std::uint32_t baudRate, Parity parity, StopBits stopBits,
                       std::string& reason);

} // namespace cadentor
