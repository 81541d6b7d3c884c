#include "sequence/SequenceLine.h"

#include <boost/spirit/include/classic_core.hpp>
#include <cmath>
#include <cstdint>

namespace cadentor {

namespace {

namespace sp = BOOST_SPIRIT_CLASSIC_NS;

// Exactly the low 32 bits of trunc(ms) for every finite ms >= 0. Below 2^64 the conversion to
// a 64-bit unsigned integer is exact and defined; above it every double is an integer, so
// fmod gives the exact remainder. A value that is not finite (seconds of 1e400, or 0e400)
// has no low bits and gives 0.
TimeCode truncateToTimeCode(double ms) {
    constexpr double twoTo64 = 18446744073709551616.0;
    constexpr double twoTo32 = 4294967296.0;
    if (!std::isfinite(ms) || ms < 0)
        return 0;
    if (ms < twoTo64)
        return static_cast<TimeCode>(static_cast<std::uint64_t>(ms));
    return static_cast<TimeCode>(std::fmod(ms, twoTo32));
}

} // namespace

bool parseSequenceLine(std::string_view line, TimeCode& timeCode, std::string& name) {
    // The full form sets its own working values, so that a full form that fails part-way
    // (as "2:30" does at its missing second colon) leaves nothing behind for the short form.
    std::uint32_t fullHours = 0, fullMinutes = 0, shortMinutes = 0;
    double fullSeconds = 0, shortSeconds = 0;
    bool isFull = false;
    const char* nameBegin = nullptr;
    const char* nameEnd = nullptr;

    const auto blank = sp::ch_p(' ') | sp::ch_p('\t');
    const auto fullTime = (sp::uint_p[([&](std::uint32_t v) { fullHours = v; })] >> ':' >>
                           sp::uint_p[([&](std::uint32_t v) { fullMinutes = v; })] >> ':' >>
                           sp::ureal_p[([&](double v) { fullSeconds = v; })])[(
        [&](const char*, const char*) { isFull = true; })];
    const auto shortTime = sp::uint_p[([&](std::uint32_t v) { shortMinutes = v; })] >> ':' >>
                           sp::ureal_p[([&](double v) { shortSeconds = v; })];
    const auto commandName = (+(sp::anychar_p - blank))[([&](const char* b, const char* e) {
        nameBegin = b;
        nameEnd = e;
    })];
    const auto sequenceLine = (fullTime | shortTime) >> +blank >> commandName;

    const char* first = line.data();
    const char* last = first + line.size();
    if (!sp::parse(first, last, sequenceLine).full)
        return false;

    const double hours = isFull ? fullHours : 0;
    const double minutes = isFull ? fullMinutes : shortMinutes;
    const double seconds = isFull ? fullSeconds : shortSeconds;
    timeCode = truncateToTimeCode(((hours * 60 + minutes) * 60 + seconds) * 1000);
    name.assign(nameBegin, nameEnd);
    return true;
}

} // namespace cadentor
