// Shows tied to the wall clock, in a zone with daylight saving (a POSIX rule: no zone files
// needed), at instants the test chooses: no waiting.

#include "sequence/ShowSchedule.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <sstream>

namespace cadentor {
namespace {

class WallClock : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ"))
            saved_ = tz;
        ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        ::tzset();
    }
    void TearDown() override {
        saved_ ? ::setenv("TZ", saved_->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }
    std::optional<std::string> saved_;
};

std::int64_t at(const char* text) {
    const std::optional<WallTime> time = parseWallTime(text);
    EXPECT_TRUE(time) << text;
    EXPECT_FALSE(time && time->daily) << text << ": read as a time of day";
    return time ? time->instant : 0;
}

TEST_F(WallClock, ReadsTimesOfDayAndInstantsAndRefusesAnythingElse) {
    const struct {
        const char* text;
        const char* local; // "" for a time of day: then `ms` since midnight
        std::int64_t ms = 0;
    } good[] = {
        {"09:00", "", 9 * 3600000},
        {"23:59:59.999", "", 86399999},
        {"00:00:05", "", 5000},
        {"2026-12-10T09:00", "2026-12-10 09:00:00 CET"},
        {"2026-07-01T09:00:30.250", "2026-07-01 09:00:30.250 CEST"},
        {"2026-12-10T09:00:00Z", "2026-12-10 10:00:00 CET"},
        {"2026-12-10T09:00+05:30", "2026-12-10 04:30:00 CET"},
        {"2026-12-10T09:00-01:00", "2026-12-10 11:00:00 CET"},
        {"2028-02-29T00:00", "2028-02-29 00:00:00 CET"},
    };
    for (const auto& c : good) {
        const std::optional<WallTime> time = parseWallTime(c.text);
        ASSERT_TRUE(time) << c.text;
        EXPECT_EQ(time->daily, *c.local == '\0') << c.text;
        if (time->daily)
            EXPECT_EQ(time->instant, c.ms) << c.text;
        else
            EXPECT_EQ(formatLocalTime(time->instant), c.local) << c.text;
    }
    for (const char* bad :
         {"", "9:00", "24:00", "12:60", "12:00:60", "12:00:00.5", "12:00:", "noon",
          "2026-02-29T09:00", "2026-13-01T09:00", "2026-12-10 09:00", "2026-12-10T09:00+1",
          "2026-12-10T09:00Zx", "2026-12-10T09:00+24:00", "1969-12-31T23:00Z"})
        EXPECT_FALSE(parseWallTime(bad)) << bad;
}

// Each case: "START UNTIL LOOP NOW [AFTER]" ("-": none; LOOP is loop or once), then what the
// show does then. The sequence lasts half an hour; a show without a start was launched at noon.
TEST_F(WallClock, ShowsWaitRunAndEndByTheLocalDayAcrossDaylightSaving) {
    const std::pair<const char*, const char*> cases[] = {
        // Opening hours: the day's run, joined in place; before and after it, the next start.
        {"09:00 18:00 loop 2026-12-09T11:23",
         "Run 2026-12-09 09:00:00 CET - 2026-12-09 18:00:00 CET"},
        {"09:00 18:00 loop 2026-12-09T20:00", "Wait 2026-12-10 09:00:00 CET"},
        {"09:00 18:00 loop 2026-12-09T08:59:59.999", "Wait 2026-12-09 09:00:00 CET"},
        // Without looping the day's run ends after its last event; a run that ended waits.
        {"09:00 - once 2026-12-09T09:10", "Run 2026-12-09 09:00:00 CET - 2026-12-10 09:00:00 CET"},
        {"09:00 - once 2026-12-09T09:45", "Wait 2026-12-10 09:00:00 CET"},
        {"09:00 - once 2026-12-09T09:10 2026-12-09T09:00", "Wait 2026-12-10 09:00:00 CET"},
        // Looping without an end, a day's run lasts until the next start: 23 hours on the day
        // the clocks go forward; 09:00 stays 09:00.
        {"09:00 - loop 2026-03-29T08:00", "Run 2026-03-28 09:00:00 CET - 2026-03-29 09:00:00 CEST"},
        {"09:00 - loop 2026-03-29T10:00",
         "Run 2026-03-29 09:00:00 CEST - 2026-03-30 09:00:00 CEST"},
        // An end before the start ends the next day.
        {"18:00 09:00 loop 2026-12-10T02:00",
         "Run 2026-12-09 18:00:00 CET - 2026-12-10 09:00:00 CET"},
        // Once: before, during and after; an end time alone ends the run begun at launch.
        {"2026-12-10T09:00 - loop 2026-12-09T12:00", "Wait 2026-12-10 09:00:00 CET"},
        {"2026-12-10T09:00 - once 2026-12-11T12:00", "Run 2026-12-10 09:00:00 CET - never"},
        {"2026-12-10T09:00 2026-12-10T10:00 loop 2026-12-10T10:00", "End"},
        {"- 18:00 loop 2026-12-09T17:00", "Run 2026-12-09 12:00:00 CET - 2026-12-09 18:00:00 CET"},
        {"- 18:00 loop 2026-12-09T17:00 2026-12-09T12:00", "End"},
        // Every day until a last instant: no start at or after it.
        {"09:00 2026-12-10T12:00 loop 2026-12-10T13:00", "End"},
    };
    for (const auto& [given, expected] : cases) {
        std::istringstream words(given);
        std::string start, until, loop, now, after;
        words >> start >> until >> loop >> now >> after;
        const auto time = [](const std::string& text) {
            return text == "-" ? std::nullopt : parseWallTime(text);
        };
        const ShowSchedule schedule(time(start), time(until), loop == "loop", 1800000,
                                    at("2026-12-09T12:00"));
        const ShowSchedule::Decision d = schedule.at(
            at(now.c_str()), after.empty() ? std::nullopt : std::optional(at(after.c_str())));
        using What = ShowSchedule::Decision::What;
        EXPECT_EQ(d.what == What::End ? "End"
                  : d.what == What::Wait
                      ? "Wait " + formatLocalTime(d.start)
                      : "Run " + formatLocalTime(d.start) + " - " +
                            (d.end == INT64_MAX ? "never" : formatLocalTime(d.end)),
                  expected)
            << given;
    }
    const WallTime nine{true, 9 * 3600000}, six{true, 18 * 3600000};
    EXPECT_EQ(ShowSchedule(nine, six, true, 0, 0).describe(at("2026-12-09T20:00")),
              "starts 2026-12-10 09:00:00 CET, every day; ends 18:00:00");
}

} // namespace
} // namespace cadentor
