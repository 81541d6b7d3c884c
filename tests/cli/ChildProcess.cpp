#include "ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace cadentor::test {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int result = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (result != 0) {
        ::close(outFd_);
        ::close(errFd_);
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(outFd_);
    ::close(errFd_);
}

bool ChildProcess::collect(int timeoutMs) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, timeoutMs);
    if (ready <= 0)
        return false;
    bool got = false;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0 || fds[i].fd < 0)
            continue;
        char buffer[4096];
        ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
            got = true;
        } else if (n == 0) {
            // The end of this pipe: stop polling it.
            int& fd = i == 0 ? outFd_ : errFd_;
            ::close(fd);
            fd = -1;
        }
    }
    return got || outFd_ >= 0 || errFd_ >= 0;
}

bool ChildProcess::readLine(std::string& line, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::size_t newline = out_.find('\n');
        if (newline != std::string::npos) {
            line = out_.substr(0, newline);
            out_.erase(0, newline + 1);
            return true;
        }
        if (outFd_ < 0 || msLeft(deadline) == 0)
            return false;
        collect(msLeft(deadline));
    }
}

ExitStatus ChildProcess::wait(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reaped_) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            status_.exited = WIFEXITED(status);
            status_.code = status_.exited ? WEXITSTATUS(status) : -1;
            status_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            break;
        }
        if (msLeft(deadline) == 0)
            return ExitStatus{};
        // Programs that the child started may hold the pipes: never wait on them alone.
        if (!collect(10))
            ::usleep(10000);
    }
    // Whatever is left in the pipes; a started program that still holds them is not waited for.
    while (collect(50) && (outFd_ >= 0 || errFd_ >= 0) && msLeft(deadline) > 0) {
    }
    return status_;
}

void ChildProcess::sendSignal(int signal) {
    if (!reaped_)
        ::kill(pid_, signal);
}

RunResult runToEnd(const std::vector<std::string>& argv, int timeoutMs) {
    ChildProcess child(argv);
    RunResult result;
    result.status = child.wait(timeoutMs);
    result.out = child.out();
    result.err = child.err();
    return result;
}

} // namespace cadentor::test
