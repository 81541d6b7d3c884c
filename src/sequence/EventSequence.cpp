#include "sequence/EventSequence.h"

#include "files/TextFile.h"
#include "messages/Messages.h"
#include "ports/PortSet.h"
#include "sequence/SequenceClock.h"
#include "sequence/SequenceLine.h"

#include <algorithm>
#include <cstdint>

namespace cadentor {

EventSequence::EventSequence(PortSet& ports, SequenceClock& clock)
    : ports_(&ports), clock_(&clock) {}

EventSequence::EventSequence() : EventSequence(PortSet::instance(), SequenceClock::instance()) {}

EventSequence::~EventSequence() {
    clear();
}

void EventSequence::sort() {
    std::stable_sort(
        events_.begin(), events_.end(),
        [](const std::unique_ptr<SequenceEvent>& a, const std::unique_ptr<SequenceEvent>& b) {
            return a->timeCode() < b->timeCode();
        });
}

bool EventSequence::validPortId(PortId id) const {
    return id < ports_->count() || id == ExecPortId || id == OpenPortId;
}

bool EventSequence::load(const std::string& path) {
    clear();
    if (path.empty())
        return false;
    bool complete = false;
    {
        std::string data, error;
        if (!readWholeFile(path, data, error)) {
            raiseMessage(MessageId::SequenceReadFailed, error);
            return false;
        }
        std::string name;
        complete = forEachLine(data, [&](std::string_view line, unsigned editorLine) {
            TimeCode timeCode = 0;
            if (!parseSequenceLine(line, timeCode, name)) {
                raiseMessage(MessageId::SequenceParseFailed,
                             path + ":" + std::to_string(editorLine));
                return false;
            }
            PortId portId = 0;
            const std::uint8_t* bytes = nullptr;
            std::uint32_t byteCount = 0;
            if (!commands_.lookup(name, portId, bytes, byteCount)) {
                raiseMessage(MessageId::CommandNotFound, path + ":" + std::to_string(editorLine),
                             "\r\n" + name);
                return false;
            }
            if (!validPortId(portId)) {
                raiseMessage(MessageId::BadPortId, path + ":" + std::to_string(editorLine));
                return false;
            }
            events_.push_back(
                std::make_unique<SequenceEvent>(timeCode, name, portId, bytes, byteCount, *ports_));
            return true;
        });
    } // the file's bytes are released before sorting
    if (!complete) {
        clear();
        return false;
    }
    sort();
    return true;
}

bool EventSequence::clearAndReloadCommands() {
    clear();
    return commands_.load();
}

int EventSequence::count() const {
    return static_cast<int>(events_.size());
}

SequenceEvent* EventSequence::eventAt(int index) const {
    if (index < 0 || index >= count())
        return nullptr;
    return events_[static_cast<std::size_t>(index)].get();
}

RunOutcome EventSequence::runDue() {
    if (clock_->isPaused())
        return RunOutcome::NothingDue;
    const TimeCode elapsed = clock_->elapsed();
    const std::int64_t start = position_;
    const std::int64_t size = count();
    std::int64_t i = start + 1;
    for (; i < size; ++i) {
        SequenceEvent& event = *events_[static_cast<std::size_t>(i)];
        if (event.timeCode() > elapsed) {
            position_ = static_cast<int>(i - 1);
            return i - 1 != start ? RunOutcome::Executed : RunOutcome::NothingDue;
        }
        if (!event.execute()) {
            position_ = static_cast<int>(i - 1);
            return RunOutcome::Failed;
        }
    }
    position_ = static_cast<int>(std::max(i, size) - 1);
    return RunOutcome::Finished;
}

bool EventSequence::executeAt(int index) {
    SequenceEvent* event = eventAt(index);
    if (!event)
        return false;
    position_ = index;
    clock_->pauseAt(event->timeCode());
    return event->execute();
}

void EventSequence::rewind() {
    position_ = -1;
    for (auto& event : events_)
        event->resetStatus();
}

bool EventSequence::loadCommandList() {
    clear();
    if (commands_.isEmpty())
        return false;
    auto [entry, end] = commands_.entries();
    for (; entry != end; ++entry) {
        PortId portId = 0;
        const std::uint8_t* bytes = nullptr;
        std::uint32_t byteCount = 0;
        if (!commands_.lookup(entry->name, portId, bytes, byteCount))
            continue;
        if (!validPortId(portId)) {
            raiseMessage(MessageId::BadPortId, entry->name);
            clear();
            return false;
        }
        events_.push_back(
            std::make_unique<SequenceEvent>(0, entry->name, portId, bytes, byteCount, *ports_));
    }
    return true;
}

void EventSequence::clear() {
    position_ = -1;
    events_.clear();
}

std::optional<TimeCode> EventSequence::nextDueTime() const {
    const std::int64_t next = static_cast<std::int64_t>(position_) + 1;
    if (next < 0 || next >= count())
        return std::nullopt;
    return events_[static_cast<std::size_t>(next)]->timeCode();
}

} // namespace cadentor
