#include "cli/Duration.h"

#include <utility>

namespace cadentor::cli {

std::optional<std::int64_t> parseDuration(std::string_view text) {
    constexpr std::int64_t mostMs = 366LL * 24 * 3600 * 1000;
    std::size_t digits = 0;
    std::int64_t number = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        number = number * 10 + (text[digits] - '0');
        if (number > mostMs)
            return std::nullopt;
    }
    const std::string_view unit = text.substr(digits);
    if (digits == 0)
        return std::nullopt;
    if (unit.empty())
        return number == 0 ? std::optional<std::int64_t>(0) : std::nullopt;
    for (const auto& [name, ms] : {std::pair<std::string_view, std::int64_t>{"ms", 1},
                                   {"s", 1000},
                                   {"m", 60 * 1000},
                                   {"h", 3600 * 1000}})
        if (unit == name)
            return number * ms <= mostMs ? std::optional<std::int64_t>(number * ms) : std::nullopt;
    return std::nullopt;
}

} // namespace cadentor::cli
