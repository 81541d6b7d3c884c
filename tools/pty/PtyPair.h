#pragma once
// A pseudo-terminal that stands in for a serial device, shared by the virtual port, the
// benches and the tests. A program opens the slave by slavePath as its device; what it writes
// arrives at the master. Both descriptors are close-on-exec, so programs started meanwhile
// hold neither. In raw mode the slave translates nothing, so bytes arrive exactly as written
// even from a writer that leaves the line settings alone; otherwise the slave keeps the
// system's default settings.

#include "files/UniqueFd.h"

#include <string>

namespace cadentor {

struct PtyPair {
    UniqueFd master;
    UniqueFd slave;
    std::string slavePath;
};

// False with `error` set to "step: reason" (for example "posix_openpt: No such device") and
// nothing held.
bool openPtyPair(PtyPair& pty, bool raw, std::string& error);

} // namespace cadentor
