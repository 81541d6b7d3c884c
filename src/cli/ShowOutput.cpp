#include "cli/ShowOutput.h"

#include "files/UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cadentor::cli {

namespace {

constexpr std::size_t keptAtMost = 1u << 20;
constexpr int lastFlushRounds = 10, lastFlushRoundMs = 20;

class Output {
public:
    explicit Output(int fd) : fd_(fd) {
        struct stat info {};
        if (::fstat(fd, &info) != 0)
            return;
        if (S_ISSOCK(info.st_mode)) {
            socket_ = true;
        } else if (S_ISFIFO(info.st_mode) || ::isatty(fd) == 1) {
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            own_.reset(::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            if (own_)
                fd_ = own_.get();
        }
    }
    // What is still kept gets a last chance while the reader takes it, not waiting for one
    // that takes nothing.
    ~Output() {
        pollfd writable{fd_, POLLOUT, 0};
        for (int round = 0; round < lastFlushRounds && !pending_.empty() && !gone_ &&
                            ::poll(&writable, 1, lastFlushRoundMs) > 0;
             ++round)
            flush();
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void write(std::string_view text) {
        flush();
        if (gone_ || pending_.size() + text.size() > keptAtMost)
            return;
        pending_ += text;
        flush();
    }

private:
    // Writes what it can of pending_ without waiting; false when nothing more can go now.
    bool flush() {
        while (!pending_.empty()) {
            const ssize_t written =
                socket_ ? ::send(fd_, pending_.data(), pending_.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                        : ::write(fd_, pending_.data(), pending_.size());
            if (written > 0) {
                pending_.erase(0, static_cast<std::size_t>(written));
                continue;
            }
            if (written < 0 && errno == EINTR)
                continue;
            if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                gone_ = true;
                pending_.clear();
            }
            return false;
        }
        return true;
    }

    int fd_;
    UniqueFd own_;
    bool socket_ = false;
    bool gone_ = false;
    std::string pending_;
};

void ignoreBrokenPipe(int) {}

} // namespace

void prepareStandardOutput() {
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            UniqueFd null(::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY));
            if (null.get() == fd)
                null.release(); // it took the free place itself: keep it there
            else if (null)
                ::dup2(null.get(), fd);
        }
    struct sigaction action {};
    action.sa_handler = ignoreBrokenPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGPIPE, &action, nullptr);
}

void writeOutput(int fd, std::string_view text) {
    if (fd == STDOUT_FILENO || fd == STDERR_FILENO) {
        static Output out(STDOUT_FILENO), err(STDERR_FILENO);
        (fd == STDOUT_FILENO ? out : err).write(text);
        return;
    }
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

} // namespace cadentor::cli
