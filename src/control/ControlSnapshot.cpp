#include "control/ControlSnapshot.h"

#include "ports/PortSet.h"
#include "sequence/EventSequence.h"
#include "sequence/SequenceClock.h"

namespace cadentor::control {

namespace {

RowOutcome outcomeOf(EventStatus status) {
    switch (status) {
    case EventStatus::Done:
        return RowOutcome::Done;
    case EventStatus::Failed:
        return RowOutcome::Failed;
    case EventStatus::Missed:
        return RowOutcome::Missed;
    case EventStatus::Pending:
        break;
    }
    return RowOutcome::Pending;
}

} // namespace

ControlSnapshot::ControlSnapshot(const EventSequence& sequence) : sequence_(sequence) {
    auto rows = std::make_shared<std::vector<EventRow>>();
    rows->reserve(static_cast<std::size_t>(sequence.count()));
    for (int i = 0; i < sequence.count(); ++i) {
        const SequenceEvent& event = *sequence.eventAt(i);
        rows->push_back({event.timeCode(), event.portText(), event.name()});
    }
    auto commands = std::make_shared<std::vector<std::string>>();
    const auto [first, last] = sequence.commands().entries();
    for (auto it = first; it != last; ++it)
        commands->push_back(it->name);
    rows_ = std::move(rows);
    commands_ = std::move(commands);
}

ShowStatus ControlSnapshot::take(const RunPolicy& policy, ShowState state) const {
    ShowStatus status;
    status.version = CADENTOR_VERSION;
    status.state = state;
    status.position = sequence_.clock().elapsed();
    status.takenNs = monotonicNanoseconds();
    status.pass = static_cast<int>(policy.pass()) + 1;
    status.events = sequence_.count();
    status.done = policy.doneCount();
    status.failed = policy.failedCount();
    if (sequence_.currentIndex() >= 0)
        status.current = sequence_.currentIndex();
    if (const SequenceEvent* next = sequence_.eventAt(sequence_.currentIndex() + 1))
        status.next = NextEvent{next->timeCode(), next->name(), next->portText()};
    if (const auto& failure = policy.lastFailure())
        status.lastFailure = LastFailure{failure->timeCode, failure->name, failure->reason};
    const PortSet& ports = sequence_.ports();
    for (std::uint32_t id = 0; id < ports.count(); ++id) {
        const SerialPort* port = ports.port(id);
        std::string why;
        const std::string state = port->condition(why);
        status.ports.push_back({static_cast<int>(id), port->deviceName(), state, why});
    }
    status.rows = rows_;
    status.commands = commands_;
    status.outcomes.reserve(rows_->size());
    for (int i = 0; i < sequence_.count() && static_cast<std::size_t>(i) < rows_->size(); ++i)
        status.outcomes.push_back(outcomeOf(sequence_.eventAt(i)->status()));
    return status;
}

} // namespace cadentor::control
