#pragma once
// One line of Command.def: a name, a port id and the bytes the name stands for.
//
// A byte command names a 0-based port of the PortSet and the bytes to write there; an exec
// action carries ExecPortId and a command line; an open action carries OpenPortId and a target
// (ports/PortId.h). Nothing is decoded: names and texts are bytes.

#include "ports/PortId.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cadentor {

using ByteStream = std::vector<std::uint8_t>;

struct CommandDefinition {
    std::string name;
    PortId portId = 0;
    ByteStream bytes;
};

// Parses one line (without its line end) into `definition`, which should be fresh. True only
// when the whole line matches the definition grammar; on false the outputs hold whatever the
// grammar had matched so far and are to be ignored. Shows no message.
bool parseCommandDefinition(std::string_view line, CommandDefinition& definition);

} // namespace cadentor
