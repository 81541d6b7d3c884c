#pragma once
// The runner's stdout and stderr, for whoever watches a show: they never hold it up or end it.
//
// Text is written without waiting. What a slow reader (a full pipe, a terminal on hold) does
// not take at once is kept, up to 1 MiB, and sent in order before the next text; beyond that,
// new text is dropped. At exit, finishOutput() gives the reader what is kept while it takes
// some, bounded in time. A pipe is written in whole lines (up to PIPE_BUF bytes at a time, which
// a pipe takes whole or not at all), so a line that goes is never cut, not even when the
// reader is given up; on a terminal or socket, which may take part of a write, a line is cut
// only when the reader is given up in its middle. Once the reader has gone (EPIPE: SIGPIPE is
// caught by a handler that does nothing) or writing fails otherwise, everything is dropped. A pipe
// or terminal is written through a descriptor of our own opened on the same file, non-blocking, so
// the shared open file that a shell or started programs use keeps its blocking mode; a socket is
// sent to with MSG_DONTWAIT; anything else (a regular file, /dev/null) does not block anyway.
// When stdout or stderr is the journal (JournalStream.h), every line carries its level.

#include "cli/JournalStream.h"

#include <string_view>

namespace cadentor::cli {

// Call first: opens /dev/null on any of descriptors 0, 1 and 2 that is closed (else the next
// descriptor we open, a port's device among them, would take its place and receive the
// output) and catches SIGPIPE. A caught signal, unlike an ignored one, is back to its default
// in the programs that events start.
void prepareStandardOutput();

// Writes `text` (whole lines) to STDOUT_FILENO or STDERR_FILENO as described above, each line
// at `level` when that descriptor is the journal; any other descriptor is written directly,
// as it stands, dropping the text on failure.
void writeOutput(int fd, std::string_view text, LogLevel level = LogLevel::Info);

// Call at exit: waits while the readers of stdout and stderr take what is kept, giving up after
// 2 s in which they took nothing and after 5 s in all.
void finishOutput();

} // namespace cadentor::cli
