#pragma once
// How many descriptors the program may hold. A show may need up to 1023 ports plus the
// program's own files, more than the soft limit of 1024 that systemd and most shells give, so
// both programs raise the soft limit to the hard one at start. Programs started by events get
// the limit the program started with back, since some of them misbehave with a large one.

namespace cadentor {

// Raises the soft RLIMIT_NOFILE to the hard limit and keeps the limit found, once; later calls
// do nothing. A limit that cannot be read or raised stays as it is.
void raiseDescriptorLimit() noexcept;

// Sets the soft RLIMIT_NOFILE back to the one raiseDescriptorLimit() found; nothing when it
// was not raised. Async-signal-safe: meant for a child between fork and exec.
void restoreDescriptorLimit() noexcept;

} // namespace cadentor
