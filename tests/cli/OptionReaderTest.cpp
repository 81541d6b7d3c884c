// The option reader that the runner, the virtual port and the benches share.

#include "cli/OptionReader.h"

#include <gtest/gtest.h>
#include <vector>

namespace cadentor::cli {
namespace {

// How a reader that knows the flag --loop and the option --dir sees `args`: one word per
// argument, each after a blank: "loop", "dir=VALUE", "operand=TEXT" or "unknown=TEXT".
std::string readAll(std::vector<const char*> args) {
    args.insert(args.begin(), "program");
    OptionReader reader(static_cast<int>(args.size()), args.data());
    std::string seen;
    for (std::optional<std::string> dir; reader.next();)
        seen += reader.isOperand()              ? " operand=" + std::string(reader.current())
                : reader.isFlag("--loop")       ? " loop"
                : (dir = reader.value("--dir")) ? " dir=" + *dir
                                                : " unknown=" + std::string(reader.current());
    return seen;
}

TEST(OptionReader, TellsFlagsValuesAndOperandsApart) {
    const std::pair<std::vector<const char*>, const char*> cases[] = {
        {{}, ""},
        {{"--dir", "d", "--loop", "s.txt"}, " dir=d loop operand=s.txt"},
        {{"--dir=d=e", "--dir=", "--dir"}, " dir=d=e dir= dir="},
        // The value after "--dir" is taken whatever it looks like.
        {{"--dir", "--loop", "-"}, " dir=--loop operand=-"},
        {{"--dirt", "--loop=yes", "--loopy", "-x"},
         " unknown=--dirt unknown=--loop=yes unknown=--loopy unknown=-x"},
        {{"", "--", "--loop", "--"}, " operand= operand=--loop operand=--"},
    };
    for (const auto& [args, seen] : cases)
        EXPECT_EQ(readAll(args), seen);
}

TEST(OptionReader, ReadsNumbersWithinTheirRangeOnly) {
    EXPECT_EQ(parseNumber("1", 1, 256), 1);
    EXPECT_EQ(parseNumber("256", 1, 256), 256);
    for (const char* bad :
         {"", "0", "257", "-1", "+5", " 5", "5 ", "5x", "0x10", "99999999999999999999"})
        EXPECT_EQ(parseNumber(bad, 1, 256), std::nullopt) << bad;
}

} // namespace
} // namespace cadentor::cli
