#include "sequence/TimeCode.h"

#include <cstdio>

namespace cadentor {

std::string formatTimeCode(TimeCode t) {
    // In whole numbers: the window formats the time at the screen's rate, and formatting the
    // seconds as a floating-point number took twice as long and far more code.
    char text[32];
    std::snprintf(text, sizeof text, "%u:%u:%u.%03u", t / 3600000, t / 60000 % 60, t / 1000 % 60,
                  t % 1000);
    return text;
}

} // namespace cadentor
