#pragma once
// Command.def and sequence files are read whole and split into lines in the same
// way: a carriage return, a line feed or a zero byte ends a line, empty lines are skipped, and
// the bytes are never converted.
//
// Lines are also numbered as an editor shows them, for the detail of a parse failure: CR LF
// counts as one line end, a lone CR or LF as one, and a zero byte ends a line for parsing but
// stays on the same editor line.

#include <cstdint>
#include <string>
#include <string_view>

namespace cadentor {

// How long a stream may give nothing before its read gives up, and what ends the wait at once
// (the program's stop request; none when null).
struct StreamWait {
    bool (*stopped)() = nullptr;
    int noDataMs = 10000;
};

// Reads the whole file at `path` into `data`, in as few reads as the system allows (one takes
// at most about 2 GiB). A file that is not a regular file (a FIFO, /dev/stdin on a pipe, a
// terminal, a character device) is read as a stream until its end, to the same size limit; its
// open never waits for a writer, and the read fails when nothing came for `wait.noDataMs` or
// as soon as `wait.stopped` says so. Fails when the file cannot be opened, is empty, is larger
// than 4 GiB - 1 bytes, finds no memory to hold it, or cannot be read whole; `data` is then
// empty and `error` holds a detail such as "/dir/Command.def: No such file or directory",
// "/dir/Command.def: file is empty", "/dir/show.txt: file too large to load (3.0 GiB)" or
// "/dir/show.fifo: no data came for 10 s (a pipe or device nobody writes to?)".
bool readWholeFile(const std::string& path, std::string& data, std::string& error,
                   const StreamWait& wait = {});

// "512 bytes", "21.3 MiB", "3.0 GiB": a size for a message's detail.
std::string formatFileSize(std::uint64_t bytes);

// Calls `onLine(line, editorLine)` for every non-empty line of `data`, in order, with the
// 1-based editor line number. Stops early and returns false as soon as `onLine` returns false;
// returns true after the last line.
template <typename OnLine> bool forEachLine(std::string_view data, OnLine&& onLine) {
    unsigned editorLine = 1;
    size_t start = 0;
    const size_t size = data.size();
    for (size_t i = 0; i <= size; ++i) {
        const char c = i < size ? data[i] : '\0';
        if (c != '\r' && c != '\n' && c != '\0')
            continue;
        if (i > start && !onLine(data.substr(start, i - start), editorLine))
            return false;
        start = i + 1;
        if (c == '\n' || (c == '\r' && !(i + 1 < size && data[i + 1] == '\n')))
            ++editorLine;
    }
    return true;
}

} // namespace cadentor
