#pragma once
// A program started as a child process (exit code 127 when it cannot run) with stdin on /dev/null
// and stdout and stderr on pipes, for end-to-end tests. Output is collected while the test waits
// for a line or for the exit; every wait has a generous timeout and never hangs the test.

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace cadentor::test {

class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv) {
        std::vector<char*> args;
        for (std::string& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        int pipes[2][2];
        if (::pipe2(pipes[0], O_CLOEXEC) != 0 || ::pipe2(pipes[1], O_CLOEXEC) != 0 ||
            (pid_ = ::fork()) < 0)
            throw std::runtime_error("cannot start " + argv[0]);
        if (pid_ == 0) {
            ::dup2(::open("/dev/null", O_RDONLY), 0);
            ::dup2(pipes[0][1], 1);
            ::dup2(pipes[1][1], 2);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        for (int i = 0; i < 2; ++i) {
            ::close(pipes[i][1]);
            fds_[i] = pipes[i][0];
        }
    }
    ~ChildProcess() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : fds_)
            ::close(fd);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of stdout without its newline; false when none came in time or stdout ended.
    bool readLine(std::string& line, int timeoutMs = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::size_t newline;
        while ((newline = out_[0].find('\n')) == std::string::npos)
            if (fds_[0] < 0 || msLeft(deadline) == 0 || !collect(msLeft(deadline)))
                return false;
        line = out_[0].substr(0, newline);
        out_[0].erase(0, newline + 1);
        return true;
    }
    // Waits for the exit, collecting output: the exit code, minus the signal that killed it,
    // or stillRunning when `timeoutMs` passed first.
    static constexpr int stillRunning = -1000;
    int wait(int timeoutMs = 20000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        // Programs that the child started may hold the pipes: never wait on them alone.
        for (int status = 0; !reaped_; collect(10)) {
            if ((reaped_ = ::waitpid(pid_, &status, WNOHANG) == pid_))
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            else if (msLeft(deadline) == 0)
                return stillRunning;
        }
        while ((fds_[0] >= 0 || fds_[1] >= 0) && msLeft(deadline) > 0 && collect(50)) {
        }
        return status_;
    }
    void sendSignal(int signal) {
        if (!reaped_)
            ::kill(pid_, signal);
    }
    pid_t pid() const { return pid_; }
    // What arrived so far and was not taken by readLine.
    const std::string& out() const { return out_[0]; }
    const std::string& err() const { return out_[1]; }

private:
    using Clock = std::chrono::steady_clock;
    static int msLeft(Clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    // Polls both pipes for at most `timeoutMs`; false when nothing could be read.
    bool collect(int timeoutMs) {
        pollfd polled[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if (::poll(polled, 2, timeoutMs) <= 0)
            return false;
        bool got = false;
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            ssize_t n = polled[i].revents == 0 ? -1 : ::read(fds_[i], buffer, sizeof buffer);
            if (n > 0)
                got = out_[i].append(buffer, static_cast<std::size_t>(n)).size() > 0;
            else if (n == 0) // the end of this pipe: stop polling it
                ::close(std::exchange(fds_[i], -1));
        }
        return got || fds_[0] >= 0 || fds_[1] >= 0;
    }

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    std::string out_[2];
    int status_ = stillRunning;
    bool reaped_ = false;
};

} // namespace cadentor::test
