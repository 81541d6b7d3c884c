#pragma once
// The program's event loop: Qt's event dispatching plus our idle pass.
//
// run() alternates two steps until quit(): one idle pass (every registered IdleHandler once, in
// registration order), then dispatching every waiting event, blocking while there is none. A
// handler that needs another pass soon (a running sequence) asks for it with wakeAt(); nothing
// else wakes the loop, so it uses no processor while nothing runs. A pass never starts inside
// another pass: nested loops (a message box opened while an event executes) dispatch events but
// run no pass; a wake that comes meanwhile gives a pass as soon as the running one ends. Key
// presses are offered to the KeyFilters first, the most recently installed first.

#include "files/UniqueFd.h"

#include <QObject>
#include <cstdint>
#include <memory>
#include <vector>

class QKeyEvent;
class QSocketNotifier;

namespace cadentor {

class KeyFilter {
public:
    virtual ~KeyFilter() = default;
    // True when the filter consumed `event` (sent to `watched`); it then goes no further.
    virtual bool keyFilter(QObject* watched, QKeyEvent* event) = 0;
};

// How late the loop's wake-ups come after the instant asked for: the delay that three in four of
// them stay within, followed a step at a time (three steps up for a later wake-up, one down for
// an earlier one), so that one long stall (a message box) moves it by three steps only.
class WakeDelay {
public:
    static constexpr std::int64_t stepNs = 2000;
    std::int64_t upperQuartile() const { return quartile_; }
    void note(std::int64_t delayNs);

private:
    std::int64_t quartile_ = 250 * stepNs; // 0.5 ms to begin with
};

class IdleHandler {
public:
    virtual ~IdleHandler() = default;
    virtual void idleEvent() = 0;
};

class AppMessageLoop : public QObject {
public:
    // Registers the loop as the thread's loop (current()) and as the application's key filter.
    AppMessageLoop();
    ~AppMessageLoop() override;
    AppMessageLoop(const AppMessageLoop&) = delete;
    AppMessageLoop& operator=(const AppMessageLoop&) = delete;

    // The loop of this thread, or null.
    static AppMessageLoop* current();

    void installKeyFilter(KeyFilter* filter);
    void removeKeyFilter(KeyFilter* filter);
    void installIdleHandler(IdleHandler* handler);
    void removeIdleHandler(IdleHandler* handler);

    // Runs until quit() and returns its code.
    int run();
    // Ends run() once the events being dispatched have been handled.
    void quit(int code);

    // Makes the loop wake for a pass no later than the CLOCK_MONOTONIC instant `monotonicNs`
    // (an instant already past wakes it at once). Replaces an earlier request.
    void wakeAt(std::int64_t monotonicNs);
    // Withdraws the request of wakeAt(); the loop then sleeps until an event arrives.
    void cancelWake();
    bool wakeArmed() const { return wakeArmed_; }
    // How late the passes of recent wakes began, after the instants asked for.
    const WakeDelay& wakeDelay() const { return wakeDelay_; }

    // The passes run so far.
    std::uint64_t passCount() const { return passCount_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void idlePass();
    void drainWake();

    std::vector<KeyFilter*> filters_;
    std::vector<IdleHandler*> handlers_;
    std::vector<IdleHandler*> passHandlers_; // those of the running pass
    UniqueFd timerFd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool wakeArmed_ = false;
    std::int64_t armedAt_ = 0;
    bool woke_ = false; // the armed wake came, and its pass has not begun
    WakeDelay wakeDelay_;
    bool inPass_ = false;
    bool wokeDuringPass_ = false;
    bool quitRequested_ = false;
    int quitCode_ = 0;
    std::uint64_t passCount_ = 0;
};

} // namespace cadentor
