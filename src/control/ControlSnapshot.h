#pragma once
// The snapshot of a run that the runner publishes to its control servers, taken from the
// sequence and its run policy on the run thread. The rows and the command names are made once
// and shared by every snapshot after; the rest is taken afresh each time.

#include "control/ControlStatus.h"

namespace cadentor {
class EventSequence;
class RunPolicy;
} // namespace cadentor

namespace cadentor::control {

class ControlSnapshot {
public:
    // The rows and commands of `sequence` as they are now.
    explicit ControlSnapshot(const EventSequence& sequence);

    // The show now: `state` as the runner has it (the policy's, or Waiting before the start).
    ShowStatus take(const RunPolicy& policy, ShowState state) const;

private:
    const EventSequence& sequence_;
    std::shared_ptr<const std::vector<EventRow>> rows_;
    std::shared_ptr<const std::vector<std::string>> commands_;
};

} // namespace cadentor::control
