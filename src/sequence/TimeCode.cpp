#include "sequence/TimeCode.h"

#include <cstdio>

namespace cadentor {

std::string formatTimeCode(TimeCode t) {
    const std::uint32_t rest = t % 60000;
    const std::uint32_t minutes = t / 60000;
    char text[64];
    std::snprintf(text, sizeof text, "%u:%u:%.3f", minutes / 60, minutes % 60, rest * 0.001);
    return text;
}

} // namespace cadentor
