#pragma once
// Durations on the command line, such as the time --wait-for-devices waits: a whole number
// followed by its unit, ms, s, m or h ("1500ms", "30s", "5m", "1h"), or a plain 0.

#include <cstdint>
#include <optional>
#include <string_view>

namespace cadentor::cli {

// The milliseconds `text` stands for; nothing for anything else: no digits, no unit (but for
// 0), another unit, a sign, blanks, a fraction, or more than a year.
std::optional<std::int64_t> parseDuration(std::string_view text);

} // namespace cadentor::cli
