#include "sequence/TimeCode.h"

#include <string>

namespace cadentor {

std::string formatTimeCode(TimeCode t) {
    // Digit by digit, from the end: the window formats the time at the screen's rate, and
    // snprintf was most of what that cost.
    char text[24];
    char* const end = text + sizeof text;
    char* at = end;
    const auto put = [&at](TimeCode value, int digits) {
        do {
            *--at = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (--digits > 0 || value > 0);
    };
    put(t % 1000, 3);
    *--at = '.';
    put(t / 1000 % 60, 1);
    *--at = ':';
    put(t / 60000 % 60, 1);
    *--at = ':';
    put(t / 3600000, 1);
    return std::string(at, end);
}

} // namespace cadentor
