#pragma once
// Reads a command line one argument at a time, for the runner, the virtual port and the
// benches alike: flags ("--loop"), options with a value ("--dir DIR" or "--dir=DIR") and
// operands (an argument that does not start with '-', "-" itself, the empty argument, and
// every argument after "--"). For the current argument the caller asks which of its options
// it is; one that matches none is the caller's to refuse, named by current().

#include <optional>
#include <string>
#include <string_view>

namespace cadentor::cli {

class OptionReader {
public:
    // Over argv[1] .. argv[argc - 1].
    OptionReader(int argc, const char* const* argv) : argc_(argc), argv_(argv) {}

    // Moves to the next argument; false when none is left. A first "--" is passed over and
    // makes every later argument an operand.
    bool next();
    std::string_view current() const { return current_; }
    bool isOperand() const;
    // The current argument is exactly `name`: "--name=VALUE" is not a flag.
    bool isFlag(std::string_view name) const { return !isOperand() && current_ == name; }
    // Nothing unless the current argument is `name` or starts with "name=". Then its value:
    // the text after '=', or the next argument, which is taken (next() passes over it); an
    // empty value when "name" is the last argument.
    std::optional<std::string> value(std::string_view name);

private:
    int argc_;
    const char* const* argv_;
    int index_ = 0;
    std::string_view current_;
    bool optionsEnded_ = false;
};

// `text`, decimal digits and nothing else, as a number from `min` to `max`; nothing for
// anything else.
std::optional<long> parseNumber(std::string_view text, long min, long max);

} // namespace cadentor::cli
