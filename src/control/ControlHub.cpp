#include "control/ControlHub.h"

#include <condition_variable>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace cadentor::control {

ControlHub::ControlHub()
    : status_(std::make_shared<const ShowStatus>()),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ControlHub::~ControlHub() {
    close();
}

ControlReply ControlHub::unavailable() {
    return {ReplyStatus::Unavailable, "the show is not taking requests now"};
}

// Called with the mutex held, so that the descriptor is readable exactly while the queue holds
// a request.
void ControlHub::clearWake() {
    std::uint64_t count = 0;
    if (wake_)
        (void)!::read(wake_.get(), &count, sizeof count);
}

std::uint64_t ControlHub::submit(ControlRequest request, Completion done) {
    std::unique_lock lock(mutex_);
    if (closed_ || !wake_) {
        lock.unlock();
        done(unavailable());
        return 0;
    }
    const std::uint64_t ticket = nextTicket_++;
    queue_.push_back({ticket, std::move(request), std::move(done)});
    const std::uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
    return ticket;
}

bool ControlHub::withdraw(std::uint64_t ticket) {
    Completion done;
    {
        std::lock_guard lock(mutex_);
        for (auto it = queue_.begin(); it != queue_.end(); ++it)
            if (it->ticket == ticket) {
                done = std::move(it->done);
                queue_.erase(it);
                if (queue_.empty())
                    clearWake();
                break;
            }
    }
    if (!done)
        return false;
    done(unavailable());
    return true;
}

ControlReply ControlHub::submitAndWait(ControlRequest request, std::chrono::milliseconds limit) {
    struct Waiter {
        std::mutex mutex;
        std::condition_variable answered;
        std::optional<ControlReply> reply;
    };
    auto waiter = std::make_shared<Waiter>();
    const std::uint64_t ticket = submit(std::move(request), [waiter](const ControlReply& reply) {
        std::lock_guard lock(waiter->mutex);
        waiter->reply = reply;
        waiter->answered.notify_all();
    });
    std::unique_lock lock(waiter->mutex);
    if (!waiter->answered.wait_for(lock, limit, [&] { return waiter->reply.has_value(); })) {
        lock.unlock();
        withdraw(ticket); // when taken meanwhile, the reply comes soon after
        lock.lock();
        waiter->answered.wait(lock, [&] { return waiter->reply.has_value(); });
    }
    return *waiter->reply;
}

std::shared_ptr<const ShowStatus> ControlHub::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

int ControlHub::handlePending(const Handler& handler, const Snapshot& snapshot) {
    std::deque<Pending> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(queue_);
        clearWake();
    }
    if (taken.empty())
        return 0;
    std::vector<ControlReply> replies;
    replies.reserve(taken.size());
    for (const Pending& pending : taken)
        replies.push_back(handler(pending.request));
    publish(snapshot());
    for (std::size_t i = 0; i < taken.size(); ++i)
        taken[i].done(replies[i]);
    return static_cast<int>(taken.size());
}

void ControlHub::publish(ShowStatus status) {
    std::lock_guard lock(mutex_);
    status.revision = ++revision_;
    status_ = std::make_shared<const ShowStatus>(std::move(status));
}

void ControlHub::close() {
    std::deque<Pending> left;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        left.swap(queue_);
        clearWake();
    }
    for (Pending& pending : left)
        pending.done(unavailable());
}

} // namespace cadentor::control
