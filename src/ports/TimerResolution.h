#pragma once
// Asks for the finest timer slack the kernel offers for this process, so that the sequence
// clock's sleeps wake on time, and gives the previous slack back once when destroyed.
// The programs hold one instance for their whole lifetime, constructed before anything else.

namespace cadentor {

class TimerResolution {
public:
    TimerResolution();
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;
    ~TimerResolution();

private:
    unsigned long previousSlack_ = 0;
    bool raised_ = false;
};

} // namespace cadentor
