#pragma once
// A show for cadentor-run in a temporary directory: two ptys as ports 0 and 1, Config.ini (by
// default naming both), Command.def, and seq.txt when it is given.

#include "support/Pty.h"
#include "support/TempDir.h"

#include <iterator>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace cadentor::test {

inline const std::string runnerPath = CADENTOR_BINARY_DIR "/src/cli/cadentor-run";
inline const std::string vportPath = CADENTOR_BINARY_DIR "/tools/vport/cadentor-vport";

inline std::string repeat(const std::string& text, std::size_t count) {
    std::string all;
    while (count-- > 0)
        all += text;
    return all;
}

// Replaces the calling process (a ChildProcess's) by `args`; 127 when it cannot run.
inline int exec(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return ::execv(argv[0], argv.data()), 127;
}

struct Show {
    Show(const std::string& commands, const std::string& sequence, const std::string& config = "") {
        dir.write("Config.ini", expand(config.empty() ? "[Common]\nRequire=2\n[Port0]\nDevice={0}\n"
                                                        "BaudRate=115200\n[Port1]\nDevice={1}\n"
                                                      : config));
        dir.write("Command.def", commands);
        if (!sequence.empty())
            dir.write("seq.txt", sequence);
    }
    // The runner's arguments: the words of `options`, then the sequence file when there is one.
    std::vector<std::string> command(const std::string& options = "") const {
        std::vector<std::string> args{runnerPath, "--dir", dir.path()};
        std::istringstream words(options);
        args.insert(args.end(), std::istream_iterator<std::string>(words), {});
        if (std::filesystem::exists(dir.file("seq.txt")))
            args.push_back(dir.file("seq.txt"));
        return args;
    }
    // `text` with the ptys' paths for {0} and {1} and the directory for {d}.
    std::string expand(std::string text) const {
        for (const auto& [key, value] :
             {std::pair{"{0}", port0.slavePath()}, {"{1}", port1.slavePath()}, {"{d}", dir.path()}})
            for (std::size_t at; (at = text.find(key)) != std::string::npos;)
                text.replace(at, 3, value);
        return text;
    }

    TempDir dir;
    Pty port0, port1;
};

} // namespace cadentor::test
