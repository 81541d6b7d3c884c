#pragma once
// The mailbox between the control servers, which run on threads of their own, and the run
// thread, which owns the show.
//
// A server submits a request with a completion; wakeFd() is readable while requests wait, so
// the run loop wakes in the same wait as for its next event, and answers every waiting request
// in handlePending() between events: no event ever waits for a client. After answering, the
// run thread publishes a new snapshot before any completion runs, so a client that is told a
// change was made reads the changed show at once. status() gives the latest snapshot without
// waiting for the run thread; a snapshot is never changed once published.

#include "control/ControlStatus.h"
#include "files/UniqueFd.h"
#include "sequence/TimeCode.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace cadentor::control {

enum class ControlVerb { Pause, Resume, Rewind, Fire, Seek };

struct ControlRequest {
    ControlVerb verb = ControlVerb::Pause;
    std::string name;  // Fire: the command
    TimeCode time = 0; // Seek: the sequence time
};

// NotFound: Fire of a name the commands lack. Refused: the show cannot do it now (the reason
// says why). Failed: the command fired and failed (the reason says why). Unavailable: the run
// thread did not take the request in time, or has ended.
enum class ReplyStatus { Ok, NotFound, Refused, Failed, Unavailable };

struct ControlReply {
    ReplyStatus status = ReplyStatus::Ok;
    std::string reason;
};

class ControlHub {
public:
    using Completion = std::function<void(const ControlReply&)>;
    using Handler = std::function<ControlReply(const ControlRequest&)>;
    using Snapshot = std::function<ShowStatus()>;

    // An eventfd for wakeFd(); without one (descriptors exhausted) valid() is false.
    ControlHub();
    // Every request still waiting is completed as Unavailable.
    ~ControlHub();
    ControlHub(const ControlHub&) = delete;
    ControlHub& operator=(const ControlHub&) = delete;

    bool valid() const { return static_cast<bool>(wake_); }
    // Readable while a request waits; the run thread polls it and never reads it itself.
    int wakeFd() const { return wake_.get(); }

    // Server side. Queues `request`; `done` is called exactly once: on the run thread once it
    // was answered, or at once as Unavailable after close(). The ticket is for withdraw().
    std::uint64_t submit(ControlRequest request, Completion done);
    // True when the request was still waiting: it is dropped and its completion called as
    // Unavailable on this thread. False when the run thread has taken it (its completion
    // follows) or it is gone.
    bool withdraw(std::uint64_t ticket);
    // submit() and wait at most `limit` for the reply; Unavailable (the request withdrawn) when
    // the run thread did not take it in time.
    ControlReply submitAndWait(ControlRequest request, std::chrono::milliseconds limit);
    // The latest snapshot; an empty Waiting one before the first publish().
    std::shared_ptr<const ShowStatus> status() const;
    // Malformed packets an OSC server dropped, for the status.
    void countMalformed() { malformed_.fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t malformed() const { return malformed_.load(std::memory_order_relaxed); }

    // Run-thread side. Answers every waiting request with `handler`, in order of arrival; when
    // any was answered, publishes snapshot() and then calls their completions. Returns how many
    // were answered.
    int handlePending(const Handler& handler, const Snapshot& snapshot);
    void publish(ShowStatus status);
    // No request is taken any more: those waiting and those to come are Unavailable.
    void close();

private:
    struct Pending {
        std::uint64_t ticket;
        ControlRequest request;
        Completion done;
    };
    static ControlReply unavailable();
    void clearWake();

    mutable std::mutex mutex_;
    std::deque<Pending> queue_;
    std::uint64_t nextTicket_ = 1;
    std::uint64_t revision_ = 0;
    bool closed_ = false;
    std::shared_ptr<const ShowStatus> status_;
    std::atomic<std::uint64_t> malformed_{0};
    UniqueFd wake_;
};

} // namespace cadentor::control
