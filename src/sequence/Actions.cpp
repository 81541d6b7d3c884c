#include "sequence/Actions.h"

#include "files/DescriptorLimit.h"
#include "files/UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cadentor {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "scheme:" with a scheme of two or more characters (a letter, then letters, digits, '+',
// '-' or '.'), so that a drive letter such as "C:\x" is not taken for a scheme.
bool hasUrlScheme(std::string_view target) {
    if (target.empty() || !isAsciiLetter(target[0]))
        return false;
    std::size_t i = 1;
    while (i < target.size() &&
           (isAsciiLetter(target[i]) || (target[i] >= '0' && target[i] <= '9') ||
            target[i] == '+' || target[i] == '-' || target[i] == '.'))
        ++i;
    return i >= 2 && i < target.size() && target[i] == ':';
}

std::string_view cutAtZero(std::string_view text) {
    const std::size_t zero = text.find('\0');
    return zero == std::string_view::npos ? text : text.substr(0, zero);
}

// One past the highest descriptor to look at where close_range is not there.
int descriptorLimit() {
    const long limit = ::sysconf(_SC_OPEN_MAX);
    return limit > 0 && limit < 65536 ? static_cast<int>(limit) : 65536;
}

ProgramOutput programOutput = ProgramOutput::Null;

// What the started program's side reports through the result pipe when it cannot go on.
enum class ChildStep : int { Fork = 1, NullDevice = 2, Exec = 3 };
struct ChildFailure {
    ChildStep step;
    int error;
};

// Ends the program's side of a start that cannot go on. Every descriptor but the result pipe is
// closed first: the parent goes on as soon as the word arrives, and a copy of a port's
// descriptor still open here would keep its lock from the port's next opening.
[[noreturn]] void failStart(int fd, ChildStep step, int error) {
    for (int other = 0; other < fd; ++other)
        ::close(other);
    if (::close_range(static_cast<unsigned>(fd) + 1, ~0U, 0) != 0)
        for (int other = fd + 1; other < descriptorLimit(); ++other)
            ::close(other);
    const ChildFailure failure{step, error};
    ssize_t ignored = ::write(fd, &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
}

// Everything the started program must not inherit from us, done in the child before exec:
// a session of its own (no controlling terminal), default handling for every signal we
// ignore (handled ones are reset by exec itself), an empty signal mask, /dev/null as its
// stdin, stdout and stderr (stdout and stderr kept as they are with `keepOutput`), and
// every other descriptor marked close-on-exec. Only async-signal-safe calls. False with errno
// set when /dev/null cannot be opened.
bool prepareDetachedChild(bool keepOutput) {
    ::setsid();
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            struct sigaction standard {};
            standard.sa_handler = SIG_DFL;
            ::sigaction(sig, &standard, nullptr);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    UniqueFd null(::open("/dev/null", O_RDWR));
    if (!null)
        return false;
    for (int fd = 0; fd < 3; ++fd) {
        if (keepOutput && fd > 0)
            continue;
        if (::dup2(null.get(), fd) < 0)
            return false;
    }
    if (null.get() <= 2)
        null.release(); // it is one of the three now
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        for (int fd = 3; fd < descriptorLimit(); ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    restoreDescriptorLimit(); // after the loop above, which reaches our own raised limit
    return true;
}

// The file that exec runs for `program`: a name with a '/' is a path as it stands; any other
// name is looked for in the directories of PATH (an empty entry is the current directory), as
// an executable regular file. Empty when there is none.
std::string findProgram(const std::string& program) {
    if (program.find('/') != std::string::npos)
        return program;
    const char* path = std::getenv("PATH");
    const std::string directories = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= directories.size()) {
        std::size_t end = directories.find(':', start);
        if (end == std::string::npos)
            end = directories.size();
        const std::string directory = directories.substr(start, end - start);
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + program;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

bool fail(std::string* whyNot, std::string reason) {
    if (whyNot)
        *whyNot = std::move(reason);
    return false;
}

// Starts words[0] (searched on PATH) with `words` as its arguments, detached. An intermediate
// child forks the program and exits at once; we reap the intermediate here, so the program is
// handed to init and never becomes our zombie, and we keep no hold on it. The program's exec
// closes a close-on-exec pipe; when a step before or the exec itself fails, the program's side
// writes the step and errno into it instead. So the pipe tells whether the program was
// started, and why not. (glibc's posix_spawn is not used: it leaves its two internal signals
// ignored in the started program.)
bool spawnDetached(const std::vector<std::string>& words, std::string* whyNot) {
    if (words.empty())
        return fail(whyNot, "the command line is empty");
    if (words[0].empty())
        return fail(whyNot, "the program name is empty");
    const std::string file = findProgram(words[0]);
    if (file.empty())
        return fail(whyNot, words[0] + ": not found on PATH");
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    int result[2];
    if (::pipe2(result, O_CLOEXEC) != 0)
        return fail(whyNot, std::string("cannot start a process: ") + std::strerror(errno));
    UniqueFd reading(result[0]);
    UniqueFd writing(result[1]);
    const bool keepOutput = programOutput == ProgramOutput::Inherit;
    const pid_t intermediate = ::fork();
    if (intermediate == 0) {
        // Keep the pipe clear of 0, 1 and 2, which become /dev/null (our own may be closed).
        int report = writing.get();
        if (report < 3)
            report = ::fcntl(report, F_DUPFD_CLOEXEC, 3);
        const pid_t program = ::fork();
        if (program == 0) {
            if (!prepareDetachedChild(keepOutput))
                failStart(report, ChildStep::NullDevice, errno);
            // Only a real executable: a file that the kernel cannot run is a failure, never
            // handed to a shell.
            ::execv(file.c_str(), argv.data());
            failStart(report, ChildStep::Exec, errno);
        }
        if (program < 0)
            failStart(report, ChildStep::Fork, errno);
        ::_exit(0);
    }
    const int forkError = errno;
    writing.reset();
    if (intermediate < 0)
        return fail(whyNot, std::string("cannot start a process: ") + std::strerror(forkError));
    int status = 0;
    while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }
    ChildFailure failure{};
    ssize_t got;
    do
        got = ::read(reading.get(), &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        const std::string reason = std::strerror(failure.error);
        switch (failure.step) {
        case ChildStep::Fork:
            return fail(whyNot, "cannot start a process: " + reason);
        case ChildStep::NullDevice:
            return fail(whyNot, "/dev/null: " + reason);
        case ChildStep::Exec:
            return fail(whyNot, file + ": " + reason);
        }
    }
    // End of file without a word from the program's side: its exec went through.
    if (got != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail(whyNot, "cannot start a process: it ended before it could report");
    return true;
}

} // namespace

void setProgramOutput(ProgramOutput output) {
    programOutput = output;
}

std::vector<std::string> splitCommandLine(std::string_view commandLine) {
    std::vector<std::string> words;
    std::size_t i = 0;
    const std::size_t size = commandLine.size();
    while (i < size) {
        while (i < size && isBlank(commandLine[i]))
            ++i;
        if (i == size)
            break;
        // One word: runs of plain bytes and quoted runs, up to the next blank outside quotes.
        // A quote that is never closed takes the rest of the line into the word.
        std::string word;
        while (i < size && !isBlank(commandLine[i])) {
            const char c = commandLine[i];
            if (c == '"' || c == '\'') {
                const std::size_t close = commandLine.find(c, i + 1);
                const std::size_t end = close == std::string_view::npos ? size : close;
                word.append(commandLine.substr(i + 1, end - i - 1));
                i = close == std::string_view::npos ? size : close + 1;
            } else {
                word.push_back(c);
                ++i;
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

bool startProgram(std::string_view commandLine, std::string* whyNot) {
    return spawnDetached(splitCommandLine(cutAtZero(commandLine)), whyNot);
}

bool openTarget(std::string_view target, std::string* whyNot) {
    const std::string text(cutAtZero(target));
    if (text.empty())
        return fail(whyNot, "the target is empty");
    if (!hasUrlScheme(text)) {
        struct stat info {};
        if (::stat(text.c_str(), &info) != 0)
            return fail(whyNot, text + ": " + std::strerror(errno));
    }
    return spawnDetached({"xdg-open", text}, whyNot);
}

} // namespace cadentor
