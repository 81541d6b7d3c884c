#pragma once
// Sequence time: an unsigned 32-bit count of milliseconds from sequence time 0. All arithmetic
// on it is modulo 2^32.

#include <cstdint>
#include <string>

namespace cadentor {

using TimeCode = std::uint32_t;

// "%d:%d:%.3f" as hours, minutes and seconds: 0:0:0.000, 0:0:59.999, 0:1:0.000, 1:2:5.500.
std::string formatTimeCode(TimeCode t);

} // namespace cadentor
