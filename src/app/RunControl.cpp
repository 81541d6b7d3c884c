#include "app/RunControl.h"

#include "app/EventListModel.h"
#include "messages/Messages.h"
#include "ports/DeviceWait.h"
#include "sequence/DueInstant.h"
#include "sequence/EventSequence.h"
#include "sequence/SequenceClock.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QScreen>
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sched.h>

namespace cadentor {

namespace {

constexpr int blinkPeriodMs = 500;
constexpr std::int64_t millisecondNs = 1000000;
// While events come faster, the list follows them at most this often; the time label keeps the
// screen's rate.
constexpr std::int64_t listPeriodNs = 100 * millisecondNs;

void sleepUntil(std::int64_t monotonicNs) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(monotonicNs / 1000000000);
    until.tv_nsec = static_cast<long>(monotonicNs % 1000000000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// While an event's write waits for a device, the window takes the operator's input and
// repaints. Only then: a wait elsewhere (a network port connecting while the ports load) must
// not let the operator start the same operation again inside it.
void handleEventsWhileWaiting() {
    static bool handling = false;
    if (handling)
        return;
    handling = true;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    handling = false;
}

class ResponsiveWaits {
public:
    ResponsiveWaits() : previous_(setWaitSliceHook(handleEventsWhileWaiting)) {}
    ~ResponsiveWaits() { setWaitSliceHook(previous_); }
    ResponsiveWaits(const ResponsiveWaits&) = delete;
    ResponsiveWaits& operator=(const ResponsiveWaits&) = delete;

private:
    WaitSliceHook previous_;
};

int pictureIndex(ModePicture picture) {
    return picture == ModePicture::Automatic ? 2 : picture == ModePicture::ManualBlink ? 1 : 0;
}

} // namespace

std::string timeLabelText(TimeCode t) {
    return "CurrentTime=" + formatTimeCode(t);
}

RunControl::RunControl(EventSequence& sequence, EventListModel& model, const ViewForm& form,
                       AppMessageLoop* loop)
    : sequence_(sequence), clock_(sequence.clock()), policy_(sequence, {}), model_(model),
      form_(form), loop_(loop), repaintNs_(millisecondNs), frameNs_(1000000000 / 60) {
    blinkTimer_.setInterval(blinkPeriodMs);
    connect(&blinkTimer_, &QTimer::timeout, this, [this] { blink(); });
}

RunControl::~RunControl() {
    if (registered_)
        loop_->removeIdleHandler(this);
}

void RunControl::start() {
    for (ModePicture picture :
         {ModePicture::Manual, ModePicture::ManualBlink, ModePicture::Automatic})
        pictures_[pictureIndex(picture)] =
            QPixmap(QStringLiteral(":/cadentor/bitmap%1.png").arg(static_cast<int>(picture)));
    enterManualMode();
    updateTimeDisplay();
    if (loop_ && !registered_) {
        loop_->installIdleHandler(this);
        registered_ = true;
    }
}

void RunControl::setModePicture(ModePicture picture) {
    form_.picture->setPixmap(pictures_[pictureIndex(picture)]);
    const QString name = picture == ModePicture::Automatic ? QStringLiteral("Mode: AUTOMATIC")
                                                           : QStringLiteral("Mode: MANUAL");
    if (form_.picture->accessibleName() != name) {
        form_.picture->setAccessibleName(name);
        form_.picture->setAccessibleDescription(
            picture == ModePicture::Automatic
                ? QStringLiteral("The events run at their times")
                : QStringLiteral("The clock is stopped; events run by Manual Exec"));
    }
    shown_ = picture;
}

void RunControl::blink() {
    if (mode_ != Mode::Manual)
        return;
    blinkIndex_ = (blinkIndex_ + 1) % 2;
    setModePicture(blinkIndex_ == 0 ? ModePicture::Manual : ModePicture::ManualBlink);
}

void RunControl::enterAutomaticMode() {
    blinkTimer_.stop();
    mode_ = Mode::Automatic;
    setModePicture(ModePicture::Automatic);
}

void RunControl::enterManualMode() {
    clock_.pause();
    if (mode_ == Mode::Automatic)
        showRunRows();
    if (!blinkTimer_.isActive())
        blinkTimer_.start();
    mode_ = Mode::Manual;
    setModePicture(ModePicture::Manual);
}

void RunControl::automaticCommand() {
    enterAutomaticMode();
    clock_.resume();
    const QScreen* screen = form_.list->screen();
    const double rate = screen ? screen->refreshRate() : 0;
    frameNs_ = static_cast<std::int64_t>(1e9 / (rate >= 1 ? rate : 60));
    nextFrame_ = 0;
    nextList_ = 0;
    shownThrough_ = sequence_.currentIndex();
}

void RunControl::manualCommand() {
    enterManualMode();
}

void RunControl::okCommand(bool shiftDown) {
    if (shiftDown)
        automaticCommand();
    else
        manualExecute();
}

bool RunControl::manualExecute() {
    if (executing())
        return false;
    if (mode_ != Mode::Manual)
        enterManualMode();
    const int row = selectedRow();
    if (row < 0 || row >= sequence_.count())
        return false;
    ++executing_;
    bool executed = false;
    {
        const ResponsiveWaits responsive;
        executed = sequence_.executeAt(row);
    }
    --executing_;
    form_.list->viewport()->update();
    updateTimeDisplay();
    return executed;
}

void RunControl::resetSequence() {
    if (executing())
        return;
    enterManualMode();
    policy_.rewind();
    showCurrentEvent();
    updateTimeDisplay();
}

void RunControl::updateTimeDisplay() {
    form_.timeLabel->setText(QString::fromStdString(timeLabelText(clock_.elapsed())));
}

void RunControl::showCurrentEvent() {
    selectCurrentEvent();
    form_.list->viewport()->update();
}

void RunControl::selectCurrentEvent() {
    QItemSelectionModel* selection = form_.list->selectionModel();
    const int row = sequence_.currentIndex();
    if (row < 0 || row >= model_.rowCount()) {
        selection->clear();
        return;
    }
    // Moved in one step: a cleared current index in between would repaint the header too.
    const QModelIndex index = model_.index(row, 0);
    selection->setCurrentIndex(index,
                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    form_.list->scrollTo(index, QAbstractItemView::EnsureVisible);
}

int RunControl::selectedRow() const {
    const QModelIndexList rows = form_.list->selectionModel()->selectedRows();
    int first = -1;
    for (const QModelIndex& index : rows)
        if (first < 0 || index.row() < first)
            first = index.row();
    return first;
}

void RunControl::noteRepaint(std::int64_t ns) {
    repaintNs_ = std::max(ns, repaintNs_ - repaintNs_ / 16);
}

std::int64_t RunControl::margin() const {
    return std::clamp(repaintNs_ + millisecondNs / 2, millisecondNs, frameNs_ / 2);
}

RunControl::Pass RunControl::runDueEvents() {
    ++executing_;
    // A failure that halts the run shows the manual mode, and stops the clock, before its box
    // opens.
    Reporter box;
    box = setReporter([this, &box](const ErrorReport& report) {
        if (!form_.skipError->isChecked())
            enterManualMode();
        box(report);
    });
    policy_.settings().skipErrors = form_.skipError->isChecked();
    const int before = sequence_.currentIndex();
    const int failedBefore = policy_.failedCount();
    RunNext next = RunNext::Continue;
    {
        const ResponsiveWaits responsive;
        next = policy_.step();
    }
    setReporter(std::move(box));
    --executing_;
    if (next == RunNext::End) {
        form_.list->viewport()->update();
        enterManualMode();
        showCurrentEvent();
        return Pass::Stopped;
    }
    if (next == RunNext::Halt || policy_.failedCount() != failedBefore) {
        form_.list->viewport()->update();
        showRunRows();
        // A MANUAL pressed while the event waited for its device holds: the clock stays paused.
        if (next == RunNext::Continue)
            return Pass::Skipped;
        enterManualMode();
        return Pass::Stopped;
    }
    return sequence_.currentIndex() != before ? Pass::Ran : Pass::Idle;
}

bool RunControl::showRunRows() {
    const int current = sequence_.currentIndex();
    if (current == shownThrough_)
        return false;
    selectCurrentEvent();
    model_.refreshRows(std::min(current, shownThrough_) + 1, std::max(current, shownThrough_));
    shownThrough_ = current;
    return true;
}

void RunControl::showProgress(std::int64_t now) {
    if (now >= nextList_ && showRunRows())
        nextList_ = now + listPeriodNs;
    updateTimeDisplay();
}

void RunControl::idleEvent() {
    if (clock_.isPaused()) {
        if (loop_)
            loop_->cancelWake();
        return;
    }
    // Events first: stay while the next one falls due within a repaint's time, for at most one
    // frame, so that the screen and the operator's input still get their turn.
    const std::int64_t started = monotonicNanoseconds();
    bool ran = false;
    Pass pass = Pass::Idle;
    for (;;) {
        pass = runDueEvents();
        ran = ran || pass == Pass::Ran;
        if (pass != Pass::Ran && pass != Pass::Idle)
            break;
        const std::optional<DueInstant> next = nextDueInstant(sequence_);
        if (!next || next->due - next->now > margin() || next->now - started > frameNs_)
            break;
        sleepUntil(next->due);
    }
    // What was written may still need the processor (a pseudo-terminal hands it on in a kernel
    // worker): it goes before a repaint that follows this pass. Without one the loop sleeps
    // next, and the worker runs then.
    std::int64_t now = monotonicNanoseconds();
    if (ran && (now >= nextFrame_ || pass == Pass::Skipped || pass == Pass::Stopped)) {
        ::sched_yield();
        now = monotonicNanoseconds();
    }
    if (clock_.isPaused()) {
        updateTimeDisplay();
        if (loop_)
            loop_->cancelWake();
        return;
    }
    // A frame falls on the ticks of the screen's rate, shown by the first pass after its tick;
    // with an event due within half a frame after the tick, that event's pass shows it.
    if (now >= nextFrame_) {
        showProgress(now);
        nextFrame_ = std::max(nextFrame_ + frameNs_, now + frameNs_ / 2);
    }
    if (!loop_)
        return;
    // Woken for an event no earlier than a repaint's time before it, so that the pass stays.
    std::int64_t wake = nextFrame_;
    if (const std::optional<DueInstant> next = nextDueInstant(sequence_))
        if (next->due < nextFrame_ + frameNs_ / 2)
            wake = next->due - std::min(loop_->wakeDelay().upperQuartile(), margin());
    loop_->wakeAt(wake);
}

} // namespace cadentor
