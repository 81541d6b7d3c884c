#pragma once
// Where Config.ini and Command.def are found. A directory set by the program (--dir) or a test
// comes first. Otherwise the directory of the running executable (/proc/self/exe) when it holds
// Config.ini or Command.def, as in a build tree or a folder copied with its files; otherwise the
// user's configuration directory, $XDG_CONFIG_HOME/cadentor, or ~/.config/cadentor when that
// variable is unset, empty or not an absolute path. Both programs follow this one rule.

#include <string>

namespace cadentor {

// The directory without a trailing slash ("/" for the root), chosen afresh on every call.
std::string programDirectory();

// The choice programDirectory() makes without an override, for an executable in
// `executableDirectory` and the given values of XDG_CONFIG_HOME and HOME (null when unset).
// Falls back to "." when neither variable gives an absolute path.
std::string defaultProgramDirectory(const std::string& executableDirectory,
                                    const char* xdgConfigHome, const char* home);

// The directory of the running executable (/proc/self/exe), "." when it cannot be read.
std::string executableDirectory();

// Makes programDirectory() return `directory` from now on; an empty text goes back to the
// default choice. Returns the previous override (empty when there was none).
std::string setProgramDirectory(std::string directory);

// Where the installed example files (Config.ini, Command.def, show.txt) lie: the
// documentation directory of the installation prefix, fixed when the program is built.
std::string examplesDirectory();

// `directory` + "/" + `name`, without doubling a slash.
std::string joinPath(const std::string& directory, const std::string& name);

} // namespace cadentor
