#pragma once
// A program, or a function of the test's, started as a child process (exit code 127 when the
// program cannot run) with stdin on /dev/null and stdout and stderr in memory files, so that
// programs it starts in turn can hold them without holding up the test; or with both on a
// descriptor of the test's, or with no descriptor open at all. Every wait has a generous timeout
// and never hangs the test. When the child cannot be made, wait() says notStarted at once and no
// signal is sent anywhere (kill(-1, ...) would reach every process the test may signal).

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace cadentor::test {

class ChildProcess {
public:
    static constexpr int noDescriptors = -2;
    explicit ChildProcess(std::vector<std::string> argv, int output = -1)
        : ChildProcess([args = pointers(argv)] { return ::execv(args[0], args.data()), 127; },
                       output) {}
    // The child exits with what `run` returns.
    explicit ChildProcess(const std::function<int()>& run, int output = -1) {
        for (int& fd : fds_)
            fd = ::memfd_create("output", MFD_CLOEXEC);
        if ((pid_ = ::fork()) < 0) {
            status_ = notStarted;
        } else if (pid_ == 0) {
            if (output == noDescriptors) {
                ::close_range(0, ~0U, 0);
            } else {
                ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
                ::dup2(output >= 0 ? output : fds_[0], 1);
                ::dup2(output >= 0 ? output : fds_[1], 2);
            }
            ::_exit(run());
        }
    }
    ~ChildProcess() {
        if (wait(0) == stillRunning) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of stdout without its newline; false when none came in time.
    bool readLine(std::string& line, int timeoutMs = 10000) {
        return within(timeoutMs, [&] {
            const std::string rest = out();
            const std::size_t newline = rest.find('\n');
            if (newline == std::string::npos)
                return false;
            line = rest.substr(0, newline);
            taken_ += newline + 1;
            return true;
        });
    }
    // The exit code, minus the signal that killed it, stillRunning after `timeoutMs`, or
    // notStarted.
    static constexpr int stillRunning = -1000, notStarted = -1001;
    int wait(int timeoutMs = 20000) {
        within(timeoutMs, [&] {
            int status = 0;
            if (status_ == stillRunning && ::waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            return status_ != stillRunning;
        });
        return status_;
    }
    void sendSignal(int signal) {
        if (status_ == stillRunning)
            ::kill(pid_, signal);
    }
    pid_t pid() const { return pid_; }
    // Stdout from after the last line readLine took; stderr.
    std::string out() const { return contents(fds_[0]).substr(taken_); }
    std::string err() const { return contents(fds_[1]); }

private:
    static std::vector<char*> pointers(std::vector<std::string>& argv) {
        std::vector<char*> args;
        for (std::string& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        return args;
    }
    template <typename Done> static bool within(int timeoutMs, Done done) {
        for (int ms = 0; !done();
             ms += 5, std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            if (ms >= timeoutMs)
                return false;
        return true;
    }
    static std::string contents(int fd) {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, text.size())) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    std::size_t taken_ = 0;
    int status_ = stillRunning;
};

} // namespace cadentor::test
