// How closely two runners given the same --start-at fire together on one machine.
//
// Two directories, each with its own pty as port 0 and the same sequence of N events 10 ms
// apart (event k sends the byte k % 256). Both runners get the same --start-at, a second and a
// half ahead; a thread per pty timestamps (CLOCK_MONOTONIC) every byte as it arrives. The
// figures are the differences of the two arrival times per event: p50, p99 and max. With
// --realtime both runners run on SCHED_FIFO (root, or LimitRTPRIO).
// usage: cadentor-start-at-bench [--runner PATH] [--events N] [--realtime]

#include "cli/OptionReader.h"
#include "pty/PtyPair.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "cadentor-start-at-bench: %s\n", what.c_str());
    std::exit(1);
}

std::int64_t monotonicNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

struct Runner {
    cadentor::PtyPair pty;
    std::string dir;
    std::vector<std::int64_t> arrivals;
    pid_t pid = -1;
};

void prepare(Runner& runner, int events) {
    std::string error;
    if (!cadentor::openPtyPair(runner.pty, true, error))
        fail(error);
    char pattern[] = "/tmp/cadentor-start-at-XXXXXX";
    if (!::mkdtemp(pattern))
        fail("mkdtemp");
    runner.dir = pattern;
    std::ofstream(runner.dir + "/Config.ini")
        << "[Common]\nRequire=1\n[Port0]\nDevice=" << runner.pty.slavePath << "\n";
    std::ofstream commands(runner.dir + "/Command.def");
    std::ofstream sequence(runner.dir + "/seq.txt");
    for (int k = 0; k < events; ++k) {
        char line[64];
        std::snprintf(line, sizeof line, "E%d: 0: %02X\n", k, k % 256);
        commands << line;
        std::snprintf(line, sizeof line, "0:%d:%d.%03d E%d\n", k * 10 / 60000, k * 10 / 1000 % 60,
                      k * 10 % 1000, k);
        sequence << line;
    }
}

// Above the runners' priority where the system allows it, so that the arrival times are the
// runners' and not the readers' lateness.
void receive(Runner& runner, int events) {
    const sched_param priority{20};
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
    const int master = runner.pty.master.get();
    char buffer[256];
    while (static_cast<int>(runner.arrivals.size()) < events) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        const std::int64_t at = monotonicNs();
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i)
            if (static_cast<unsigned char>(buffer[i]) == runner.arrivals.size() % 256)
                runner.arrivals.push_back(at);
    }
}

double percentile(std::vector<double> sorted, double p) {
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * sorted.size()))];
}

} // namespace

int main(int argc, char** argv) {
    std::string runnerPath = CADENTOR_RUN_PATH;
    int events = 500;
    bool realtime = false;
    cadentor::cli::OptionReader args(argc, argv);
    while (args.next()) {
        std::optional<std::string> value;
        if ((value = args.value("--runner")) && !value->empty()) {
            runnerPath = *value;
        } else if ((value = args.value("--events"))) {
            const std::optional<long> n = cadentor::cli::parseNumber(*value, 2, 60000);
            if (!n)
                fail("--events must be from 2 to 60000");
            events = static_cast<int>(*n);
        } else if (args.isFlag("--realtime")) {
            realtime = true;
        } else {
            std::fprintf(
                stderr,
                "usage: cadentor-start-at-bench [--runner PATH] [--events N] [--realtime]\n");
            return 2;
        }
    }
    Runner runners[2];
    for (Runner& runner : runners)
        prepare(runner, events);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::time_t startS = now.tv_sec + 2; // 1 to 2 s ahead, on a whole second, in UTC
    std::tm tm{};
    ::gmtime_r(&startS, &tm);
    char start[32];
    std::strftime(start, sizeof start, "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::vector<std::thread> readers;
    for (Runner& runner : runners) {
        readers.emplace_back(receive, std::ref(runner), events);
        std::vector<std::string> argvs{runnerPath, "--dir", runner.dir, "--start-at", start};
        if (realtime)
            argvs.push_back("--realtime");
        argvs.push_back(runner.dir + "/seq.txt");
        std::vector<char*> pointers;
        for (std::string& arg : argvs)
            pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (::posix_spawn(&runner.pid, runnerPath.c_str(), &actions, nullptr, pointers.data(),
                          environ) != 0)
            fail("cannot start " + runnerPath);
        posix_spawn_file_actions_destroy(&actions);
    }
    for (Runner& runner : runners) {
        int status = 0;
        ::waitpid(runner.pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fail("a runner failed");
    }
    for (Runner& runner : runners)
        ::close(runner.pty.master.release()); // ends a reader still waiting
    for (std::thread& reader : readers)
        reader.join();
    if (static_cast<int>(runners[0].arrivals.size()) != events ||
        static_cast<int>(runners[1].arrivals.size()) != events)
        fail("bytes were lost");
    std::vector<double> differences;
    for (int k = 0; k < events; ++k)
        differences.push_back(
            std::fabs(static_cast<double>(runners[0].arrivals[k] - runners[1].arrivals[k])) / 1e6);
    std::printf("two runners, --start-at %s%s, %d events 10 ms apart: difference of arrival "
                "p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                start, realtime ? " --realtime" : "", events, percentile(differences, 0.5),
                percentile(differences, 0.99), percentile(differences, 1.0));
    for (Runner& runner : runners)
        std::filesystem::remove_all(runner.dir);
    return 0;
}
