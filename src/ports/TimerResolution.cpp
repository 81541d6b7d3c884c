#include "ports/TimerResolution.h"

#include <sys/prctl.h>

namespace cadentor {

TimerResolution::TimerResolution() {
    const int previous = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (previous <= 0)
        return; // nothing to give back to: leave the slack as it is
    previousSlack_ = static_cast<unsigned long>(previous);
    raised_ = ::prctl(PR_SET_TIMERSLACK, 1ul, 0, 0, 0) == 0;
}

TimerResolution::~TimerResolution() {
    if (!raised_)
        return;
    raised_ = false;
    ::prctl(PR_SET_TIMERSLACK, previousSlack_, 0, 0, 0);
}

} // namespace cadentor
