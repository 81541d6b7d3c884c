#pragma once
// Syslog levels for lines that go to the journal. systemd names the stream it connected
// standard output or standard error to in JOURNAL_STREAM ("DEV:INO" of that stream, in
// decimal), and the journal reads a "<N>" at the start of each line as the line's level. A
// descriptor is the journal's when fstat gives exactly that device and inode.

#include <string>
#include <string_view>

namespace cadentor::cli {

enum class LogLevel : char {
    Error = '3',   // failures and the messages of the table, with their detail lines
    Warning = '4', // "cadentor-run: warning: ..."
    Info = '6',    // everything else
};

// Whether `fd` is the stream that JOURNAL_STREAM names; false without it or when it is not
// two numbers separated by a colon.
bool isJournalStream(int fd);

// `lines` with "<N>" of `level` before each line; a last line without its newline counts too.
std::string withLevel(LogLevel level, std::string_view lines);

} // namespace cadentor::cli
