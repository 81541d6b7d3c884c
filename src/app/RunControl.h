#pragma once
// When the events run: the two modes, the idle pass that runs the due events, execution of one
// event by hand, and the reset.
//
// In manual mode the clock is paused and the picture blinks MANUAL every 500 ms; in automatic mode
// the picture shows AUTOMATIC, the clock runs and every idle pass of the message loop runs the
// events that have fallen due. Events come first: a pass that finds the next event due within a
// repaint's time sleeps until it is due and runs it, so no repaint starts in between. The loop is
// asked to wake for an event as much before it as three in four of the loop's wake-ups have lately
// come late (never more than a repaint's time): most passes then start just before the event and
// sleep the little that is left, and a short sleep ends on time where a long one may not.
// What the operator sees of a run (the time label, the colours of the rows that ran, the selection
// on the last of them) is brought up to date right after the events of a pass: the time label at
// the screen's rate, the list at most ten times a second, and the list at once when the run stops.
// A failure passed over because SkipError is ticked ends the pass, so that what the operator did
// meanwhile (MANUAL, Exit) comes before the next event. While an event's write waits for a
// device, the window goes on taking the operator's input and repainting (a wait slice hook,
// DeviceWait.h): MANUAL, Automatic and Exit act at once, the operations that would execute or
// replace events (Manual Exec, Reset Seq., and the view's Load, Initialize, Command List) do
// nothing while an event executes. A failure that halts the run shows the manual mode and
// stops the clock before its message box opens. Every operation works in both modes.

#include "app/AppMessageLoop.h"
#include "app/ViewForm.h"
#include "sequence/RunPolicy.h"
#include "sequence/TimeCode.h"

#include <QObject>
#include <QPixmap>
#include <QTimer>
#include <cstdint>
#include <string>

namespace cadentor {

class EventListModel;
class EventSequence;
class SequenceClock;

enum class Mode { Manual, Automatic };

// The pictures of the modes.
enum class ModePicture { Manual = 102, ManualBlink = 103, Automatic = 105 };

// "CurrentTime=" and the time code.
std::string timeLabelText(TimeCode t);

class RunControl : public QObject, public IdleHandler {
public:
    // Over the form's widgets; the passes come from `loop` (none without one).
    RunControl(EventSequence& sequence, EventListModel& model, const ViewForm& form,
               AppMessageLoop* loop);
    ~RunControl() override;

    // Enters manual mode, shows the time and takes the loop's passes.
    void start();

    Mode mode() const { return mode_; }
    ModePicture modePicture() const { return shown_; }
    void enterAutomaticMode();
    void enterManualMode();
    void automaticCommand();
    void manualCommand();
    // Enters manual mode, then executes the selected row; false when none is selected or an
    // event is executing.
    bool manualExecute();
    // Manual mode, the clock at zero and every row back to Pending; nothing while an event
    // executes.
    void resetSequence();
    // The Enter key: with Shift the automatic command, else manual execution.
    void okCommand(bool shiftDown);

    void updateTimeDisplay();
    // Selects and focuses the row of the current position (none at -1), scrolls it into view and
    // repaints the list.
    void showCurrentEvent();
    // The first selected row, or -1.
    int selectedRow() const;
    // Whether an event is executing (a message box about it may be open): its event must stay.
    bool executing() const { return executing_ > 0; }

    // How long one repaint of the window took: the time kept free before each event.
    void noteRepaint(std::int64_t ns);

    void idleEvent() override;

private:
    enum class Pass { Ran, Idle, Stopped, Skipped };
    Pass runDueEvents();
    void selectCurrentEvent();
    // The rows that ran since they were last shown, in their colours, and the selection on the
    // last of them; false when none ran.
    bool showRunRows();
    void showProgress(std::int64_t now);
    void setModePicture(ModePicture picture);
    void blink();
    std::int64_t margin() const;

    EventSequence& sequence_;
    SequenceClock& clock_;
    RunPolicy policy_; // what follows each outcome; SkipError is read before each pass
    EventListModel& model_;
    ViewForm form_;
    AppMessageLoop* loop_;

    QPixmap pictures_[3]; // Manual, ManualBlink, Automatic
    ModePicture shown_ = ModePicture::Automatic;
    Mode mode_ = Mode::Automatic;
    QTimer blinkTimer_;
    int blinkIndex_ = 0;
    bool registered_ = false;
    int executing_ = 0;

    std::int64_t repaintNs_; // the longest recent repaint
    std::int64_t frameNs_;   // one frame of the screen
    std::int64_t nextFrame_ = 0;
    std::int64_t nextList_ = 0;
    int shownThrough_ = -1; // the rows up to here are shown in their colours
};

} // namespace cadentor
