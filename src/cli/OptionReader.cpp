#include "cli/OptionReader.h"

#include <cerrno>
#include <cstdlib>

namespace cadentor::cli {

bool OptionReader::next() {
    if (++index_ >= argc_)
        return false;
    current_ = argv_[index_];
    if (!optionsEnded_ && current_ == "--") {
        optionsEnded_ = true;
        return next();
    }
    return true;
}

bool OptionReader::isOperand() const {
    return optionsEnded_ || current_.empty() || current_[0] != '-' || current_ == "-";
}

std::optional<std::string> OptionReader::value(std::string_view name) {
    if (isOperand() || !current_.starts_with(name))
        return std::nullopt;
    if (current_.size() == name.size()) {
        if (index_ + 1 >= argc_)
            return std::string();
        current_ = argv_[++index_];
        return std::string(current_);
    }
    if (current_[name.size()] != '=')
        return std::nullopt;
    return std::string(current_.substr(name.size() + 1));
}

std::optional<long> parseNumber(std::string_view text, long min, long max) {
    const std::string digits(text);
    if (digits.empty() || digits[0] < '0' || digits[0] > '9')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(digits.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || n < min || n > max)
        return std::nullopt;
    return n;
}

} // namespace cadentor::cli
