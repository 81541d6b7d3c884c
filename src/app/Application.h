#pragma once
// The desktop program from start to end: the Qt application (which never sees the command
// line), the message box reporter, the message loop, the frame with its view (the ports are
// opened and Command.def is read while it is made), the loop, and the exit code of the loop:
// 1 after every normal close. SIGTERM, SIGINT and SIGHUP close the window as its close box does.

namespace cadentor {

int runApplication();

} // namespace cadentor
