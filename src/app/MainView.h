#pragma once
// The program's only form: the buttons, the event list, the port information, the time label
// and the mode picture, and the file-level operations behind them (Initialize, Load, Command
// List, Exit); the run control does the timed part.
//
// The view owns the EventSequence for its whole life and shows it in a virtual list. Failures
// are reported by the core through the message reporter; the view shows whatever state the
// core leaves behind. The events are never replaced while one of them executes.

#include "app/AppMessageLoop.h"
#include "app/EventListModel.h"
#include "app/RunControl.h"
#include "app/ViewForm.h"
#include "sequence/EventSequence.h"

#include <QWidget>
#include <functional>
#include <optional>
#include <string>

class QKeyEvent;

namespace cadentor {

class PortSet;
class SequenceClock;

// Asks the operator for a sequence file; nothing when the operator cancels. The path is in the
// file system's bytes.
using FileChooser = std::function<std::optional<std::string>(QWidget* owner)>;

// The open-file dialog: filter "Sequence File(*.txt)", default suffix txt.
std::optional<std::string> chooseSequenceFile(QWidget* owner);

struct ViewServices {
    PortSet& ports;
    SequenceClock& clock;
    AppMessageLoop* loop = nullptr; // default AppMessageLoop::current()
    FileChooser chooseFile = {};    // default chooseSequenceFile
};

class MainView : public QWidget {
public:
    MainView(ViewServices services, QWidget* parent);
    ~MainView() override;

    // Shows the manual mode and the columns, takes the loop's passes, runs initialize() and
    // puts the focus on Load.
    void initView();
    // Manual mode at time 0, the ports reopened and shown, Command.def read again, no events.
    void initialize();
    // initialize(), then the file the operator chooses, if any.
    void loadSequenceFile();
    void showCommandList();
    // Closes the window; the loop ends before another pass runs an event.
    void exitProgram();

    // The dialog manager's keys for the form's controls: Enter presses the focused push button
    // or, anywhere else in the form, gives the OK command; Escape does nothing. True when the key
    // was used up.
    bool dialogKey(QObject* receiver, QKeyEvent* event);

    EventSequence& sequence() { return sequence_; }
    RunControl& run() { return run_; }
    EventListView* list() const { return form_.list; }
    std::string portInformation() const { return form_.portInfo->rawText(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void connectButtons();
    void setItemCount();

    PortSet& ports_;
    AppMessageLoop* loop_;
    FileChooser chooseFile_;
    EventSequence sequence_;
    EventListModel model_;
    ViewForm form_;
    RunControl run_;
};

} // namespace cadentor
