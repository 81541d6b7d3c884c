#pragma once
// Where a command goes, and so what kind of command it is. An id below the port count names a
// port of the PortSet by its 0-based index; two reserved ids mark the commands that reach no
// port: ExecPortId starts a program, OpenPortId opens a document or address. The id is the
// only mark of the kind, in Command.def and in memory alike.

#include <cstdint>

namespace cadentor {

using PortId = std::uint32_t;
inline constexpr PortId ExecPortId = 1023;
inline constexpr PortId OpenPortId = 1024;

enum class CommandKind { Send, Exec, Open };

constexpr CommandKind commandKind(PortId id) {
    return id == ExecPortId   ? CommandKind::Exec
           : id == OpenPortId ? CommandKind::Open
                              : CommandKind::Send;
}

} // namespace cadentor
