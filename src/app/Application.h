#pragma once
// The desktop program from start to end. First the command line: --help and --version print
// and return before any window or display is touched, --dir DIR sets where Config.ini and
// Command.def are read (otherwise the rule of files/ProgramDirectory.h), and anything else is a
// usage error (exit 2). Then the Qt application (which never sees the command line), the
// message box reporter, the message loop, the frame with its view (the ports are opened and
// Command.def is read while it is made), the loop, and the exit code of the loop: 1 after every
// normal close. SIGTERM, SIGINT and SIGHUP close the window as its close box does, and make a
// write stuck on a device give up at once. The port set and the sequence clock live as long as
// the frame; the ports are closed when it has gone.

namespace cadentor {

int runApplication(int argc, char** argv);

} // namespace cadentor
