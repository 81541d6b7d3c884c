#pragma once
// The program's single top-level window. It hosts the MainView over its whole client area,
// sizes itself around the form (with one menu bar's height below it, as the frame has always
// been sized, although it has no menu), cannot be resized or maximised but can be minimised,
// hands the form's keys to the view's dialog handling, and ends the message loop with code 1
// when it closes. It tells the run control how long its repaints take.

#include "app/AppMessageLoop.h"
#include "app/MainView.h"

#include <QWidget>

namespace cadentor {

class MainFrame : public QWidget, public KeyFilter {
public:
    // Creates the view and initialises it (ports opened, Command.def read), then installs the
    // frame as the key filter of services.loop (by default AppMessageLoop::current()).
    explicit MainFrame(ViewServices services);
    ~MainFrame() override;

    MainView& view() { return *view_; }
    bool keyFilter(QObject* watched, QKeyEvent* event) override;

    // The height of one menu bar in the current style.
    static int menuBarHeight();

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    AppMessageLoop* loop_;
    MainView* view_;
};

} // namespace cadentor
