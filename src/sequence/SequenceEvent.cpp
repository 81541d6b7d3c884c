#include "sequence/SequenceEvent.h"

#include "ports/PortSet.h"
#include "sequence/Actions.h"

#include <new>
#include <string_view>
#include <utility>

namespace cadentor {

SequenceEvent::SequenceEvent(TimeCode timeCode, std::string name, PortId portId,
                             const std::uint8_t* bytes, std::uint32_t byteCount, PortSet& ports)
    : bytes_(bytes), byteCount_(byteCount), portId_(portId), timeCode_(timeCode),
      name_(std::move(name)), ports_(&ports) {}

bool SequenceEvent::execute() {
    const std::string_view text(reinterpret_cast<const char*>(bytes_), bytes_ ? byteCount_ : 0);
    bool ok = false;
    std::string whyNot;
    switch (commandKind(portId_)) {
    case CommandKind::Exec:
        ok = startProgram(text, &whyNot);
        break;
    case CommandKind::Open:
        ok = openTarget(text, &whyNot);
        break;
    case CommandKind::Send:
        ok = ports_->write(portId_, bytes_, byteCount_, &whyNot);
        break;
    }
    status_ = ok ? EventStatus::Done : EventStatus::Failed;
    if (ok || whyNot.empty())
        failure_.reset();
    else
        failure_.reset(new (std::nothrow) std::string(std::move(whyNot)));
    return ok;
}

const std::string& SequenceEvent::failureReason() const {
    static const std::string none;
    return failure_ ? *failure_ : none;
}

std::string SequenceEvent::portText() const {
    switch (commandKind(portId_)) {
    case CommandKind::Exec:
        return "Exec";
    case CommandKind::Open:
        return "Open";
    case CommandKind::Send:
        break;
    }
    const SerialPort* port = ports_->port(portId_);
    return port ? port->deviceName() : std::string();
}

} // namespace cadentor
