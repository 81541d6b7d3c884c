#include "cli/Duration.h"

#include "cli/OptionReader.h"

#include <array>
#include <utility>

namespace cadentor::cli {

std::optional<std::int64_t> parseDuration(std::string_view text) {
    if (text == "0")
        return 0;
    constexpr std::int64_t largest = 24LL * 24 * 3600 * 1000; // fits a sequence time code
    constexpr std::array<std::pair<std::string_view, std::int64_t>, 4> units{
        {{"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", 3600000}}};
    for (const auto& [unit, scale] : units) {
        if (text.size() <= unit.size() || text.substr(text.size() - unit.size()) != unit)
            continue;
        const std::string_view digits = text.substr(0, text.size() - unit.size());
        if (digits.back() < '0' || digits.back() > '9') // "5ms" is not minutes of "5m" + "s"
            continue;
        if (const std::optional<long> n = parseNumber(digits, 0, largest / scale))
            return *n * scale;
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace cadentor::cli
