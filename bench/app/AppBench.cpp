// Event lateness and processor use of the desktop program's form, on the platform Qt is given
// (offscreen by default here).
//
//   app_bench [EVENTS [SPACING_MS]]
//
// Loads a sequence of EVENTS one-byte events SPACING_MS apart through the form's Load button,
// presses Automatic, and takes each byte's arrival time at the master side of a pty. Lateness is
// arrival minus the instant the event's time code was reached. Then it leaves the form in manual
// mode for 10 s and reports the processor time used meanwhile.

#include "app/AppMessageLoop.h"
#include "app/MainFrame.h"
#include "files/ProgramDirectory.h"
#include "ports/PortSet.h"
#include "ports/TimerResolution.h"
#include "pty/PtyPair.h"
#include "sequence/SequenceClock.h"

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace cadentor;

namespace {

std::int64_t nowNs() {
    return monotonicNanoseconds();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the loop until `done` holds, checking every `periodMs`.
void runUntil(AppMessageLoop& loop, const std::function<bool()>& done, int periodMs) {
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (done())
            loop.quit(0);
    });
    watch.start(periodMs);
    loop.run();
}

} // namespace

int main(int argc, char** argv) {
    static TimerResolution resolution;
    const int events = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int spacingMs = argc > 2 ? std::atoi(argv[2]) : 7;
    if (events <= 0 || spacingMs < 0) {
        std::fprintf(stderr, "usage: app_bench [EVENTS [SPACING_MS]]\n");
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
    {
        std::ofstream sequence(dir + "/seq.txt");
        for (int i = 0; i < events; ++i)
            sequence << "0:0:" << (200 + i * spacingMs) / 1000.0 << " X\n";
    }

    int qtArgc = 1;
    char qtName[] = "app_bench";
    char* qtArgv[] = {qtName, nullptr};
    QApplication application(qtArgc, qtArgv);
    AppMessageLoop loop;
    PortSet ports;
    SequenceClock clock;
    ViewServices services;
    services.ports = &ports;
    services.clock = &clock;
    services.loop = &loop;
    services.chooseFile = [&](QWidget*) { return std::optional<std::string>(dir + "/seq.txt"); };
    MainFrame frame(std::move(services));
    frame.show();
    MainView& view = frame.view();
    view.loadSequenceFile();
    if (view.sequence().count() != events) {
        std::fprintf(stderr, "the sequence did not load\n");
        return 1;
    }

    std::vector<std::int64_t> arrivals;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char buffer[4096];
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const std::int64_t t = nowNs();
            const ssize_t n = read(master, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i)
                arrivals.push_back(t);
        }
    });

    const double cpu0 = cpuSeconds();
    const std::int64_t wall0 = nowNs();
    view.automaticCommand();
    // Sequence time 0 as a CLOCK_MONOTONIC instant in whole milliseconds.
    const std::int64_t originMs =
        nowNs() / 1000000 - static_cast<std::uint32_t>(clock.now() - clock.readingAt(0));
    runUntil(
        loop, [&] { return view.blinkTimerId() != 0; }, 50);
    const double runCpu = cpuSeconds() - cpu0;
    const double runWall = (nowNs() - wall0) / 1e9;

    const double idleCpu0 = cpuSeconds();
    const std::int64_t idleUntil = nowNs() + 10'000'000'000;
    runUntil(
        loop, [&] { return nowNs() >= idleUntil; }, 1000);
    const double idleCpu = cpuSeconds() - idleCpu0;

    usleep(100000);
    stop = true;
    reader.join();
    std::vector<double> lateness;
    for (int i = 0; i < events && i < static_cast<int>(arrivals.size()); ++i) {
        const std::int64_t dueNs =
            (originMs + static_cast<std::int64_t>(view.sequence().eventAt(i)->timeCode())) *
            1000000;
        lateness.push_back((arrivals[i] - dueNs) / 1e6);
    }
    std::sort(lateness.begin(), lateness.end());
    const auto quantile = [&](double q) {
        return lateness[std::min(lateness.size() - 1,
                                 static_cast<std::size_t>(q * lateness.size()))];
    };
    std::printf("automatic run: %zu of %d events, %d ms apart\n", lateness.size(), events,
                spacingMs);
    if (!lateness.empty())
        std::printf("lateness ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n", quantile(0.5),
                    quantile(0.9), quantile(0.99), lateness.back());
    std::printf("processor during the run: %.1f%% of a core over %.1f s\n", 100 * runCpu / runWall,
                runWall);
    std::printf("processor in manual mode: %.2f%% of a core over 10 s\n", 100 * idleCpu / 10);
    return lateness.size() == static_cast<std::size_t>(events) ? 0 : 1;
}
