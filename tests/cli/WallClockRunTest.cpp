// cadentor-run tied to the wall clock: a start a second ahead and one in the past, in both
// forms; and, in process with a wall clock the test sets forward, a run that re-aligns.

#include "Show.h"
#include "cli/Runner.h"
#include "cli/StopSignals.h"
#include "files/ProgramDirectory.h"
#include "ports/PortSet.h"
#include "sequence/SequenceClock.h"
#include "support/ChildProcess.h"

#include <ctime>
#include <gtest/gtest.h>

namespace cadentor::test {
namespace {

std::string format(std::int64_t ms, const char* pattern, bool utc = false) {
    const std::time_t seconds = ms / 1000;
    std::tm tm{};
    utc ? ::gmtime_r(&seconds, &tm) : ::localtime_r(&seconds, &tm);
    char text[64];
    std::strftime(text, sizeof text, pattern, &tm);
    return text + std::string(".") + std::to_string(1000 + ms % 1000).substr(1);
}

TEST(WallClockRun, StartsAtItsTimeJoinsInPlaceAndADailyShowWaitsForTheNextDay) {
    // Not across midnight: a daily start a second ahead would be tomorrow's.
    std::time_t seconds = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&seconds, &tm);
    if (tm.tm_hour == 23 && tm.tm_min == 59 && tm.tm_sec > 50)
        std::this_thread::sleep_for(std::chrono::seconds(12));

    const std::int64_t now = realtimeMilliseconds();
    const std::int64_t ahead = now + 1000, past = now - 1000;
    const std::string sequence = "0:0:0 A\n0:0:1.5 B\n";
    // A start ahead runs A and B; one in the past has missed A (also with --catch-up 1s).
    const struct {
        std::string options;
        std::int64_t start;
        bool daily;
    } runs[] = {
        {"--start-at " + format(ahead, "%Y-%m-%dT%H:%M:%S"), ahead, false},
        {"--start-at " + format(past, "%Y-%m-%dT%H:%M:%S", true) + "Z", past, false},
        {"--start-at " + format(ahead, "%H:%M:%S") + " --until " + format(ahead + 1700, "%H:%M:%S"),
         ahead, true},
        {"--start-at " + format(past, "%H:%M:%S") + " --catch-up 1s", past, true},
    };
    std::vector<std::unique_ptr<Show>> shows;
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (const auto& run : runs) {
        shows.push_back(std::make_unique<Show>("A: 0: 41\nB: 0: 42\n", sequence));
        children.push_back(std::make_unique<ChildProcess>(shows.back()->command(run.options)));
    }
    for (std::size_t i = 0; i < std::size(runs); ++i) {
        SCOPED_TRACE(runs[i].options);
        Show& show = *shows[i];
        ChildProcess& child = *children[i];
        const bool waits = runs[i].start == ahead;
        const std::string bytes = waits ? "AB" : "B";
        std::string got = show.port0.read(1, 5000);
        if (i == 0) { // never before its start: the first run's bytes are read as they arrive
            EXPECT_GE(realtimeMilliseconds(), runs[i].start);
        }
        if (got.size() < bytes.size())
            got += show.port0.read(bytes.size() - got.size(), 5000);
        EXPECT_EQ(got, bytes);
        std::string wait =
            waits ? "cadentor-run: waiting: starts " + formatLocalTime(ahead) + "\n" : "";
        if (runs[i].daily) {
            const std::int64_t tomorrow = localTimeOfDay(runs[i].start, 1, 0) +
                                          (runs[i].start - localTimeOfDay(runs[i].start, 0, 0));
            wait += "cadentor-run: waiting: starts " + formatLocalTime(tomorrow) + "\n";
            for (int ms = 0; child.err() != wait && ms < 5000; ms += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            child.sendSignal(SIGTERM);
        }
        EXPECT_EQ(child.wait(), runs[i].daily ? 143 : 0);
        EXPECT_EQ(child.out(),
                  show.expand(std::string("0:0:0.000\t{0}\tA\t") + (waits ? "Done" : "Missed") +
                              "\n0:0:1.500\t{0}\tB\tDone\n"));
        EXPECT_EQ(child.err(), wait);
    }
}

// The wall clock jumps 3 s forward 0.7 s into the run (half a second after its start): the
// event it skips is Missed, the next runs at its new time.
TEST(WallClockRun, AWallClockSetForwardIsFollowedAndTheSkippedEventsAreMissed) {
    Show show("A: 0: 41\nB: 0: 42\nC: 0: 43\n", "0:0:0 A\n0:0:1 B\n0:0:4.5 C\n");
    const std::int64_t startMono = monotonicNanoseconds() / 1000000;
    const std::int64_t start = realtimeMilliseconds() + 200;
    ChildProcess run([&] {
        setProgramDirectory(show.dir.path());
        PortSet ports;
        SequenceClock clock;
        EventSequence sequence(ports, clock);
        cli::StopSignals signals;
        if (!ports.load() || !sequence.clearAndReloadCommands() ||
            !sequence.load(show.dir.file("seq.txt")))
            return 1;
        auto wall = [&] {
            const std::int64_t passed = monotonicNanoseconds() / 1000000 - startMono;
            return realtimeMilliseconds() + (passed >= 700 ? 3000 : 0);
        };
        return cli::SequenceRunner(sequence, signals, {}, {WallTime{false, start}, {}},
                                   STDOUT_FILENO, wall)
            .run();
    });
    EXPECT_EQ(show.port0.read(2, 5000), "AC");
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.out(), show.expand("0:0:0.000\t{0}\tA\tDone\n0:0:1.000\t{0}\tB\tMissed\n"
                                     "0:0:4.500\t{0}\tC\tDone\n"));
    EXPECT_LT(monotonicNanoseconds() / 1000000 - startMono, 3500) << "C ran at its old time";
}

} // namespace
} // namespace cadentor::test
