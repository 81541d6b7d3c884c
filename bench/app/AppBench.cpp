// Event lateness and processor use of the desktop program's form, beside the headless runner's,
// on the platform Qt is given (offscreen by default here).
//
//   app_bench [--runner PATH] [EVENTS [SPACING_MS]]
//
// Loads a sequence of EVENTS one-byte events SPACING_MS apart through the form's Load button,
// presses Automatic, and takes each byte's arrival time at the master side of a pty. Lateness is
// arrival minus the instant the event's time code was reached. Then it leaves the form in manual
// mode for 10 s and reports the processor time used meanwhile. Last, cadentor-run runs the same
// files against the same pty. The runner's sequence time 0 cannot be seen from outside, so both
// programs are also given as "jitter": lateness minus the smallest lateness of the run. As the
// machine's own floor, a bare loop sleeps to the same instants and reports how late it woke.
// Each program's wake-ups a second (the times its thread went to sleep) show what its waiting
// costs beside the work of the events themselves.

#include "app/AppMessageLoop.h"
#include "app/MainFrame.h"
#include "files/ProgramDirectory.h"
#include "ports/PortSet.h"
#include "ports/TimerResolution.h"
#include "pty/PtyPair.h"
#include "sequence/SequenceClock.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace cadentor;

namespace {

std::int64_t nowNs() {
    return monotonicNanoseconds();
}

double cpuSeconds(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The times the calling thread has gone to sleep so far: each is a wake-up later.
long sleepsOfThisThread() {
    rusage usage{};
    return getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : 0;
}

double clockSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// Runs the loop until `done` holds. It is checked after each of the loop's passes, which costs
// the program no wake-up of its own, and every `periodMs` for the time when no pass comes.
void runUntil(AppMessageLoop& loop, const std::function<bool()>& done, int periodMs) {
    struct Check : IdleHandler {
        AppMessageLoop& loop;
        const std::function<bool()>& done;
        Check(AppMessageLoop& l, const std::function<bool()>& d) : loop(l), done(d) {}
        void idleEvent() override {
            if (done())
                loop.quit(0);
        }
    } check(loop, done);
    loop.installIdleHandler(&check);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] { check.idleEvent(); });
    watch.start(periodMs);
    loop.run();
    loop.removeIdleHandler(&check);
}

// Takes the arrival instant of every byte at the pty's master side while it lives.
class ArrivalRecorder {
public:
    explicit ArrivalRecorder(int master)
        : reader_([this, master] {
              char buffer[4096];
              while (!stop_) {
                  pollfd p{master, POLLIN, 0};
                  if (poll(&p, 1, 50) <= 0)
                      continue;
                  const std::int64_t t = nowNs();
                  const ssize_t n = read(master, buffer, sizeof buffer);
                  const std::lock_guard<std::mutex> lock(mutex_);
                  for (ssize_t i = 0; i < n; ++i)
                      arrivals_.push_back(t);
              }
          }) {}
    // The processor time of the reading thread so far.
    double cpuSeconds() {
        clockid_t clock{};
        return pthread_getcpuclockid(reader_.native_handle(), &clock) == 0 ? clockSeconds(clock)
                                                                           : 0;
    }
    // Waits for the last bytes, then returns every arrival.
    std::vector<std::int64_t> finish() {
        usleep(100000);
        stop_ = true;
        reader_.join();
        return arrivals_;
    }

private:
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::int64_t> arrivals_;
    std::thread reader_;
};

// Counts the window's repaints: each is one update request to the top-level widget.
class RepaintCounter : public QObject {
public:
    std::uint64_t count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::UpdateRequest)
            ++count;
        return false;
    }
};

struct Figures {
    std::vector<double> lateness; // ms, sorted
    double quantile(double q) const {
        return lateness[std::min(lateness.size() - 1,
                                 static_cast<std::size_t>(q * lateness.size()))];
    }
};

// Lateness of each event, in ms, from its arrival and the instant its time code was reached.
Figures figures(const std::vector<std::int64_t>& arrivals, const std::vector<std::int64_t>& dueNs) {
    Figures result;
    for (std::size_t i = 0; i < dueNs.size() && i < arrivals.size(); ++i)
        result.lateness.push_back((arrivals[i] - dueNs[i]) / 1e6);
    std::sort(result.lateness.begin(), result.lateness.end());
    return result;
}

Figures jitter(Figures f) {
    const double least = f.lateness.empty() ? 0 : f.lateness.front();
    for (double& each : f.lateness)
        each -= least;
    return f;
}

void printRow(const char* name, const Figures& f, double cpuPercent) {
    if (f.lateness.empty()) {
        std::printf("%-28s no events arrived\n", name);
        return;
    }
    std::printf("%-28s %7.3f %7.3f %7.3f %7.3f %7.3f", name, f.lateness.front(), f.quantile(0.5),
                f.quantile(0.9), f.quantile(0.99), f.lateness.back());
    if (cpuPercent >= 0)
        std::printf("   %5.1f%%", cpuPercent);
    std::printf("\n");
}

// A bare loop that sleeps to each time code after `startNs` and writes one byte to `slave`:
// what the machine allows any program, the pty's delivery included.
Figures machineFloor(const std::vector<std::int64_t>& timeCodesMs, int master, int slave) {
    ArrivalRecorder recorder(master);
    const std::int64_t startNs = nowNs();
    std::vector<std::int64_t> due;
    for (std::int64_t t : timeCodesMs) {
        due.push_back(startNs + t * 1000000);
        const timespec until{static_cast<time_t>(due.back() / 1000000000),
                             static_cast<long>(due.back() % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
        (void)!write(slave, "X", 1);
    }
    return figures(recorder.finish(), due);
}

} // namespace

int main(int argc, char** argv) {
    static TimerResolution resolution;
    std::string runner = CADENTOR_RUN_PATH;
    int argi = 1;
    if (argi + 1 < argc && std::strcmp(argv[argi], "--runner") == 0) {
        runner = argv[argi + 1];
        argi += 2;
    }
    const int events = argi < argc ? std::atoi(argv[argi]) : 1000;
    const int spacingMs = argi + 1 < argc ? std::atoi(argv[argi + 1]) : 7;
    if (events <= 0 || spacingMs < 0) {
        std::fprintf(stderr, "usage: app_bench [--runner PATH] [EVENTS [SPACING_MS]]\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    PtyPair pty;
    std::string error;
    if (!openPtyPair(pty, false, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const int master = pty.master.get();
    const std::string device = pty.slavePath;
    char directory[] = "/tmp/cadentor-app-bench-XXXXXX";
    if (!mkdtemp(directory)) {
        std::perror("mkdtemp");
        return 1;
    }
    setProgramDirectory(directory);
    const std::string dir = directory;
    std::ofstream(dir + "/Config.ini") << "[Common]\nRequire=1\n[Port0]\nDevice=" << device << "\n";
    std::ofstream(dir + "/Command.def") << "X: 0: 58\n";
    std::vector<std::int64_t> timeCodesMs;
    {
        std::ofstream sequence(dir + "/seq.txt");
        for (int i = 0; i < events; ++i)
            sequence << "0:0:" << (200 + i * spacingMs) / 1000.0 << " X\n";
    }

    int qtArgc = 1;
    char qtName[] = "app_bench";
    char* qtArgv[] = {qtName, nullptr};
    QApplication application(qtArgc, qtArgv);

    Figures window;
    double runCpu = 0, runWall = 0, idleCpu = 0;
    std::uint64_t runPasses = 0, runRepaints = 0;
    long runSleeps = 0, runnerSleeps = 0;
    {
        AppMessageLoop loop;
        PortSet ports;
        SequenceClock clock;
        ViewServices services{ports, clock, &loop, [&](QWidget*) {
                                  return std::optional<std::string>(dir + "/seq.txt");
                              }};
        MainFrame frame(std::move(services));
        frame.show();
        MainView& view = frame.view();
        view.loadSequenceFile();
        if (view.sequence().count() != events) {
            std::fprintf(stderr, "the sequence did not load\n");
            return 1;
        }
        // As loaded: a time code is truncated to whole milliseconds.
        for (int i = 0; i < events; ++i)
            timeCodesMs.push_back(view.sequence().eventAt(i)->timeCode());

        ArrivalRecorder recorder(master);
        // The form's processor time: every thread of the program (Qt's painting helpers too)
        // but the bench's reader.
        const auto formCpuSeconds = [&] {
            return clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - recorder.cpuSeconds();
        };
        RepaintCounter repaints;
        frame.installEventFilter(&repaints);
        const std::uint64_t passes0 = loop.passCount();
        const long sleeps0 = sleepsOfThisThread();
        const double cpu0 = formCpuSeconds();
        const std::int64_t wall0 = nowNs();
        view.run().automaticCommand();
        // Sequence time 0 as a CLOCK_MONOTONIC instant in whole milliseconds.
        const std::int64_t originMs =
            nowNs() / 1000000 - static_cast<std::uint32_t>(clock.now() - clock.readingAt(0));
        runUntil(
            loop, [&] { return view.run().mode() == Mode::Manual; }, 1000);
        runCpu = formCpuSeconds() - cpu0;
        runWall = (nowNs() - wall0) / 1e9;
        runPasses = loop.passCount() - passes0;
        runSleeps = sleepsOfThisThread() - sleeps0;
        runRepaints = repaints.count;
        frame.removeEventFilter(&repaints);

        const double idleCpu0 = formCpuSeconds();
        const std::int64_t idleUntil = nowNs() + 10'000'000'000;
        runUntil(
            loop, [&] { return nowNs() >= idleUntil; }, 1000);
        idleCpu = formCpuSeconds() - idleCpu0;

        std::vector<std::int64_t> due;
        for (std::int64_t t : timeCodesMs)
            due.push_back((originMs + t) * 1000000);
        window = figures(recorder.finish(), due);
    } // the frame closes the port before the runner opens it

    Figures runnerFigures;
    double runnerCpu = 0, runnerWall = 0;
    {
        ArrivalRecorder recorder(master);
        const std::string dirOption = "--dir=" + dir, sequencePath = dir + "/seq.txt";
        char* args[] = {runner.data(), const_cast<char*>(dirOption.c_str()),
                        const_cast<char*>(sequencePath.c_str()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        const std::int64_t wall0 = nowNs();
        const int error = posix_spawn(&pid, args[0], &actions, nullptr, args, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            std::fprintf(stderr, "%s: %s\n", runner.c_str(), std::strerror(error));
        } else {
            int status = 0;
            rusage usage{};
            wait4(pid, &status, 0, &usage);
            runnerWall = (nowNs() - wall0) / 1e9;
            runnerCpu = cpuSeconds(usage);
            runnerSleeps = usage.ru_nvcsw;
        }
        // Sequence time 0 unknown: lateness against time 0 at the first arrival, then jitter.
        std::vector<std::int64_t> arrivals = recorder.finish();
        std::vector<std::int64_t> due;
        for (std::int64_t t : timeCodesMs)
            due.push_back(t * 1000000 + (arrivals.empty() ? 0 : arrivals.front()));
        runnerFigures = figures(arrivals, due);
    }

    const Figures floor = machineFloor(timeCodesMs, master, pty.slave.get());

    std::printf("%d events, %d ms apart; lateness in ms\n", events, spacingMs);
    std::printf("%-28s %7s %7s %7s %7s %7s   %s\n", "", "min", "p50", "p90", "p99", "max",
                "CPU in run");
    printRow("window", window, 100 * runCpu / runWall);
    printRow("window, jitter", jitter(window), 100 * runCpu / runWall);
    printRow("runner, jitter", jitter(runnerFigures),
             runnerWall > 0 ? 100 * runnerCpu / runnerWall : 0);
    printRow("sleep and write alone", floor, -1);
    std::printf("a second during the run: window %.0f idle passes, %.0f repaints, %.0f wake-ups; "
                "runner %.0f wake-ups\n",
                runPasses / runWall, runRepaints / runWall, runSleeps / runWall,
                runnerWall > 0 ? runnerSleeps / runnerWall : 0);
    std::printf("window in manual mode: %.2f%% of a core over 10 s\n", 100 * idleCpu / 10);
    std::printf("aims for the window: p99 <= 0.2 ms, max <= 2 ms, CPU in a run <= 3%%, in manual "
                "mode <= 0.2%%\n");
    std::filesystem::remove_all(dir);
    const bool complete = window.lateness.size() == static_cast<std::size_t>(events) &&
                          runnerFigures.lateness.size() == static_cast<std::size_t>(events);
    if (!complete)
        std::printf("incomplete: window %zu, runner %zu of %d events\n", window.lateness.size(),
                    runnerFigures.lateness.size(), events);
    return complete ? 0 : 1;
}
