#pragma once
// The desktop program from start to end. First --help and --version, which print and return
// before any window or display is touched. Then the Qt application, which takes Qt's own
// options (-platform, -style, -geometry, ...) out of the command line; of the rest, --dir DIR
// sets where Config.ini and Command.def are read (otherwise the rule of
// files/ProgramDirectory.h; a bad one is a usage error, exit 2), and anything else is ignored
// with one warning line. Without a display (no platform can start) one line says so, exit 2.
// Then the message box reporter, the message loop, the frame with its view (the ports are
// opened and Command.def is read while it is made), the loop, and the exit code of the loop:
// 1 after every normal close. SIGTERM, SIGINT and SIGHUP are caught before any port opens;
// they close any open box (later failures go to stderr), close the window as its close box
// does (or never show it, when they come while it is being made) and make a write stuck on a
// device give up at once: exit 1. The port set and the sequence clock live as long as the
// frame; the ports are closed when it has gone.

namespace cadentor {

int runApplication(int argc, char** argv);

} // namespace cadentor
