#pragma once
// A program started as a child process with its stdout and stderr on pipes, for end-to-end
// tests. Output is collected while the test waits for a line or for the exit; waits have
// generous timeouts and never hang the test.

#include <string>
#include <sys/types.h>
#include <vector>

namespace cadentor::test {

struct ExitStatus {
    bool exited = false; // false: killed by a signal, or still running at the timeout
    int code = -1;       // the exit code when exited
    int signal = 0;      // the signal that killed it
};

class ChildProcess {
public:
    // Starts argv[0] with `argv`; throws when it cannot be started.
    explicit ChildProcess(const std::vector<std::string>& argv);
    // Kills and reaps the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of stdout without its newline; false when none came within `timeoutMs`
    // or stdout ended.
    bool readLine(std::string& line, int timeoutMs = 10000);
    // Waits for the exit, collecting output; not exited when `timeoutMs` passed first.
    ExitStatus wait(int timeoutMs = 20000);
    void sendSignal(int signal);
    pid_t pid() const { return pid_; }

    // What arrived so far and was not taken by readLine.
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    // Polls both pipes for at most `timeoutMs`; false when nothing could be read.
    bool collect(int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    ExitStatus status_;
    bool reaped_ = false;
};

// Runs a program to its end and returns its status with everything it printed.
struct RunResult {
    ExitStatus status;
    std::string out;
    std::string err;
};
RunResult runToEnd(const std::vector<std::string>& argv, int timeoutMs = 20000);

} // namespace cadentor::test
