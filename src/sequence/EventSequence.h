#pragma once
// The operator's list of timed events, the CommandTable they take their bytes from, and the
// position of the run.
//
// `position` is the index of the last event executed or passed over, -1 before the first.
// load() and loadCommandList() replace the events; the table is reloaded only through
// clearAndReloadCommands(), which destroys the events first. runDue() and executeAt() run the
// events against the SequenceClock.

#include "commands/CommandTable.h"
#include "sequence/SequenceEvent.h"
#include "sequence/TimeCode.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cadentor {

class PortSet;
class SequenceClock;

enum class RunOutcome { NothingDue = 0, Executed = 1, Failed = 2, Finished = 3 };

class EventSequence {
public:
    explicit EventSequence(PortSet& ports, SequenceClock& clock);
    EventSequence(const EventSequence&) = delete;
    EventSequence& operator=(const EventSequence&) = delete;

    // Orders the events by ascending time code; equal time codes keep their order.
    void sort();
    ~EventSequence();
    // Replaces the events by those of the sequence file at `path`, sorted. Messages: 5 (detail
    // "path: reason") when the file cannot be read whole or is empty; 6 when a line does not
    // parse; 9, followed by CR LF and the name, when the table lacks a command; 11 when a
    // command's port id is neither below the port count nor 1023 nor 1024. The detail of 6, 9
    // and 11 is "path:line". Message 5 too when memory runs out while loading (detail "path:
    // not enough memory to load the file (size)"). On any failure the sequence is empty. False
    // without a message for an empty path.
    bool load(const std::string& path);
    // clear(), then CommandTable::load(); returns its result.
    bool clearAndReloadCommands();
    int count() const;
    // Null when index < 0 or index >= count().
    SequenceEvent* eventAt(int index) const;
    // Nothing when the clock is paused. Otherwise, with one clock reading, executes in order
    // every event after `position` whose time code has been reached, stopping at the first
    // that is not due (Executed if any ran, else NothingDue) or that fails (Failed, `position`
    // just before it); Finished when no event is left. Once the process-wide stop request is
    // made (ports/StopRequest.h) it executes no further event and returns as at an event not
    // yet due, so a stop signal ends even a burst of thousands of events at one instant. So
    // does a pause of the clock while an event executes (the operator's MANUAL while a write
    // waits).
    RunOutcome runDue();
    // Moves `position` to `index`, pauses the clock at the event's time code and executes it.
    // False with nothing changed for an index outside the list.
    bool executeAt(int index);
    int currentIndex() const { return position_; }
    // Saturates at the largest int rather than overflowing.
    int skipCurrent() { return position_ < INT_MAX ? ++position_ : position_; }
    // position -1 and every event Pending; the events stay.
    void rewind();
    // Moves `position` to `index` (clamped to -1 .. count() - 1) without executing anything.
    void passTo(int index) { position_ = std::clamp(index, -1, count() - 1); }
    // An event for the table's command `name` at the clock's sequence time, outside the list,
    // as the command list would have it; null (no message) for a name the table lacks or a
    // port the set lacks.
    std::unique_ptr<SequenceEvent> commandEvent(const std::string& name) const;
    // Replaces the events by one per command, in table order, all at time code 0, unsorted.
    // False without a message for an empty table; message 11 (and no events) for a command
    // whose port id the port set lacks; message 5 (and no events) when memory runs out.
    bool loadCommandList();
    // position -1, every event destroyed; the table stays.
    void clear();

    // The time code of the next event to run (the one after `position`), if there is one.
    std::optional<TimeCode> nextDueTime() const;

    const CommandTable& commands() const { return commands_; }
    PortSet& ports() const { return *ports_; }
    SequenceClock& clock() const { return *clock_; }

private:
    // load() and loadCommandList() without their guard against allocation failures.
    bool readSequenceFile(const std::string& path, std::size_t& fileSize);
    bool listCommands();
    bool validPortId(PortId id) const;
    void append(TimeCode timeCode, const std::string& name, PortId portId,
                const std::uint8_t* bytes, std::uint32_t byteCount);

    // The events are made in blocks that the sequence owns and destroys in clear(); events_
    // holds them in execution order. A long sequence thus costs no allocation per event.
    class EventBlock;
    std::vector<std::unique_ptr<EventBlock>> blocks_;
    std::vector<SequenceEvent*> events_;
    CommandTable commands_;
    int position_ = -1;
    PortSet* ports_;
    SequenceClock* clock_;
};

} // namespace cadentor
