#pragma once
// What exec and open events hand to the system.
//
// exec: the command line is split into words (blanks separate; single or double quotes group;
// no shell, no expansion), the first word is the program (searched on PATH) and the program is
// started detached: the launcher never waits for it, keeps no hold on it and leaves no zombie.
// open: a target without a URL scheme must exist as a path; the target is then handed to the
// opener program (xdg-open, found on PATH) in the same detached way.
// Both succeed when the program was started, and show no message.

#include <string>
#include <string_view>
#include <vector>

namespace cadentor {

std::vector<std::string> splitCommandLine(std::string_view commandLine);

// The command line is cut at its first zero byte.
bool startProgram(std::string_view commandLine);
bool openTarget(std::string_view target);

} // namespace cadentor
