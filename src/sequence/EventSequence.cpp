#include "sequence/EventSequence.h"

#include "files/TextFile.h"
#include "messages/Messages.h"
#include "ports/PortSet.h"
#include "ports/StopRequest.h"
#include "sequence/SequenceClock.h"
#include "sequence/SequenceLine.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace cadentor {

namespace {

// Message 11's detail after `where`: which port the command needs and why there is none.
std::string missingPort(const std::string& where, PortId id, std::uint32_t open) {
    const std::string needs = where + ": the command needs port " + std::to_string(id);
    if (open == 0)
        return needs + ", but no port is open";
    return needs + ", which Config.ini does not open (Require=" + std::to_string(open) + ")";
}

} // namespace

// Room for `capacity` events, made one after the other.
class EventSequence::EventBlock {
public:
    explicit EventBlock(std::size_t capacity)
        : storage_(new Slot[capacity]), capacity_(capacity) {} // left unfilled
    ~EventBlock() {
        for (std::size_t i = 0; i < used_; ++i)
            std::launder(reinterpret_cast<SequenceEvent*>(&storage_[i]))->~SequenceEvent();
    }
    EventBlock(const EventBlock&) = delete;
    EventBlock& operator=(const EventBlock&) = delete;

    bool full() const { return used_ == capacity_; }
    std::size_t capacity() const { return capacity_; }
    template <typename... Args> SequenceEvent* make(Args&&... args) {
        SequenceEvent* event = new (&storage_[used_]) SequenceEvent(std::forward<Args>(args)...);
        ++used_;
        return event;
    }

private:
    struct Slot {
        alignas(SequenceEvent) std::byte bytes[sizeof(SequenceEvent)];
    };
    std::unique_ptr<Slot[]> storage_;
    std::size_t capacity_;
    std::size_t used_ = 0;
};

void EventSequence::append(TimeCode timeCode, const std::string& name, PortId portId,
                           const std::uint8_t* bytes, std::uint32_t byteCount) {
    if (blocks_.empty() || blocks_.back()->full()) {
        // 64 events first, doubling up to 4096 a block: small lists stay small.
        const std::size_t capacity =
            blocks_.empty() ? 64 : std::min<std::size_t>(blocks_.back()->capacity() * 2, 4096);
        blocks_.push_back(std::make_unique<EventBlock>(capacity));
    }
    events_.push_back(blocks_.back()->make(timeCode, name, portId, bytes, byteCount, *ports_));
}

EventSequence::EventSequence(PortSet& ports, SequenceClock& clock)
    : ports_(&ports), clock_(&clock) {}

EventSequence::~EventSequence() {
    clear();
}

// Sorting the pointers by the time codes they point at would chase a pointer at every
// comparison. Instead each event is read once, in order, into a key of its time code and its
// index; the keys sort with equal time codes in index order, which makes the sort stable.
void EventSequence::sort() {
    const std::size_t size = events_.size();
    if (size < 2) // an index fits in 32 bits: count() is an int
        return;
    std::vector<std::uint64_t> keys(size);
    for (std::size_t i = 0; i < size; ++i)
        keys[i] = static_cast<std::uint64_t>(events_[i]->timeCode()) << 32 | i;
    if (std::is_sorted(keys.begin(), keys.end()))
        return;
    std::sort(keys.begin(), keys.end());
    std::vector<SequenceEvent*> ordered(size);
    for (std::size_t i = 0; i < size; ++i)
        ordered[i] = events_[keys[i] & UINT32_MAX];
    events_ = std::move(ordered);
}

bool EventSequence::validPortId(PortId id) const {
    return id < ports_->count() || commandKind(id) != CommandKind::Send;
}

bool EventSequence::load(const std::string& path) {
    clear();
    if (path.empty())
        return false;
    std::size_t fileSize = 0;
    try {
        return readSequenceFile(path, fileSize);
    } catch (const std::bad_alloc&) {
        clear();
        raiseMessage(MessageId::SequenceReadFailed, path +
                                                        ": not enough memory to load the file (" +
                                                        formatFileSize(fileSize) + ")");
        return false;
    }
}

bool EventSequence::readSequenceFile(const std::string& path, std::size_t& fileSize) {
    bool complete = false;
    {
        std::string data, error;
        if (!readWholeFile(path, data, error, {stopRequested})) {
            raiseMessage(MessageId::SequenceReadFailed, error);
            return false;
        }
        fileSize = data.size();
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
                raiseMessage(
                    MessageId::BadPortId,
                    missingPort(path + ":" + std::to_string(editorLine), portId, ports_->count()));
                return false;
            }
            append(timeCode, name, portId, bytes, byteCount);
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
    return events_[static_cast<std::size_t>(index)];
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
        if (event.timeCode() > elapsed || stopRequested() || clock_->isPaused()) {
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
    try {
        return listCommands();
    } catch (const std::bad_alloc&) {
        clear();
        raiseMessage(MessageId::SequenceReadFailed, "command list: not enough memory for " +
                                                        std::to_string(commands_.size()) +
                                                        " events");
        return false;
    }
}

bool EventSequence::listCommands() {
    auto [entry, end] = commands_.entries();
    for (; entry != end; ++entry) {
        PortId portId = 0;
        const std::uint8_t* bytes = nullptr;
        std::uint32_t byteCount = 0;
        if (!commands_.lookup(entry->name, portId, bytes, byteCount))
            continue;
        if (!validPortId(portId)) {
            raiseMessage(MessageId::BadPortId, missingPort(entry->name, portId, ports_->count()));
            clear();
            return false;
        }
        append(0, entry->name, portId, bytes, byteCount);
    }
    return true;
}

void EventSequence::clear() {
    position_ = -1;
    events_.clear();
    events_.shrink_to_fit();
    blocks_.clear();
}

std::unique_ptr<SequenceEvent> EventSequence::commandEvent(const std::string& name) const {
    PortId portId = 0;
    const std::uint8_t* bytes = nullptr;
    std::uint32_t byteCount = 0;
    if (!commands_.lookup(name, portId, bytes, byteCount) || !validPortId(portId))
        return nullptr;
    return std::make_unique<SequenceEvent>(clock_->elapsed(), name, portId, bytes, byteCount,
                                           *ports_);
}

std::optional<TimeCode> EventSequence::nextDueTime() const {
    const std::int64_t next = static_cast<std::int64_t>(position_) + 1;
    if (next < 0 || next >= count())
        return std::nullopt;
    return events_[static_cast<std::size_t>(next)]->timeCode();
}

} // namespace cadentor
