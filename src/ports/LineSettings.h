#pragma once
// The parity and the stop bits of a serial line. Config.ini writes them as selectors
// (PortConfig.h), termios as flags (TtyLineSettings.h), the port box as words (app/PortText.h);
// each of those has one mapping from these values.

#include <cstdint>

namespace cadentor {

enum class Parity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : std::uint8_t { One, OneAndAHalf, Two };

} // namespace cadentor
