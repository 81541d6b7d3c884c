// The readers of Command.def, Config.ini and sequence files from arbitrary bytes: none may crash,
// and what each reads must be consistent. One source for the three libFuzzer targets: NAMEFuzz
// calls readNAME, named in FUZZ_READER. A broken invariant ends the run with its text and
// abort(), which libFuzzer records as a crash.

#include "commands/CommandTable.h"
#include "files/ProgramDirectory.h"
#include "messages/Messages.h"
#include "ports/PortSet.h"
#include "ports/ProfileFile.h"
#include "sequence/EventSequence.h"
#include "sequence/SequenceClock.h"
#include "sequence/SequenceLine.h"
#include "support/TempDir.h"

#include <cstdio>
#include <set>

using namespace cadentor;

#define FUZZ_REQUIRE(invariant) ((invariant) ? (void)0 : broken(#invariant))

namespace {

[[noreturn]] void broken(const char* invariant) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", invariant);
    std::abort();
}

// Writes `bytes` exactly to `name` in a fresh directory ($TMPDIR: scripts/test points it at
// memory) and returns its path. The first call makes the directory the program directory and
// swallows every message; the directory is removed at exit.
std::string writeFile(const std::string& name, std::string_view bytes) {
    static const test::TempDir scratch;
    static const bool quiet = (setProgramDirectory(scratch.path()),
                               setReporter([](const ErrorReport&) {}), true);
    (void)quiet;
    return scratch.write(name, bytes);
}

// Whether the table resolves `name` to exactly `port` and `bytes`, where they are stored.
bool resolves(const CommandTable& table, const std::string& name, PortId port,
              const std::uint8_t* bytes, std::size_t count) {
    PortId found = 0;
    const std::uint8_t* at = nullptr;
    std::uint32_t size = 0;
    return table.lookup(name, found, at, size) && found == port && at == bytes && size == count;
}

// Whatever loads is a consistent table: one table for every input, as the program reloads its own.
[[maybe_unused]] void readCommandFile(std::string_view bytes) {
    writeFile("Command.def", bytes);
    static CommandTable table;
    table.load();
    std::set<std::string> names;
    for (auto [it, end] = table.entries(); it != end; ++it) {
        FUZZ_REQUIRE(!it->name.empty() && !it->bytes.empty());
        FUZZ_REQUIRE(names.insert(it->name).second);
        FUZZ_REQUIRE(resolves(table, it->name, it->portId, it->bytes.data(), it->bytes.size()));
    }
    FUZZ_REQUIRE(names.size() == table.size() && table.isEmpty() == names.empty());
}

// The profile reader's three ways of reading a key agree.
[[maybe_unused]] void readProfileFile(std::string_view text) {
    const ProfileFile profile = ProfileFile::parse(text);
    (void)parseProfileInt(text);
    (void)profile.readInt("Common", "Require", 1);
    (void)profile.readInt("common", "REQUIRE", 1);
    for (int port = 0; port < 4; ++port) {
        const std::string section = "Port" + std::to_string(port);
        for (const char* key : {"Device", "BaudRate", "Parity", "StopBits", "WriteTimeout"}) {
            const std::string* value = profile.find(section, key);
            FUZZ_REQUIRE(profile.readInt(section, key, 12345) ==
                         (value && !value->empty() ? parseProfileInt(*value) : 12345));
            FUZZ_REQUIRE(profile.readString(section, key, "-") == (value ? *value : "-"));
        }
    }
}

// Against a fixed Command.def, a load gives either sorted, resolvable events or none. No ports
// are loaded: port ids 0 and up are refused, exec and open are not.
[[maybe_unused]] void readSequenceFile(std::string_view bytes) {
    static PortSet ports;
    static SequenceClock clock;
    static EventSequence events(ports, clock);
    static const bool loaded = [] {
        writeFile("Command.def", "X: exec: /bin/true\nAB: 0: 41\n\xff\x82: open: /\n"
                                 "Port5: 5: 00 ff\nlong_name_of_a_command: EXEC: x y z\n");
        return events.clearAndReloadCommands();
    }();
    FUZZ_REQUIRE(loaded);
    TimeCode timeCode = 0;
    std::string name;
    FUZZ_REQUIRE(!parseSequenceLine(bytes, timeCode, name) ||
                 (!name.empty() && name.find_first_of(" \t") == std::string::npos));
    const bool ok = events.load(writeFile("sequence.txt", bytes));
    FUZZ_REQUIRE(ok || events.count() == 0);
    for (int i = 0; i < events.count(); ++i) {
        const SequenceEvent& event = *events.eventAt(i);
        FUZZ_REQUIRE(i == 0 || events.eventAt(i - 1)->timeCode() <= event.timeCode());
        FUZZ_REQUIRE(resolves(events.commands(), event.name(), event.portId(), event.bytes(),
                              event.byteCount()));
        FUZZ_REQUIRE(event.portId() == ExecPortId || event.portId() == OpenPortId);
    }
    FUZZ_REQUIRE(events.currentIndex() == -1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FUZZ_READER({reinterpret_cast<const char*>(data), size});
    return 0;
}
