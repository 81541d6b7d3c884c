#pragma once
// Virtual serial ports for trying a show without hardware.
//
// Opens N pseudo-terminals and keeps each slave open itself, so that a writer that opens and
// closes the slave never hangs up the master. The slaves are put in raw mode, so bytes arrive
// exactly as written. Optional symlinks (PATH for one port, PATH0, PATH1, ... for several)
// point at the slave devices; a symlink already there is replaced in one step, so that a vport
// started again on the same PATH stands for a device unplugged and plugged in again. The slave
// paths are printed one per line; after that every chunk that arrives is printed as one line
// "MS.USEC<TAB>PORT<TAB>HEX BYTES", the time in milliseconds since the start. A program that held a
// port exclusively and was killed leaves the slave in exclusive mode; once no lock on the slave is
// left, the mode is cleared, so the port serves the next program. Listeners on 127.0.0.1 (--tcp
// PORT, --udp PORT; see NetworkListener.h) follow the ptys: their URLs in the list, their indexes
// in the lines; given alone they replace the default pty. SIGINT, SIGTERM and SIGHUP end the
// program and remove the links.

namespace cadentor::vport {

// The whole program: parses the arguments, runs until a signal, returns the exit code
// (0 after a signal, 1 when a port or link cannot be made or stdout fails, 2 for bad usage).
int runVirtualPorts(int argc, char** argv);

} // namespace cadentor::vport
