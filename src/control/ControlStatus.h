#pragma once
// What a control client sees of a run: one snapshot of the show, taken by the run thread after
// each change and read by the servers as a whole, rendered as the JSON of GET /status and
// GET /events and of the OSC state reply.
//
// The snapshot holds the sequence time at the instant it was taken; while the show runs, the
// position a client is shown is taken forward from there to the instant of the request, so the
// run thread need not publish for time alone. The rows and the command names change only when
// the events do, so snapshots share them.

#include "sequence/RunPolicy.h"
#include "sequence/TimeCode.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cadentor::control {

using cadentor::ShowState; // the run policy's: waiting, running, paused, finished
enum class RowOutcome : char { Pending = 'P', Done = 'D', Failed = 'F', Missed = 'M' };

struct EventRow {
    TimeCode time = 0;
    std::string port; // "Exec", "Open" or the device name
    std::string name;
};

struct NextEvent {
    TimeCode time = 0;
    std::string name;
    std::string port;
};

struct LastFailure {
    TimeCode time = 0;
    std::string name;
    std::string reason;
};

struct PortStatus {
    int id = 0;
    std::string device;
    std::string state; // "open" or "closed"
    std::string reason;
};

struct ShowStatus {
    std::string version;
    ShowState state = ShowState::Waiting;
    TimeCode position = 0;    // sequence time at takenNs
    std::int64_t takenNs = 0; // CLOCK_MONOTONIC
    int pass = 1;
    int events = 0;
    int done = 0;
    int failed = 0;
    std::optional<int> current; // index of the row executed last
    std::optional<NextEvent> next;
    std::optional<LastFailure> lastFailure;
    std::vector<PortStatus> ports;
    std::shared_ptr<const std::vector<EventRow>> rows;
    std::vector<RowOutcome> outcomes; // one per row
    std::shared_ptr<const std::vector<std::string>> commands;
    std::uint64_t revision = 0; // set by ControlHub::publish, one more for every snapshot

    // The sequence time at CLOCK_MONOTONIC `nowNs`: position taken forward while Running.
    TimeCode positionAt(std::int64_t nowNs) const;
    // The name of the current row, empty when there is none.
    std::string currentName() const;
};

// "waiting", "running", "paused", "finished".
const char* stateName(ShowState state);

// The JSON object of GET /status at `nowNs`, with the number of malformed OSC packets dropped.
// With `withOutcomes` it also holds "outcomes": one letter a row (P, D, F, M), as the page
// wants it.
std::string statusJson(const ShowStatus& status, std::int64_t nowNs, std::uint64_t oscMalformed,
                       bool withOutcomes = false);
// The JSON array of GET /events: {"index","time_ms","time","port","name","outcome"} per row.
std::string eventsJson(const ShowStatus& status);
// {"rows": [{"time","port","name"}...], "commands": [...]}: what the page needs once.
std::string layoutJson(const ShowStatus& status);
// `text` as a JSON string with its quotes. Bytes that are not UTF-8 are taken as Latin-1, so the
// result is always valid UTF-8.
std::string jsonString(std::string_view text);

} // namespace cadentor::control
