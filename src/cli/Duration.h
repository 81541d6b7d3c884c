#pragma once
// Durations on the command line: a whole number with a unit, "1500ms", "30s", "5m", "1h", or
// plain "0".

#include <cstdint>
#include <optional>
#include <string_view>

namespace cadentor::cli {

// The duration in milliseconds, at most 24 days; nothing for any other text.
std::optional<std::int64_t> parseDuration(std::string_view text);

} // namespace cadentor::cli
