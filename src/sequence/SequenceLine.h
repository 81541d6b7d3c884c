#pragma once
// One line of a sequence file: a time and a command name, separated by blanks.
//
//   fullTime  = uint ":" uint ":" ureal        (hours, minutes, seconds)
//   shortTime = uint ":" ureal                 (minutes, seconds)
//   line      = (fullTime | shortTime) blank+ name      name = one or more non-blanks
//
// The whole line must match; nothing is skipped. The time code is
// ((hours * 60 + minutes) * 60 + seconds) * 1000 in double precision, truncated toward zero to
// 64 bits, of which the low 32 bits are kept (so it wraps past 4294967295 ms). Beyond 2^64 ms
// the low 32 bits of the whole truncated value are kept just the same; seconds too large for a
// double (1e400) give 0.

#include "sequence/TimeCode.h"

#include <string>
#include <string_view>

namespace cadentor {

// True when the whole line matches; `timeCode` and `name` are then set. Shows no message.
bool parseSequenceLine(std::string_view line, TimeCode& timeCode, std::string& name);

} // namespace cadentor
