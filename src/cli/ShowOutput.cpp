#include "cli/ShowOutput.h"

#include "files/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
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
constexpr auto exitNoProgress = std::chrono::seconds(2), exitAtMost = std::chrono::seconds(5);
using Clock = std::chrono::steady_clock;

class Output {
public:
    explicit Output(int fd) : fd_(fd), journal_(isJournalStream(fd)) {
        struct stat info {};
        if (::fstat(fd, &info) != 0)
            return;
        if (S_ISSOCK(info.st_mode)) {
            socket_ = true;
        } else if (S_ISFIFO(info.st_mode) || ::isatty(fd) == 1) {
            pipe_ = S_ISFIFO(info.st_mode);
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            own_.reset(::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            if (own_)
                fd_ = own_.get();
        }
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void write(std::string_view text, LogLevel level) {
        if (journal_)
            queue(withLevel(level, text));
        else
            queue(text);
    }

    // Waits for the reader to take what is kept while it takes some within exitNoProgress,
    // until `deadline`.
    void finish(Clock::time_point deadline) {
        Clock::time_point quietUntil = Clock::now() + exitNoProgress;
        while (!pending_.empty() && !gone_) {
            const Clock::time_point now = Clock::now();
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::min(quietUntil, deadline) - now);
            if (left.count() <= 0)
                return;
            pollfd writable{fd_, POLLOUT, 0};
            const int ready = ::poll(&writable, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR)
                return;
            const std::size_t before = pending_.size();
            if (ready > 0 && (flush() || pending_.size() < before))
                quietUntil = Clock::now() + exitNoProgress;
        }
    }

private:
    void queue(std::string_view text) {
        flush();
        if (gone_ || pending_.size() + text.size() > keptAtMost)
            return;
        pending_ += text;
        flush();
    }

    // How much of pending_ the next write offers. A pipe takes a write of at most PIPE_BUF
    // bytes whole or not at all, so whole lines that fit are offered together and a line is
    // never left half written; a longer line, and anything on a terminal or socket, is
    // offered as it stands, and what is not taken follows with the next write.
    std::size_t nextChunk() const {
        if (!pipe_ || pending_.size() <= PIPE_BUF)
            return pending_.size();
        const std::size_t lastEnd = pending_.rfind('\n', PIPE_BUF - 1);
        if (lastEnd != std::string::npos)
            return lastEnd + 1;
        const std::size_t lineEnd = pending_.find('\n');
        return lineEnd == std::string::npos ? pending_.size() : lineEnd + 1;
    }

    // Writes what it can of pending_ without waiting; false when nothing more can go now.
    bool flush() {
        while (!pending_.empty()) {
            const std::size_t chunk = nextChunk();
            const ssize_t written =
                socket_ ? ::send(fd_, pending_.data(), chunk, MSG_DONTWAIT | MSG_NOSIGNAL)
                        : ::write(fd_, pending_.data(), chunk);
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
    bool journal_;
    UniqueFd own_;
    bool socket_ = false;
    bool pipe_ = false;
    bool gone_ = false;
    std::string pending_;
};

Output& standardOutput(int fd) {
    static Output out(STDOUT_FILENO), err(STDERR_FILENO);
    return fd == STDOUT_FILENO ? out : err;
}

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

void writeOutput(int fd, std::string_view text, LogLevel level) {
    if (fd == STDOUT_FILENO || fd == STDERR_FILENO) {
        standardOutput(fd).write(text, level);
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

void finishOutput() {
    const auto deadline = Clock::now() + exitAtMost;
    standardOutput(STDOUT_FILENO).finish(deadline);
    standardOutput(STDERR_FILENO).finish(deadline);
}

} // namespace cadentor::cli
