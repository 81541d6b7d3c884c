#include "sequence/ShowSchedule.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace cadentor {

namespace {

constexpr std::int64_t msPerDay = 86400000;

// Reads `digits` decimal digits at `at`, moving past them; false when they are not there.
bool number(std::string_view text, std::size_t& at, std::size_t digits, int& value) {
    if (at + digits > text.size())
        return false;
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    at += digits;
    return true;
}

bool literal(std::string_view text, std::size_t& at, char c) {
    if (at >= text.size() || text[at] != c)
        return false;
    ++at;
    return true;
}

// "HH:MM[:SS[.mmm]]" at `at`, as ms since midnight.
std::optional<std::int64_t> timeOfDay(std::string_view text, std::size_t& at) {
    int hour = 0, minute = 0, second = 0, milli = 0;
    if (!number(text, at, 2, hour) || !literal(text, at, ':') || !number(text, at, 2, minute))
        return std::nullopt;
    if (literal(text, at, ':')) {
        if (!number(text, at, 2, second))
            return std::nullopt;
        if (literal(text, at, '.') && !number(text, at, 3, milli))
            return std::nullopt;
    }
    if (hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    return ((hour * 60 + minute) * 60 + second) * 1000LL + milli;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

std::tm localDate(std::int64_t instant) {
    const std::time_t seconds = static_cast<std::time_t>(floorDiv(instant, 1000));
    std::tm tm{};
    ::localtime_r(&seconds, &tm);
    return tm;
}

std::string formatTimeOfDay(std::int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(ms / 3600000),
                  static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60));
    std::string result = text;
    if (ms % 1000 != 0) {
        std::snprintf(text, sizeof text, ".%03d", static_cast<int>(ms % 1000));
        result += text;
    }
    return result;
}

} // namespace

std::int64_t realtimeMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::optional<WallTime> parseWallTime(std::string_view text) {
    std::size_t at = 0;
    if (text.size() <= 12) {
        const std::optional<std::int64_t> ms = timeOfDay(text, at);
        if (!ms || at != text.size())
            return std::nullopt;
        return WallTime{true, *ms};
    }
    int year = 0, month = 0, day = 0;
    if (!number(text, at, 4, year) || !literal(text, at, '-') || !number(text, at, 2, month) ||
        !literal(text, at, '-') || !number(text, at, 2, day) || !literal(text, at, 'T'))
        return std::nullopt;
    const std::optional<std::int64_t> ms = timeOfDay(text, at);
    if (!ms || month < 1 || month > 12 || day < 1 || year < 1970)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = static_cast<int>(*ms / 3600000);
    tm.tm_min = static_cast<int>(*ms / 60000 % 60);
    tm.tm_sec = static_cast<int>(*ms / 1000 % 60);
    tm.tm_isdst = -1;
    std::time_t seconds = 0;
    if (at == text.size()) {
        seconds = ::mktime(&tm);
    } else {
        int offset = 0;
        if (text[at] == 'Z' && at + 1 == text.size()) {
            ++at;
        } else if (text[at] == '+' || text[at] == '-') {
            const int sign = text[at++] == '-' ? -1 : 1;
            int hours = 0, minutes = 0;
            if (!number(text, at, 2, hours) || !literal(text, at, ':') ||
                !number(text, at, 2, minutes) || at != text.size() || hours > 23 || minutes > 59)
                return std::nullopt;
            offset = sign * (hours * 60 + minutes) * 60;
        } else {
            return std::nullopt;
        }
        seconds = ::timegm(&tm) - offset;
    }
    // A date that does not exist (30 February) comes back normalised to another.
    if (tm.tm_mday != day || tm.tm_mon != month - 1)
        return std::nullopt;
    return WallTime{false, static_cast<std::int64_t>(seconds) * 1000 + *ms % 1000};
}

std::string formatLocalTime(std::int64_t instant) {
    const std::tm tm = localDate(instant);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d ", &tm);
    std::string result = text;
    result += formatTimeOfDay(((tm.tm_hour * 60 + tm.tm_min) * 60 + tm.tm_sec) * 1000LL +
                              (instant % 1000 + 1000) % 1000);
    std::strftime(text, sizeof text, " %Z", &tm);
    return result + text;
}

std::int64_t localTimeOfDay(std::int64_t instant, int days, std::int64_t msOfDay) {
    std::tm tm = localDate(instant);
    tm.tm_mday += days;
    tm.tm_hour = static_cast<int>(msOfDay / 3600000);
    tm.tm_min = static_cast<int>(msOfDay / 60000 % 60);
    tm.tm_sec = static_cast<int>(msOfDay / 1000 % 60);
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(::mktime(&tm)) * 1000 + msOfDay % 1000;
}

ShowSchedule::ShowSchedule(std::optional<WallTime> start, std::optional<WallTime> until, bool loop,
                           TimeCode lastEvent, std::int64_t launch)
    : start_(start), until_(until), loop_(loop), lastEvent_(lastEvent), launch_(launch) {}

std::int64_t ShowSchedule::endOfRun(std::int64_t start) const {
    std::int64_t end = INT64_MAX;
    if (until_ && !until_->daily)
        end = until_->instant;
    if (until_ && until_->daily) {
        end = localTimeOfDay(start, 0, until_->instant);
        if (end <= start)
            end = localTimeOfDay(start, 1, until_->instant);
    }
    if (daily()) {
        end = std::min(end, localTimeOfDay(start, 1, start_->instant));
        if (!loop_)
            end = std::min(end, start + lastEvent_ + 1);
    }
    return end;
}

ShowSchedule::Decision ShowSchedule::at(std::int64_t now, std::optional<std::int64_t> after) const {
    using What = Decision::What;
    if (!daily()) {
        const std::int64_t start = start_ ? start_->instant : launch_;
        const std::int64_t end = endOfRun(start);
        if ((after && start <= *after) || now >= end)
            return {What::End, start, end};
        return {now < start ? What::Wait : What::Run, start, end};
    }
    const std::int64_t timeOfDay = start_->instant;
    std::int64_t start = localTimeOfDay(now, 0, timeOfDay);
    if (start > now)
        start = localTimeOfDay(now, -1, timeOfDay);
    const std::int64_t end = endOfRun(start);
    if (now < end && !(after && start <= *after))
        return {What::Run, start, end};
    std::int64_t next = start;
    while (next <= now || (after && next <= *after))
        next = localTimeOfDay(next, 1, timeOfDay);
    if (until_ && !until_->daily && next >= until_->instant)
        return {What::End, next, until_->instant};
    return {What::Wait, next, endOfRun(next)};
}

std::string ShowSchedule::describe(std::int64_t now) const {
    const Decision decision = at(now);
    std::string text = start_ ? "starts " + formatLocalTime(decision.start) : "starts at once";
    if (daily())
        text += ", every day";
    if (until_)
        text += "; ends " + (until_->daily ? formatTimeOfDay(until_->instant)
                                           : formatLocalTime(until_->instant));
    if (decision.what == Decision::What::End)
        text += "; over by then";
    return text;
}

} // namespace cadentor
