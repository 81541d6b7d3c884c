#include "sequence/Actions.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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

// Starts argv[0] (searched on PATH) with argv, detached: in its own session, with default
// signal handling, an empty signal mask and none of our descriptors beyond 0, 1 and 2.
// An intermediate child spawns the program, reports the spawn result through a close-on-exec
// pipe and exits at once; we reap it here, so the program is handed to init and never becomes
// our zombie. True when the program was started.
bool spawnDetached(const std::vector<std::string>& words) {
    if (words.empty() || words[0].empty())
        return false;
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return false;
    sigset_t allSignals, noSignals;
    sigfillset(&allSignals);
    sigemptyset(&noSignals);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#ifdef POSIX_SPAWN_SETSID
    flags |= POSIX_SPAWN_SETSID;
#endif
    posix_spawnattr_setflags(&attributes, flags);
    posix_spawnattr_setsigdefault(&attributes, &allSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);

    posix_spawn_file_actions_t fileActions;
    if (posix_spawn_file_actions_init(&fileActions) != 0) {
        posix_spawnattr_destroy(&attributes);
        return false;
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&fileActions, 3);
#endif

    bool started = false;
    int result[2];
    if (::pipe2(result, O_CLOEXEC) == 0) {
        const pid_t intermediate = ::fork();
        if (intermediate == 0) {
            pid_t program = 0;
            int error =
                posix_spawnp(&program, argv[0], &fileActions, &attributes, argv.data(), environ);
            ssize_t ignored = ::write(result[1], &error, sizeof error);
            (void)ignored;
            ::_exit(0);
        }
        ::close(result[1]);
        if (intermediate > 0) {
            int status = 0;
            while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
            }
            int error = -1;
            ssize_t got;
            do
                got = ::read(result[0], &error, sizeof error);
            while (got < 0 && errno == EINTR);
            started = got == static_cast<ssize_t>(sizeof error) && error == 0;
        }
        ::close(result[0]);
    }
    posix_spawn_file_actions_destroy(&fileActions);
    posix_spawnattr_destroy(&attributes);
    return started;
}

} // namespace

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

bool startProgram(std::string_view commandLine) {
    return spawnDetached(splitCommandLine(cutAtZero(commandLine)));
}

bool openTarget(std::string_view target) {
    const std::string text(cutAtZero(target));
    if (text.empty())
        return false;
    if (!hasUrlScheme(text)) {
        struct stat info {};
        if (::stat(text.c_str(), &info) != 0)
            return false;
    }
    return spawnDetached({"xdg-open", text});
}

} // namespace cadentor
