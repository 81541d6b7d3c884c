#pragma once
// The program's only form: the buttons, the event list, the port information, the time label
// and the mode picture, and the run control behind them.
//
// The view owns the EventSequence for its whole life and shows it in a virtual list. The mode is
// the pair (blink timer running, clock running): in manual mode the picture blinks MANUAL and
// the clock is paused; in automatic mode the picture shows AUTOMATIC, the clock runs and every
// idle pass of the message loop runs the events that have fallen due. Every button works in both
// modes. Failures are reported by the core through the message reporter; the view shows whatever
// state the core leaves behind.

#include "app/AppMessageLoop.h"
#include "app/EventListModel.h"
#include "sequence/EventSequence.h"

#include <QBasicTimer>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QKeyEvent;
class QLabel;
class QTableView;

namespace cadentor {

class PortSet;
class SequenceClock;

// Asks the operator for a sequence file; nothing when the operator cancels. The path is in the
// file system's bytes.
using FileChooser = std::function<std::optional<std::string>(QWidget* owner)>;

// The open-file dialog: filter "Sequence File(*.txt)", default suffix txt.
std::optional<std::string> chooseSequenceFile(QWidget* owner);

struct ViewServices {
    PortSet* ports = nullptr;       // default PortSet::instance()
    SequenceClock* clock = nullptr; // default SequenceClock::instance()
    AppMessageLoop* loop = nullptr; // default AppMessageLoop::current()
    FileChooser chooseFile;         // default chooseSequenceFile
};

// One line per port: "NAME : BAUD bps / PARITY / STOPBITS" and CR LF; empty without ports.
std::string portInformationText(const PortSet& ports);
// "CurrentTime=" and the time code.
std::string timeLabelText(TimeCode t);

namespace Bitmap {
inline constexpr int Manual = 102;
inline constexpr int ManualBlink = 103;
inline constexpr int Automatic = 105;
} // namespace Bitmap

inline constexpr int BlinkTimerId = 1701;
inline constexpr int BlinkPeriodMs = 500;

// The port information box: read-only, it keeps the text exactly as it was set (CR LF line
// ends) and shows it line by line.
class PortInfoEdit : public QPlainTextEdit {
public:
    explicit PortInfoEdit(QWidget* parent = nullptr);
    void setRawText(const std::string& text);
    const std::string& rawText() const { return raw_; }

private:
    std::string raw_;
};

class MainView : public QWidget, public IdleHandler {
public:
    explicit MainView(ViewServices services = {}, QWidget* parent = nullptr);
    ~MainView() override;

    // The form's own operations.
    void initView();
    void initialize();
    void loadSequenceFile();
    void showCommandList();
    void exitProgram();
    void updateTimeDisplay();
    void showCurrentEvent();
    // As showCurrentEvent(), but repaints only the rows first..last, whose events have just run:
    // the rows of an automatic run are redrawn without repainting the whole list each time.
    void showExecutedRows(int first, int last);
    void setModePicture(int bitmapId);
    void onBlinkTimer(int timerId);

    // Run control.
    void onIdle() override;
    void enterAutomaticMode();
    void enterManualMode();
    void automaticCommand();
    void manualCommand();
    bool manualExecute();
    void resetSequence();
    void okCommand(bool shiftDown);

    // The dialog manager's keys for the form's controls: Enter presses the focused push button
    // or, anywhere else in the form, gives the OK command; Escape does nothing. True when the key
    // was used up.
    bool isDialogMessage(QObject* receiver, QKeyEvent* event);

    // The control with template id `id`, or null.
    QWidget* control(int id) const;
    EventSequence& sequence() { return sequence_; }
    EventListModel& listModel() { return model_; }
    QTableView* list() const { return list_; }
    SequenceClock& clock() const { return *clock_; }
    int blinkTimerId() const { return blinkTimerId_; }
    int shownBitmap() const { return shownBitmap_; }
    std::string portInformation() const;
    // The first selected row, or -1.
    int selectedRow() const;

protected:
    void timerEvent(QTimerEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildForm();
    void setItemCount();
    // Selects and focuses the row of the current position (none at -1) and scrolls it into view.
    void selectCurrentEvent();
    void runDueEvents();
    // The CLOCK_MONOTONIC instant at which the next event falls due, if there is one.
    std::optional<std::int64_t> nextDueInstant() const;
    static void sleepUntil(std::int64_t monotonicNs);
    void scheduleNextPass();
    bool replacingAllowed() const;

    PortSet* ports_;
    SequenceClock* clock_;
    AppMessageLoop* loop_;
    FileChooser chooseFile_;
    EventSequence sequence_;
    EventListModel model_;

    QLabel* picture_ = nullptr;
    QLabel* timeLabel_ = nullptr;
    QTableView* list_ = nullptr;
    QCheckBox* skipError_ = nullptr;
    PortInfoEdit* portInfo_ = nullptr;

    QPixmap automaticPicture_;
    QPixmap manualPictures_[2];
    int shownBitmap_ = Bitmap::Automatic;
    QBasicTimer blink_;
    int blinkTimerId_ = 0;
    int blinkIndex_ = 0;
    bool idleRegistered_ = false;
    int executing_ = 0;
};

} // namespace cadentor
