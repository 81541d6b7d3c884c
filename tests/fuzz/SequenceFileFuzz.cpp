// A sequence file from arbitrary bytes against a fixed Command.def: the loader and the line
// grammar must never crash, and a load gives either sorted, resolvable events or none.

#include "FuzzSupport.h"
#include "ports/PortSet.h"
#include "sequence/EventSequence.h"
#include "sequence/SequenceClock.h"
#include "sequence/SequenceLine.h"

#include <cstdint>

using namespace cadentor;

namespace {

EventSequence& sequence() {
    static PortSet ports; // none loaded: port ids 0 and up are refused, exec and open are not
    static SequenceClock clock;
    static EventSequence events(ports, clock);
    static const bool loaded = [] {
        fuzz::writeFile("Command.def", "X: exec: /bin/true\nAB: 0: 41\n\xff\x82: open: /\n"
                                       "Port5: 5: 00 ff\nlong_name_of_a_command: EXEC: x y z\n");
        return events.clearAndReloadCommands();
    }();
    if (!loaded)
        fuzz::broken("the fixed Command.def does not load");
    return events;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    TimeCode timeCode = 0;
    std::string name;
    if (parseSequenceLine(bytes, timeCode, name) &&
        (name.empty() || name.find_first_of(" \t") != std::string::npos))
        fuzz::broken("a parsed name is empty or holds a blank");

    EventSequence& events = sequence();
    const bool ok = events.load(fuzz::writeFile("sequence.txt", bytes));
    if (!ok && events.count() != 0)
        fuzz::broken("a failed load left events");
    for (int i = 0; i < events.count(); ++i) {
        const SequenceEvent& event = *events.eventAt(i);
        if (i > 0 && events.eventAt(i - 1)->timeCode() > event.timeCode())
            fuzz::broken("the events are not sorted");
        PortId port = 0;
        const std::uint8_t* at = nullptr;
        std::uint32_t count = 0;
        if (!events.commands().lookup(event.name(), port, at, count) || at != event.bytes() ||
            count != event.byteCount() || port != event.portId())
            fuzz::broken("an event does not point at its command");
        if (port != ExecPortId && port != OpenPortId)
            fuzz::broken("an event on a port the set lacks");
    }
    if (events.currentIndex() != -1)
        fuzz::broken("a load moved the position");
    return 0;
}
