#pragma once
// The runner's stdout and stderr, for whoever watches a show: they never hold it up or end it.
//
// Text is written without waiting. What a slow reader (a full pipe, a terminal on hold) does
// not take at once is kept, up to 1 MiB, and sent in order before the next text; beyond that,
// new text is dropped. Once the reader has gone (EPIPE: SIGPIPE is caught by a handler that
// does nothing) or writing fails otherwise, everything is dropped. A pipe or terminal is
// written through a descriptor of our own opened on the same file, non-blocking, so the
// shared open file that a shell or started programs use keeps its blocking mode; a socket is
// sent to with MSG_DONTWAIT; anything else (a regular file, /dev/null) does not block anyway.

#include <string_view>

namespace cadentor::cli {

// Call first: opens /dev/null on any of descriptors 0, 1 and 2 that is closed (else the next
// descriptor we open, a port's device among them, would take its place and receive the
// output) and catches SIGPIPE. A caught signal, unlike an ignored one, is back to its default
// in the programs that events start.
void prepareStandardOutput();

// Writes `text` to STDOUT_FILENO or STDERR_FILENO as described above; any other descriptor is
// written directly, dropping the text on failure.
void writeOutput(int fd, std::string_view text);

} // namespace cadentor::cli
