#include "app/AppMessageLoop.h"

#include "sequence/SequenceClock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>
#include <utility>

namespace cadentor {

namespace {

AppMessageLoop* currentLoop = nullptr;

template <typename T> void removeEntry(std::vector<T*>& list, T* entry) {
    auto found = std::find(list.begin(), list.end(), entry);
    if (found != list.end())
        list.erase(found);
}

} // namespace

AppMessageLoop::AppMessageLoop() {
    timerFd_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (timerFd_) {
        notifier_ = std::make_unique<QSocketNotifier>(timerFd_.get(), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, this,
                         [this] { drainWake(); });
    }
    currentLoop = this;
    if (QCoreApplication* application = QCoreApplication::instance())
        application->installEventFilter(this);
}

AppMessageLoop::~AppMessageLoop() {
    if (QCoreApplication* application = QCoreApplication::instance())
        application->removeEventFilter(this);
    if (currentLoop == this)
        currentLoop = nullptr;
    notifier_.reset();
}

AppMessageLoop* AppMessageLoop::current() {
    return currentLoop;
}

void AppMessageLoop::installKeyFilter(KeyFilter* filter) {
    filters_.push_back(filter);
}
void AppMessageLoop::removeKeyFilter(KeyFilter* filter) {
    removeEntry(filters_, filter);
}
void AppMessageLoop::installIdleHandler(IdleHandler* handler) {
    handlers_.push_back(handler);
}
void AppMessageLoop::removeIdleHandler(IdleHandler* handler) {
    removeEntry(handlers_, handler);
}

int AppMessageLoop::run() {
    quitRequested_ = false;
    while (!quitRequested_) {
        // Objects scheduled for deletion go here: no QEventLoop::exec() runs at this level.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        idlePass();
        if (quitRequested_)
            break;
        // A wake that came while the pass ran (in a message box's loop) asks for the next pass
        // now: the loop then only dispatches what is waiting.
        const bool passDue = std::exchange(wokeDuringPass_, false);
        QCoreApplication::processEvents(passDue ? QEventLoop::AllEvents
                                                : QEventLoop::AllEvents |
                                                      QEventLoop::WaitForMoreEvents);
    }
    cancelWake();
    return quitCode_;
}

void AppMessageLoop::quit(int code) {
    quitCode_ = code;
    quitRequested_ = true;
    // Wakes a dispatcher blocked in run() so that it sees the request.
    if (QCoreApplication::instance())
        QMetaObject::invokeMethod(
            this, [] {}, Qt::QueuedConnection);
}

void WakeDelay::note(std::int64_t delayNs) {
    if (delayNs > quartile_)
        quartile_ += 3 * stepNs;
    else if (delayNs < quartile_)
        quartile_ -= stepNs; // stays a multiple of the step, so not below 0
}

void AppMessageLoop::idlePass() {
    if (inPass_)
        return;
    inPass_ = true;
    if (std::exchange(woke_, false))
        wakeDelay_.note(monotonicNanoseconds() - armedAt_);
    ++passCount_;
    // A copy: a handler may leave the list while the pass runs. Passes do not nest, so one
    // buffer serves them all.
    passHandlers_.assign(handlers_.begin(), handlers_.end());
    for (IdleHandler* handler : passHandlers_)
        if (handler && std::find(handlers_.begin(), handlers_.end(), handler) != handlers_.end())
            handler->idleEvent();
    inPass_ = false;
}

void AppMessageLoop::wakeAt(std::int64_t monotonicNs) {
    if (!timerFd_)
        return;
    // Zero would disarm the timer; an instant already past fires at once.
    if (monotonicNs <= 0)
        monotonicNs = 1;
    if (wakeArmed_ && monotonicNs == armedAt_)
        return;
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(monotonicNs / 1000000000);
    setting.it_value.tv_nsec = static_cast<long>(monotonicNs % 1000000000);
    if (::timerfd_settime(timerFd_.get(), TFD_TIMER_ABSTIME, &setting, nullptr) == 0) {
        wakeArmed_ = true;
        armedAt_ = monotonicNs;
    }
}

void AppMessageLoop::cancelWake() {
    if (!timerFd_ || !wakeArmed_)
        return;
    itimerspec setting{};
    ::timerfd_settime(timerFd_.get(), TFD_TIMER_ABSTIME, &setting, nullptr);
    drainWake();
    wokeDuringPass_ = false;
    wakeArmed_ = false;
    woke_ = false;
}

void AppMessageLoop::drainWake() {
    if (inPass_)
        wokeDuringPass_ = true;
    std::uint64_t expirations = 0;
    ssize_t got = 0;
    while ((got = ::read(timerFd_.get(), &expirations, sizeof expirations)) < 0 && errno == EINTR) {
    }
    // The timer is one-shot: once it has fired, nothing is armed until the next wakeAt().
    if (got == sizeof expirations) {
        wakeArmed_ = false;
        woke_ = true;
    }
}

bool AppMessageLoop::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const std::vector<KeyFilter*> filters = filters_;
        for (auto it = filters.rbegin(); it != filters.rend(); ++it)
            if ((*it)->keyFilter(watched, static_cast<QKeyEvent*>(event)))
                return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace cadentor
