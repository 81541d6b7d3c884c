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
    FUZZ_REQUIRE(loaded);
    return events;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    TimeCode timeCode = 0;
    std::string name;
    FUZZ_REQUIRE(!parseSequenceLine(bytes, timeCode, name) ||
                 (!name.empty() && name.find_first_of(" \t") == std::string::npos));

    EventSequence& events = sequence();
    const bool ok = events.load(fuzz::writeFile("sequence.txt", bytes));
    FUZZ_REQUIRE(ok || events.count() == 0);
    for (int i = 0; i < events.count(); ++i) {
        const SequenceEvent& event = *events.eventAt(i);
        FUZZ_REQUIRE(i == 0 || events.eventAt(i - 1)->timeCode() <= event.timeCode());
        PortId port = 0;
        const std::uint8_t* at = nullptr;
        std::uint32_t count = 0;
        FUZZ_REQUIRE(events.commands().lookup(event.name(), port, at, count) &&
                     at == event.bytes() && count == event.byteCount() && port == event.portId());
        FUZZ_REQUIRE(port == ExecPortId || port == OpenPortId);
    }
    FUZZ_REQUIRE(events.currentIndex() == -1);
    return 0;
}
