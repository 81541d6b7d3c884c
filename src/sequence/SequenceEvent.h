#pragma once
// One timed event: a time code and a command of the CommandTable.
//
// The event points into the table's bytes (it never copies or owns them), so it must not
// outlive the table's contents. Its kind follows from the port id: ExecPortId starts a
// program, OpenPortId opens a target, any other id writes the bytes to that port of the set.

#include "commands/CommandDefinition.h"
#include "sequence/TimeCode.h"

#include <cstdint>
#include <memory>
#include <string>

namespace cadentor {

class PortSet;

// Missed: passed over without running, because the run joined or jumped to a later time.
enum class EventStatus : std::uint32_t { Pending = 0, Done = 1, Failed = 2, Missed = 3 };

class SequenceEvent {
public:
    SequenceEvent(TimeCode timeCode, std::string name, PortId portId, const std::uint8_t* bytes,
                  std::uint32_t byteCount, PortSet& ports);

    // Performs the action, sets the status to Done or Failed and returns success. A failed
    // send shows the port set's message and keeps its detail; a failed exec or open shows
    // none, but keeps why.
    bool execute();
    TimeCode timeCode() const { return timeCode_; }
    const std::string& name() const { return name_; }
    EventStatus status() const { return status_; }
    void resetStatus() {
        status_ = EventStatus::Pending;
        failure_.reset();
    }
    void markMissed() {
        resetStatus();
        status_ = EventStatus::Missed;
    }
    // "Exec", "Open", or the device name of the port (empty when the set has no such port).
    std::string portText() const;

    // Why the last execute() of this event failed, such as "/srv/show/run.sh: Permission
    // denied", "xdg-open: not found on PATH" (see Actions.h) or, for a send, the detail of its
    // message ("/dev/ttyUSB0: Input/output error"); empty when it did not fail and after
    // resetStatus().
    const std::string& failureReason() const;

    PortId portId() const { return portId_; }
    const std::uint8_t* bytes() const { return bytes_; }
    std::uint32_t byteCount() const { return byteCount_; }

private:
    const std::uint8_t* bytes_;
    std::uint32_t byteCount_;
    PortId portId_;
    EventStatus status_ = EventStatus::Pending;
    TimeCode timeCode_;
    std::string name_;
    PortSet* ports_;
    std::unique_ptr<std::string> failure_; // only while failed: most events never need it
};

} // namespace cadentor
