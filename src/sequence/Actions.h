#pragma once
// What exec and open events hand to the system.
//
// exec: the command line is split into words (blanks separate; single or double quotes group;
// no shell, no expansion), the first word is the program (searched on PATH when it has no '/')
// and the program is started detached: in a session of its own, with default signal handling,
// /dev/null as its stdin, stdout and stderr (or, with ProgramOutput::Inherit, our stdout and
// stderr as they are) and no other descriptor of ours, so that whoever reads our output never
// waits for it unless asked to. The launcher never waits for it, keeps no hold on it
// and leaves no zombie. A file that the kernel cannot run is not handed to a shell.
// open: a target without a URL scheme must exist as a path; the target is then handed to the
// opener program (xdg-open, found on PATH) in the same detached way.
// Both succeed when the program was started, and show no message. When they fail and `whyNot`
// is given, it receives the reason: "NAME: not found on PATH" (also for a missing xdg-open),
// "FILE: Permission denied", "FILE: Exec format error", "TARGET: No such file or directory",
// "the command line is empty", "cannot start a process: REASON".

#include <string>
#include <string_view>
#include <vector>

namespace cadentor {

// Where the programs that exec and open start write their stdout and stderr: /dev/null (the
// default), or our own stdout and stderr as they are, so that a service's journal gets their
// errors. Process-wide; set it before starting programs.
enum class ProgramOutput { Null, Inherit };
void setProgramOutput(ProgramOutput output);

// Quotes may start anywhere in a word and join with what is around them ("a'b c'd" is one word
// "ab cd"); a quote of the other kind inside them is an ordinary byte; backslashes are ordinary
// bytes. A quote that is never closed takes the rest of the line into the word.
std::vector<std::string> splitCommandLine(std::string_view commandLine);

// The command line is cut at its first zero byte.
bool startProgram(std::string_view commandLine, std::string* whyNot = nullptr);
// The target is cut at its first zero byte. It has a URL scheme when it starts with a letter
// and one or more letters, digits, '+', '-' or '.', then ':' ("C:\x" is a path).
bool openTarget(std::string_view target, std::string* whyNot = nullptr);

} // namespace cadentor
