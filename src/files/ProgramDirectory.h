#pragma once
// Where Config.ini and Command.def are found: the directory of the running executable
// (/proc/self/exe), unless a program (the runner's --dir) or a test has set another one.

#include <string>

namespace cadentor {

// The directory without a trailing slash ("/" for the root).
std::string programDirectory();

// Makes programDirectory() return `directory` from now on; an empty text goes back to the
// executable's directory. Returns the previous override (empty when there was none).
std::string setProgramDirectory(std::string directory);

// `directory` + "/" + `name`, without doubling a slash.
std::string joinPath(const std::string& directory, const std::string& name);

} // namespace cadentor
