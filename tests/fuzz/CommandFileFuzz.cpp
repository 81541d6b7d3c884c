// Command.def from arbitrary bytes: the loader and the definition grammar must never crash,
// and whatever loads must be a consistent table.

#include "FuzzSupport.h"
#include "commands/CommandTable.h"

#include <cstdint>
#include <set>

using namespace cadentor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::writeFile("Command.def", {reinterpret_cast<const char*>(data), size});
    static CommandTable table; // one table for every input, as the program reloads its own
    table.load();
    std::set<std::string> names;
    for (auto [it, end] = table.entries(); it != end; ++it) {
        FUZZ_REQUIRE(!it->name.empty() && !it->bytes.empty());
        FUZZ_REQUIRE(names.insert(it->name).second);
        PortId port = 0;
        const std::uint8_t* bytes = nullptr;
        std::uint32_t count = 0;
        FUZZ_REQUIRE(table.lookup(it->name, port, bytes, count) && port == it->portId &&
                     bytes == it->bytes.data() && count == it->bytes.size());
    }
    FUZZ_REQUIRE(names.size() == table.size() && table.isEmpty() == names.empty());
    return 0;
}
