#include "ports/TimerResolution.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

namespace cadentor {
namespace {

long slack() {
    return ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
}

TEST(TimerResolution, HoldsTheFinestSlackWhileItLivesAndRestoresTheOldOne) {
    const long original = slack();
    ASSERT_EQ(::prctl(PR_SET_TIMERSLACK, 12345ul, 0, 0, 0), 0);
    {
        TimerResolution resolution;
        EXPECT_EQ(slack(), 1);
    }
    EXPECT_EQ(slack(), 12345);
    ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(original), 0, 0, 0);
}

} // namespace
} // namespace cadentor
