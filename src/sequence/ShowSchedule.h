#pragma once
// When a show tied to the wall clock runs: its start (once, or a time of day every day) and its
// end, decided for any wall-clock instant.
//
// Instants are milliseconds since the Unix epoch (CLOCK_REALTIME). A time of day is local time
// in the C library's time zone (TZ, else /etc/localtime), taken afresh for every date, so 09:00
// stays 09:00 across daylight-saving changes; a time of day that a change skips or repeats is
// the instant mktime() gives it. A daily show's run of a day ends at the day's end time (the
// first one after its start), at the next day's start, or, without looping, after its last
// event, whichever comes first; it then waits for the next day's start.

#include "sequence/TimeCode.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace cadentor {

using WallSource = std::function<std::int64_t()>;

// CLOCK_REALTIME in milliseconds.
std::int64_t realtimeMilliseconds();

// A moment given on the command line.
struct WallTime {
    bool daily = false;       // a time of day, every day
    std::int64_t instant = 0; // once: ms since the epoch; daily: ms since local midnight
};

// "HH:MM[:SS[.mmm]]" (daily), or "YYYY-MM-DDTHH:MM[:SS[.mmm]]" once, local time unless it ends
// in "Z" or "+HH:MM" / "-HH:MM". Nothing for any other text, a field out of range or a date
// that does not exist.
std::optional<WallTime> parseWallTime(std::string_view text);
// "2026-12-10 09:00:00 CET" (".250" after the seconds when they have a fraction), local time.
std::string formatLocalTime(std::int64_t instant);
// The instant of local time of day `msOfDay` on the local date of `instant` plus `days` days.
std::int64_t localTimeOfDay(std::int64_t instant, int days, std::int64_t msOfDay);

class ShowSchedule {
public:
    // Without a start the show starts once at `launch`. `lastEvent` is the last event's time
    // code (without looping a day's run ends after it).
    ShowSchedule(std::optional<WallTime> start, std::optional<WallTime> until, bool loop,
                 TimeCode lastEvent, std::int64_t launch);

    struct Decision {
        enum class What { Wait, Run, End } what;
        std::int64_t start; // Wait: when the next run starts; Run: when this one started
        std::int64_t end;   // Run: when it ends by the wall clock (INT64_MAX: never)
    };
    // What the show does at wall-clock instant `now`. With `after`, only runs that start
    // later than `after` count (a daily show that ended its day's run early waits).
    Decision at(std::int64_t now, std::optional<std::int64_t> after = std::nullopt) const;
    bool daily() const { return start_ && start_->daily; }
    // "starts 2026-12-10 09:00:00 CET, every day; ends 18:00:00", as seen at `now`.
    std::string describe(std::int64_t now) const;

private:
    std::int64_t endOfRun(std::int64_t start) const;

    std::optional<WallTime> start_;
    std::optional<WallTime> until_;
    bool loop_;
    TimeCode lastEvent_;
    std::int64_t launch_;
};

} // namespace cadentor
