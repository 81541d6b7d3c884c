// Timing bench of cadentor-run: how late do events arrive at the device, and at what CPU cost?
//
// The bench holds a pseudo-terminal, points Config.ini at its slave, generates a sequence whose
// events each send three distinct bytes (so order and content can be checked), runs
// cadentor-run and timestamps every chunk that arrives at the master side. An event's lateness
// is its arrival minus the first event's arrival, minus the difference of their time codes.
// The same events are then sent by a naive script, a bash loop that prints each event's bytes
// to the slave and sleeps the interval in between, so the figures can be compared on the same
// machine under the same load. Two variants: steady (one event every 5 ms) and bursts (50
// events at the same time code, bursts 50 ms apart). Then a loaded phase: the bench starts
// three busy processes per processor (normal priority) and measures, one event a millisecond,
// the bare timer loop, cadentor-run, and cadentor-run --realtime, each program's lateness taken
// against its own median offset (p50 = 0) so that a late first event does not shift the rest;
// when cyclictest (rt-tests) is installed it runs at the same real-time priority during the
// --realtime run and gives the machine's floor for those seconds. Then a stalled port beside a
// healthy one: how late the healthy port's events are while the other port is stuck. Last, how
// soon SIGTERM ends a run whose device takes no data (a pty nobody reads) while a write waits
// for it.
//
// The control phase runs the steady events with --control twice, without clients and with a
// client polling GET /status 20 times a second and another reading GET /stream (Server-Sent
// Events): clients must not make the events later. Once at normal priority and once with
// --realtime, whose run thread the clients' requests cannot delay unless the control does.
//
// usage: cadentor-timing-bench [--runner PATH] [--events N] [--no-baseline] [--no-load]
//        [--no-control]

#include "cli/OptionReader.h"
#include "pty/PtyPair.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iterator>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int bytesPerEvent = 3;

std::uint64_t nowNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(t.tv_nsec);
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "cadentor-timing-bench: %s\n", what.c_str());
    std::exit(1);
}

// The three bytes of event k: its index in two bytes and a check byte.
std::string eventBytes(int k) {
    std::string bytes;
    bytes += static_cast<char>((k >> 8) & 0xFF);
    bytes += static_cast<char>(k & 0xFF);
    bytes += static_cast<char>((k * 37 + 11) & 0xFF);
    return bytes;
}

struct Variant {
    std::string name;
    std::vector<std::uint32_t> nominalMs; // per event
};

Variant steady(int events) {
    Variant v{"steady 5 ms", {}};
    for (int k = 0; k < events; ++k)
        v.nominalMs.push_back(static_cast<std::uint32_t>(5 * k));
    return v;
}

Variant bursts(int events) {
    Variant v{"bursts 50x", {}};
    for (int k = 0; k < events; ++k)
        v.nominalMs.push_back(static_cast<std::uint32_t>(50 * (k / 50)));
    return v;
}

std::string timeText(std::uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%u:%u:%u.%03u", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                  ms % 1000);
    return text;
}

// A pty whose slave is held open in raw mode, so that writers' closes never hang it up and no
// byte is translated.
struct Device {
    cadentor::PtyPair pty;
    int master = -1;
    std::string path;
    Device() {
        std::string error;
        if (!cadentor::openPtyPair(pty, true, error))
            fail(error);
        master = pty.master.get();
        path = pty.slavePath;
    }
    void drain() {
        char buffer[4096];
        pollfd p{master, POLLIN, 0};
        while (::poll(&p, 1, 50) > 0 && ::read(master, buffer, sizeof buffer) > 0) {
        }
    }
};

struct Chunk {
    std::size_t end; // bytes received up to and including this chunk
    std::uint64_t atNs;
};

struct Measurement {
    bool ran = false;
    int exitCode = -1;
    std::string received;
    std::vector<Chunk> chunks;
    double wallS = 0;
    double cpuS = 0;
};

pid_t spawn(const std::vector<std::string>& argv, bool quietStdout, bool quietStderr = false) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (quietStdout)
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (quietStderr)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int error = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        fail("cannot start " + argv[0] + ": " + std::strerror(error));
    return pid;
}

// Runs `argv` and records every chunk that reaches the master until `expected` bytes came,
// or the program ended and the line stayed quiet, or `timeoutS` passed.
Measurement measure(Device& device, const std::function<pid_t()>& start, std::size_t expected,
                    double timeoutS) {
    device.drain();
    Measurement m;
    const std::uint64_t begin = nowNs();
    pid_t pid = start();
    bool exited = false;
    int status = 0;
    rusage usage{};
    std::uint64_t endNs = 0;
    const std::uint64_t deadline = begin + static_cast<std::uint64_t>(timeoutS * 1e9);
    for (;;) {
        if (!exited) {
            pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
            if (done == pid) {
                exited = true;
                endNs = nowNs();
            }
        }
        if (m.received.size() >= expected && exited)
            break;
        if (nowNs() > deadline) {
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p{device.master, POLLIN, 0};
        int ready = ::poll(&p, 1, exited ? 300 : 20);
        if (ready > 0) {
            char buffer[4096];
            ssize_t n = ::read(device.master, buffer, sizeof buffer);
            std::uint64_t at = nowNs();
            if (n > 0) {
                m.received.append(buffer, static_cast<std::size_t>(n));
                m.chunks.push_back({m.received.size(), at});
            }
        } else if (ready == 0 && exited) {
            break; // quiet after the end: whatever is missing was lost
        }
    }
    if (!exited) {
        ::wait4(pid, &status, 0, &usage);
        endNs = nowNs();
    }
    m.ran = true;
    m.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m.wallS = static_cast<double>(endNs - begin) / 1e9;
    m.cpuS = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return m;
}

// The floor of this machine: a forked child of the bench that writes each event's bytes at its
// absolute CLOCK_MONOTONIC deadline (timerfd, finest timer slack), with nothing else to do.
// No program that sleeps between events can do better here.
pid_t forkFloor(const std::string& path, const std::vector<std::uint32_t>& dueMs, int events) {
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::prctl(PR_SET_TIMERSLACK, 1ul, 0, 0, 0);
    int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY);
    int timer = ::timerfd_create(CLOCK_MONOTONIC, 0);
    if (fd < 0 || timer < 0)
        ::_exit(1);
    const std::uint64_t origin = (nowNs() / 1000000u + 1) * 1000000u;
    for (int k = 0; k < events; ++k) {
        std::uint64_t due = origin + std::uint64_t{dueMs[static_cast<std::size_t>(k)]} * 1000000u;
        itimerspec when{};
        when.it_value.tv_sec = static_cast<time_t>(due / 1000000000u);
        when.it_value.tv_nsec = static_cast<long>(due % 1000000000u);
        std::uint64_t expirations = 0;
        if (due > nowNs() && (::timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, nullptr) != 0 ||
                              ::read(timer, &expirations, sizeof expirations) < 0))
            ::_exit(1);
        std::string bytes = eventBytes(k);
        if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            ::_exit(1);
    }
    ::_exit(0);
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// The time codes as the runner has them, from its --list output ("h:m:s.mmm<TAB>...").
std::vector<std::uint32_t> listedTimeCodes(const std::string& runner, const std::string& dir,
                                           const std::string& sequence) {
    int out[2];
    if (::pipe(out) != 0)
        fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> argv = {runner, "--dir", dir, "--list", sequence};
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        fail("cannot start " + runner);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text = readAll(out[0]);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("cadentor-run --list failed on the generated files");
    std::vector<std::uint32_t> codes;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned h = 0, m = 0, s = 0, ms = 0;
        if (std::sscanf(line.c_str(), "%u:%u:%u.%u", &h, &m, &s, &ms) != 4)
            fail("unexpected --list line: " + line);
        codes.push_back(((h * 60 + m) * 60 + s) * 1000 + ms);
    }
    return codes;
}

struct Figures {
    std::size_t wrongBytes = 0; // bytes that differ or are missing
    bool inOrder = true;
    double p50 = 0, p99 = 0, max = 0; // ms
    std::size_t over1ms = 0;          // events more than 1 ms late
};

double percentile(std::vector<double> sorted, double p) {
    if (sorted.empty())
        return NAN;
    std::size_t i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, i == 0 ? 0 : i - 1)];
}

// Lateness against the first event's arrival, or (`againstMedian`) against the median offset.
Figures analyse(const Measurement& m, const std::string& expected,
                const std::vector<std::uint32_t>& dueMs, bool againstMedian = false) {
    Figures f;
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (i >= m.received.size() || m.received[i] != expected[i])
            ++f.wrongBytes;
    f.wrongBytes += m.received.size() > expected.size() ? m.received.size() - expected.size() : 0;

    const std::size_t events = dueMs.size();
    std::vector<std::uint64_t> arrival(events, 0);
    std::size_t chunk = 0;
    for (std::size_t k = 0; k < events; ++k) {
        std::size_t last = k * bytesPerEvent + bytesPerEvent - 1;
        while (chunk < m.chunks.size() && m.chunks[chunk].end <= last)
            ++chunk;
        if (chunk == m.chunks.size()) {
            arrival.resize(k);
            break;
        }
        arrival[k] = m.chunks[chunk].atNs;
    }
    std::vector<double> lateness;
    for (std::size_t k = 0; k < arrival.size(); ++k) {
        double sinceFirst = static_cast<double>(arrival[k] - arrival[0]) / 1e6;
        lateness.push_back(sinceFirst - static_cast<double>(dueMs[k] - dueMs[0]));
    }
    // Content checked byte for byte; arrivals of whole events must also keep their order.
    for (std::size_t k = 1; k < arrival.size(); ++k)
        f.inOrder = f.inOrder && arrival[k] >= arrival[k - 1];
    f.inOrder = f.inOrder && f.wrongBytes == 0;
    std::sort(lateness.begin(), lateness.end());
    if (againstMedian && !lateness.empty()) {
        const double median = percentile(lateness, 0.50);
        for (double& late : lateness)
            late -= median;
    }
    f.p50 = percentile(lateness, 0.50);
    f.p99 = percentile(lateness, 0.99);
    f.max = lateness.empty() ? NAN : lateness.back();
    f.over1ms = static_cast<std::size_t>(lateness.end() -
                                         std::upper_bound(lateness.begin(), lateness.end(), 1.0));
    return f;
}

void printRow(const std::string& variant, const std::string& program, const Measurement& m,
              const Figures& f) {
    std::printf("%-12s %-13s %4d %-8s %6zu %9.3f %9.3f %9.3f %6zu %8.2f %7.3f %6.2f\n",
                variant.c_str(), program.c_str(), m.exitCode, f.inOrder ? "yes" : "NO",
                f.wrongBytes, f.p50, f.p99, f.max, f.over1ms, m.wallS, m.cpuS,
                m.wallS > 0 ? 100.0 * m.cpuS / m.wallS : 0.0);
    std::fflush(stdout);
}

// SIGTERM to exit of cadentor-run inside a write to a device that takes no data, in ms, over
// `runs` runs with a fresh pty each; the write time-out is far longer than any of them.
void measureStopInAStuckWrite(const std::string& runner, const std::string& dir, int runs) {
    std::string block;
    for (int i = 0; i < 256; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", i);
        block += hex;
    }
    std::ofstream(dir + "/Command.def") << "Block: 0:" << block << "\n";
    {
        std::ofstream sequence(dir + "/stuck.txt");
        for (int i = 0; i < 400; ++i) // 100 KB: far more than a pty takes unread
            sequence << "0:0 Block\n";
    }
    std::vector<double> ms;
    int wrongExits = 0;
    for (int run = 0; run < runs; ++run) {
        cadentor::PtyPair pty;
        std::string error;
        if (!cadentor::openPtyPair(pty, true, error))
            fail(error);
        std::ofstream(dir + "/Config.ini")
            << "[Port0]\nDevice=" << pty.slavePath << "\nWriteTimeout=600000\n";
        const pid_t pid = spawn({runner, "--dir", dir, dir + "/stuck.txt"}, true, true);
        ::usleep(400000); // the pty is full long before this
        const std::uint64_t start = nowNs();
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ms.push_back((nowNs() - start) / 1e6);
        wrongExits += !(WIFEXITED(status) && WEXITSTATUS(status) == 143);
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "\nstop inside a stuck write (SIGTERM to exit, %d runs): median %.2f ms, max %.2f ms"
        "%s\n",
        runs, ms[ms.size() / 2], ms.back(), wrongExits ? ", SOME EXITS NOT 143" : "");
}

// Busy processes at normal priority, started by the bench and killed when it is destroyed.
struct BusyLoad {
    std::vector<pid_t> pids;
    explicit BusyLoad(long count) {
        for (long i = 0; i < count; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0)
                for (;;)
                    asm volatile("" ::: "memory");
            if (pid < 0)
                fail("fork");
            pids.push_back(pid);
        }
    }
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;
    ~BusyLoad() {
        for (pid_t pid : pids)
            ::kill(pid, SIGKILL);
        for (pid_t pid : pids)
            ::waitpid(pid, nullptr, 0);
    }
};

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

// cyclictest's p99 and max in ms, from its histogram (1 us buckets up to 20 ms; overflows count
// as the max it reports); nothing when it did not run.
struct CyclicFigures {
    bool ran = false;
    double p99 = 0, max = 0;
    std::string error;
};

CyclicFigures cyclictestFigures(const std::string& output) {
    CyclicFigures c;
    std::vector<std::pair<long, long>> buckets;
    long total = 0, maxUs = -1;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        long bucket = 0, count = 0;
        if (std::sscanf(line.c_str(), "%ld %ld", &bucket, &count) == 2 && line[0] != '#') {
            buckets.push_back({bucket, count});
            total += count;
        } else if (line.starts_with("# Max Latencies:")) {
            maxUs = std::atol(line.c_str() + 16);
        } else if (line.starts_with("# Histogram Overflows:")) {
            total += std::atol(line.c_str() + 22);
        }
    }
    if (maxUs < 0 || total == 0) {
        c.error = output.substr(0, output.find('\n'));
        return c;
    }
    long seen = 0, p99Us = maxUs;
    for (const auto& [bucket, count] : buckets)
        if ((seen += count) * 100 >= total * 99) {
            p99Us = bucket;
            break;
        }
    c.ran = true;
    c.p99 = static_cast<double>(p99Us) / 1000.0;
    c.max = static_cast<double>(maxUs) / 1000.0;
    return c;
}

// The loaded phase: one event a millisecond while three busy processes per processor run,
// through the bare timer loop, cadentor-run and cadentor-run --realtime (beside cyclictest at
// the same priority when it is installed). False when a run of cadentor-run failed or lost
// bytes.
bool measureUnderLoad(Device& device, const std::string& runner, const std::string& dir,
                      const std::string& expected, int events, long cpus) {
    const std::string sequence = dir + "/loaded.txt";
    {
        std::ofstream out(sequence);
        for (int k = 0; k < events; ++k) {
            char name[16];
            std::snprintf(name, sizeof name, "E%05d", k);
            out << timeText(static_cast<std::uint32_t>(k)) << ' ' << name << '\n';
        }
    }
    const std::vector<std::uint32_t> due = listedTimeCodes(runner, dir, sequence);
    const double span = static_cast<double>(due.back() - due.front()) / 1000.0;
    const std::string variant = "loaded 1 ms";

    std::printf("\nloaded: %ld busy processes (3 per CPU, normal priority), one event a "
                "millisecond; lateness against each program's median offset (p50 = 0)\n",
                3 * cpus);
    BusyLoad load(3 * cpus);
    // The bench reads the arrivals above the runner's priority, or the load would make its own
    // wake-ups late; the programs it starts (the load already runs) get normal priority.
    sched_param readerPriority{};
    readerPriority.sched_priority = 20;
    const bool readerRealtime =
        ::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &readerPriority) == 0;
    if (!readerRealtime)
        std::printf("(the bench reads at normal priority: SCHED_FIFO refused, %s; its own "
                    "wake-ups add to every figure)\n",
                    std::strerror(errno));
    ::usleep(500000); // the load spreads over the processors
    Measurement bareRun = measure(
        device, [&] { return forkFloor(device.path, due, events); }, expected.size(), span + 30);
    const Figures bare = analyse(bareRun, expected, due, true);
    printRow(variant, "bare loop", bareRun, bare);

    bool whole = true;
    Figures realtime;
    CyclicFigures cyclic;
    for (const bool rt : {false, true}) {
        const std::string cyclicOut = dir + "/cyclictest.txt";
        pid_t cyclicPid = -1;
        if (rt && onPath("cyclictest")) {
            const int seconds = static_cast<int>(std::ceil(span));
            cyclicPid = spawn({"sh", "-c",
                               "exec cyclictest -q -m -p 10 -i 1000 -h 20000 -D " +
                                   std::to_string(seconds) + " >'" + cyclicOut + "' 2>&1"},
                              false);
        }
        std::vector<std::string> argv{runner, "--dir", dir, sequence};
        if (rt)
            argv.insert(argv.begin() + 3, "--realtime");
        Measurement run = measure(
            device, [&] { return spawn(argv, true); }, expected.size(), span + 30);
        const Figures figures = analyse(run, expected, due, true);
        printRow(variant, rt ? "--realtime" : "cadentor-run", run, figures);
        whole = whole && run.exitCode == 0 && figures.inOrder;
        if (rt)
            realtime = figures;
        if (cyclicPid > 0) {
            ::waitpid(cyclicPid, nullptr, 0);
            std::ifstream in(cyclicOut);
            cyclic = cyclictestFigures(std::string(std::istreambuf_iterator<char>(in), {}));
            if (cyclic.ran)
                std::printf("%-12s %-13s %27s %9.3f %9.3f   (cyclictest -m -p 10 -i 1000, the "
                            "machine's floor, absolute)\n",
                            variant.c_str(), "cyclictest", "", cyclic.p99, cyclic.max);
            else
                std::printf("%-12s cyclictest did not run: %s\n", variant.c_str(),
                            cyclic.error.c_str());
        }
    }
    std::printf("aim under load: --realtime p99 %.3f ms <= 0.3 and <= a tenth of the bare "
                "loop's %.3f: %s",
                realtime.p99, bare.p99,
                realtime.p99 <= 0.3 && realtime.p99 * 10 <= bare.p99 ? "met" : "NOT MET");
    if (cyclic.ran)
        std::printf("; max %.3f ms within 1.5 ms of cyclictest's %.3f: %s", realtime.max,
                    cyclic.max, realtime.max <= cyclic.max + 1.5 ? "met" : "NOT MET");
    std::printf("\n");
    const sched_param normal{};
    if (readerRealtime)
        ::sched_setscheduler(0, SCHED_OTHER, &normal);
    return whole;
}

// The stalled-port phase: port 1 is a pty nobody reads, sent 8 KB every 100 ms (WriteTimeout
// 500 ms); port 0 gets one event every 10 ms. The first write to port 1 that finds it full
// waits its time-out, once; from then on its events fail at once. The healthy port's lateness
// is given for all its events and for those after that one time-out (from 0.7 s), while port 1
// stays stuck. False when the run lost or reordered a byte of port 0's events.
bool measureStalledPort(Device& device, const std::string& runner, const std::string& dir,
                        int events) {
    const std::string stalled = dir + "/stalled";
    std::filesystem::create_directory(stalled);
    Device stuck; // drained before each run, never during it
    std::ofstream(stalled + "/Config.ini")
        << "[Common]\nRequire=2\n[Port0]\nDevice=" << device.path
        << "\n[Port1]\nDevice=" << stuck.path << "\nWriteTimeout=500\n";
    std::string expected;
    {
        std::ofstream commands(stalled + "/Command.def");
        std::ofstream sequence(stalled + "/sequence.txt");
        commands << "Big: 1:";
        for (int i = 0; i < 8192; ++i)
            commands << " 42";
        commands << "\n";
        for (int k = 0; k < events; ++k) {
            const std::string bytes = eventBytes(k);
            char line[64];
            std::snprintf(line, sizeof line, "E%05d: 0: %02X %02X %02X\n", k,
                          static_cast<unsigned char>(bytes[0]),
                          static_cast<unsigned char>(bytes[1]),
                          static_cast<unsigned char>(bytes[2]));
            commands << line;
            expected += bytes;
            sequence << timeText(static_cast<std::uint32_t>(10 * k)) << " E" << std::setw(5)
                     << std::setfill('0') << k << "\n";
            if (k % 10 == 0)
                sequence << timeText(static_cast<std::uint32_t>(10 * k)) << " Big\n";
        }
    }
    std::vector<std::uint32_t> due;
    for (int k = 0; k < events; ++k)
        due.push_back(static_cast<std::uint32_t>(10 * k));
    const double span = static_cast<double>(due.back()) / 1000.0;
    std::printf("\nstalled: port 1 a pty nobody reads (8 KB every 100 ms, WriteTimeout 500 ms), "
                "port 0 one event every 10 ms; lateness of port 0's events, all and after the "
                "one time-out (from 0.7 s)\n");
    // As in the loaded phase, the bench reads above the runner's priority when it may, so that
    // its own wake-ups do not add to the figures.
    sched_param readerPriority{};
    readerPriority.sched_priority = 20;
    const bool readerRealtime =
        ::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &readerPriority) == 0;
    bool whole = true;
    for (const bool rt : {false, true}) {
        stuck.drain();
        std::vector<std::string> argv{runner, "--dir", stalled, "--skip-errors",
                                      stalled + "/sequence.txt"};
        if (rt)
            argv.insert(argv.begin() + 3, "--realtime");
        Measurement run = measure(
            device, [&] { return spawn(argv, true, true); }, expected.size(), span + 30);
        const Figures all = analyse(run, expected, due);
        const std::string program = rt ? "--realtime" : "cadentor-run";
        printRow("stalled all", program, run, all);
        // The events after the stall as a run of their own, against their median offset, so
        // that one late first event does not shift the rest.
        const std::size_t after = 70, skipped = after * bytesPerEvent;
        Measurement later = run;
        later.received.erase(0, std::min(skipped, later.received.size()));
        later.chunks.clear();
        for (const Chunk& chunk : run.chunks)
            if (chunk.end > skipped)
                later.chunks.push_back({chunk.end - skipped, chunk.atNs});
        const Figures over =
            analyse(later, expected.substr(skipped),
                    std::vector<std::uint32_t>(due.begin() + after, due.end()), true);
        printRow("stalled 0.7s", program, later, over);
        std::printf("aim: p99 after the one time-out %.3f ms <= 1 ms: %s\n", over.p99,
                    over.p99 <= 1.0 ? "met" : "NOT MET");
        whole = whole && run.exitCode == 1 && all.inOrder;
    }
    const sched_param normal{};
    if (readerRealtime)
        ::sched_setscheduler(0, SCHED_OTHER, &normal);
    return whole;
}

// The control phase's runner: --control on a port the system picks, read back from its stderr
// line "control on http://127.0.0.1:PORT/"; stdout goes nowhere.
pid_t spawnWithControl(const std::vector<std::string>& argv, int& port) {
    int err[2];
    if (::pipe(err) != 0)
        fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        fail("cannot start " + argv[0]);
    posix_spawn_file_actions_destroy(&actions);
    ::close(err[1]);
    std::string said;
    const std::uint64_t deadline = nowNs() + 10000000000u;
    port = 0;
    while (port == 0 && nowNs() < deadline) {
        pollfd p{err[0], POLLIN, 0};
        char buffer[512];
        ssize_t n = ::poll(&p, 1, 100) > 0 ? ::read(err[0], buffer, sizeof buffer) : 0;
        if (n < 0 || (n == 0 && p.revents != 0))
            break;
        said.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (const std::size_t at = said.find("http://127.0.0.1:"); at != std::string::npos)
            port = std::atoi(said.c_str() + at + 17);
    }
    ::close(err[0]); // later messages go nowhere: the runner's writes never block on them
    if (port == 0)
        fail("cadentor-run --control did not say its port: " + said);
    return pid;
}

int connectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ::_exit(3);
    return fd;
}

// Occurrences of `what` in `text`.
std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// The clients, in a child of their own: one connection reading /stream, one sending GET /status
// every 50 ms on a kept-alive connection and reading each reply. On `report` it writes "s" for
// every status reply and "e" for every status event it read, so the bench can tell that the
// clients were served. It ends when the runner closes the connections, or when killed.
pid_t forkClients(int port, int report) {
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    const int stream = connectLoopback(port);
    const int poller = connectLoopback(port);
    const std::string streamRequest = "GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string statusRequest = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::write(stream, streamRequest.data(), streamRequest.size()) < 0)
        ::_exit(3);
    std::uint64_t next = nowNs();
    char buffer[65536];
    for (;;) {
        if (nowNs() >= next) {
            if (::write(poller, statusRequest.data(), statusRequest.size()) < 0)
                ::_exit(0);
            next += 50000000;
        }
        pollfd p[2] = {{stream, POLLIN, 0}, {poller, POLLIN, 0}};
        const int wait = static_cast<int>(std::max<std::int64_t>(
            0, (static_cast<std::int64_t>(next) - static_cast<std::int64_t>(nowNs())) / 1000000));
        if (::poll(p, 2, wait) <= 0)
            continue;
        for (const pollfd& ready : p) {
            if (ready.revents == 0)
                continue;
            const ssize_t n = ::read(ready.fd, buffer, sizeof buffer);
            if (n <= 0)
                ::_exit(0);
            const std::string text(buffer, static_cast<std::size_t>(n));
            const std::string marks(
                countOf(text, ready.fd == poller ? "HTTP/1.1 200" : "event: status"),
                ready.fd == poller ? 's' : 'e');
            if (!marks.empty() && ::write(report, marks.data(), marks.size()) < 0)
                ::_exit(3);
        }
    }
}

// The control phase: the steady events through cadentor-run --control without clients, then
// with the clients, at normal priority and with --realtime. False when a run failed or lost
// bytes, or the clients were not served.
bool measureWithClients(Device& device, const std::string& runner, const std::string& dir,
                        const std::string& expected, int events) {
    const std::string sequence = dir + "/control.txt";
    {
        std::ofstream out(sequence);
        for (int k = 0; k < events; ++k) {
            char name[16];
            std::snprintf(name, sizeof name, "E%05d", k);
            // from 0:0.5, so that the clients are connected before the first event
            out << timeText(static_cast<std::uint32_t>(500 + 5 * k)) << ' ' << name << '\n';
        }
    }
    const std::vector<std::uint32_t> due = listedTimeCodes(runner, dir, sequence);
    const double span = static_cast<double>(due.back() - due.front()) / 1000.0;
    std::printf("\ncontrol: cadentor-run --control 0, without clients and with a client polling "
                "/status 20 times a second and one reading /stream; lateness against each run's "
                "median offset (p50 = 0)\n");
    bool whole = true;
    for (const bool rt : {false, true}) {
        const std::string variant = rt ? "control rt" : "control 5 ms";
        double p99[2] = {0, 0};
        for (const bool clients : {false, true}) {
            int report[2];
            if (::pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0)
                fail("pipe");
            pid_t clientPid = -1;
            std::vector<std::string> argv{runner, "--dir", dir, "--control", "0", sequence};
            if (rt)
                argv.insert(argv.begin() + 3, "--realtime");
            Measurement run = measure(
                device,
                [&] {
                    int port = 0;
                    const pid_t pid = spawnWithControl(argv, port);
                    if (clients)
                        clientPid = forkClients(port, report[1]);
                    return pid;
                },
                expected.size(), span + 30);
            if (clientPid > 0) {
                ::kill(clientPid, SIGKILL);
                ::waitpid(clientPid, nullptr, 0);
            }
            ::close(report[1]);
            const std::string marks = readAll(report[0]);
            ::close(report[0]);
            const Figures figures = analyse(run, expected, due, true);
            printRow(variant, clients ? "with clients" : "no clients", run, figures);
            p99[clients] = figures.p99;
            whole = whole && run.exitCode == 0 && figures.inOrder;
            if (clients) {
                const std::size_t replies = countOf(marks, "s"), frames = countOf(marks, "e");
                std::printf("%-12s clients served: %zu status replies (%.0f a second), %zu "
                            "status events\n",
                            variant.c_str(), replies, static_cast<double>(replies) / span, frames);
                whole = whole && replies >= static_cast<std::size_t>(span * 15) && frames > 0;
            }
        }
        std::printf("aim %s: p99 with clients %.3f ms within 0.05 ms of %.3f without: %s\n",
                    variant.c_str(), p99[1], p99[0], p99[1] <= p99[0] + 0.05 ? "met" : "NOT MET");
    }
    return whole;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

} // namespace

int main(int argc, char** argv) {
    std::string runner = CADENTOR_RUN_PATH;
    int events = 2000;
    bool baseline = true;
    bool loaded = true;
    bool control = true;
    cadentor::cli::OptionReader args(argc, argv);
    while (args.next()) {
        std::optional<std::string> value;
        if ((value = args.value("--runner")) && !value->empty()) {
            runner = *value;
        } else if ((value = args.value("--events"))) {
            std::optional<long> n = cadentor::cli::parseNumber(*value, 2, 65536);
            if (!n)
                fail("--events must be from 2 to 65536");
            events = static_cast<int>(*n);
        } else if (args.isFlag("--no-baseline")) {
            baseline = false;
        } else if (args.isFlag("--no-load")) {
            loaded = false;
        } else if (args.isFlag("--no-control")) {
            control = false;
        } else {
            std::fprintf(stderr, "usage: cadentor-timing-bench [--runner PATH] [--events N] "
                                 "[--no-baseline] [--no-load] [--no-control]\n");
            return 2;
        }
    }

    char pattern[] = "/tmp/cadentor-timing-XXXXXX";
    if (!::mkdtemp(pattern))
        fail("mkdtemp");
    const std::string dir = pattern;
    Device device;

    std::ofstream(dir + "/Config.ini")
        << "[Common]\nRequire=1\n[Port0]\nDevice=" << device.path << "\nBaudRate=115200\n";
    {
        std::ofstream commands(dir + "/Command.def");
        for (int k = 0; k < events; ++k) {
            std::string bytes = eventBytes(k);
            char line[64];
            std::snprintf(line, sizeof line, "E%05d: 0: %02X %02X %02X\n", k,
                          static_cast<unsigned char>(bytes[0]),
                          static_cast<unsigned char>(bytes[1]),
                          static_cast<unsigned char>(bytes[2]));
            commands << line;
        }
    }
    std::string expected;
    for (int k = 0; k < events; ++k)
        expected += eventBytes(k);

    long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    std::printf("cadentor-run timing bench: %d events of %d bytes to a pty\n", events,
                bytesPerEvent);
    std::printf("load average before: %s (%ld CPUs)\n", loadAverage().c_str(), cpus);
    std::printf("lateness: arrival at the pty master minus the first event's arrival, minus the "
                "time-code difference\n\n");
    std::printf("%-12s %-13s %4s %-8s %6s %9s %9s %9s %6s %8s %7s %6s\n", "variant", "program",
                "exit", "in order", "wrong", "p50 ms", "p99 ms", "max ms", ">1 ms", "wall s",
                "cpu s", "cpu %");

    int status = 0;
    for (const Variant& variant : {steady(events), bursts(events)}) {
        const std::string sequence = dir + "/sequence.txt";
        {
            std::ofstream out(sequence);
            for (int k = 0; k < events; ++k) {
                char name[16];
                std::snprintf(name, sizeof name, "E%05d", k);
                out << timeText(variant.nominalMs[static_cast<std::size_t>(k)]) << ' ' << name
                    << '\n';
            }
        }
        std::vector<std::uint32_t> due = listedTimeCodes(runner, dir, sequence);
        if (due.size() != static_cast<std::size_t>(events))
            fail("--list did not give every event");
        const double span = static_cast<double>(due.back() - due.front()) / 1000.0;

        Measurement floor = measure(
            device, [&] { return forkFloor(device.path, due, events); }, expected.size(),
            span + 30);
        printRow(variant.name, "timerfd floor", floor, analyse(floor, expected, due));

        Measurement run = measure(
            device,
            [&] {
                return spawn({runner, "--dir", dir, sequence}, true);
            },
            expected.size(), span + 30);
        Figures figures = analyse(run, expected, due);
        printRow(variant.name, "cadentor-run", run, figures);
        if (run.exitCode != 0 || !figures.inOrder)
            status = 1;

        if (baseline) {
            // What a user without the tool would write: print, then sleep the interval.
            const std::string script = dir + "/baseline.sh";
            {
                std::ofstream out(script);
                out << "exec 3>" << device.path << "\n";
                for (int k = 0; k < events; ++k) {
                    if (k > 0 && due[static_cast<std::size_t>(k)] != due[k - 1u]) {
                        char pause[32];
                        std::snprintf(pause, sizeof pause, "sleep %.3f\n",
                                      (due[static_cast<std::size_t>(k)] - due[k - 1u]) / 1000.0);
                        out << pause;
                    }
                    std::string bytes = eventBytes(k);
                    char line[64];
                    std::snprintf(line, sizeof line, "printf '\\x%02X\\x%02X\\x%02X' >&3\n",
                                  static_cast<unsigned char>(bytes[0]),
                                  static_cast<unsigned char>(bytes[1]),
                                  static_cast<unsigned char>(bytes[2]));
                    out << line;
                }
            }
            Measurement naive = measure(
                device,
                [&] {
                    return spawn({"bash", script}, true);
                },
                expected.size(), span * 4 + 60);
            printRow(variant.name, "bash + sleep", naive, analyse(naive, expected, due));
        }
    }
    if (loaded && !measureUnderLoad(device, runner, dir, expected, events, cpus))
        status = 1;
    if (!measureStalledPort(device, runner, dir, 600))
        status = 1;
    if (control && !measureWithClients(device, runner, dir, expected, events))
        status = 1;
    measureStopInAStuckWrite(runner, dir, 10);
    std::printf("\nload average after: %s\n", loadAverage().c_str());
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
