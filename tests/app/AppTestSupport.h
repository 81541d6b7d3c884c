#pragma once
// What the desktop program's tests share: one QApplication for the whole test program, and a
// form over two ptys with a recording reporter, driven through the real widgets.

#include "app/AppMessageLoop.h"
#include "app/FormTemplate.h"
#include "app/MainFrame.h"
#include "app/MainView.h"
#include "ports/PortSet.h"
#include "sequence/SequenceClock.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLabel>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <gtest/gtest.h>
#include <ostream>

// Lets the test framework print Qt strings in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QColor& colour, std::ostream* out) {
    *out << colour.name().toStdString();
}

namespace cadentor::test {

inline QApplication& testApplication() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* application = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return *application;
}

// A first member (or base) that makes sure the application exists before anything else.
struct ApplicationFirst {
    ApplicationFirst() { testApplication(); }
};

using Colours = std::vector<QColor>;

// A program directory with a Command.def and a Config.ini (by default naming the two ptys, the
// second at 38400 bps, even parity, two stop bits), the frame over them, and what an operator
// does with it.
class FormFixture : private ApplicationFirst {
public:
    explicit FormFixture(const std::string& commands, std::string config = {}) {
        if (config.empty())
            config = "[Common]\r\nRequire=2\r\n[Port0]\r\nDevice=" + pty0.slavePath() +
                     "\r\n[Port1]\r\nDevice=" + pty1.slavePath() +
                     "\r\nBaudRate=38400\r\nParity=1\r\nStopBits=2\r\n";
        directory.write("Command.def", commands);
        directory.write("Config.ini", config);
    }

    // Creates the frame (its view initialises: ports opened, Command.def read).
    MainFrame& open() {
        ViewServices services{&ports, &clock, &loop, [this](QWidget*) {
                                  ++dialogs;
                                  return answer;
                              }};
        frame = std::make_unique<MainFrame>(std::move(services));
        return *frame;
    }
    // Shows the frame; whether it was exposed (and, if asked, made active) in time.
    bool show(bool active = false) {
        frame->show();
        QApplication::setActiveWindow(frame.get());
        return active ? QTest::qWaitForWindowActive(frame.get())
                      : QTest::qWaitForWindowExposed(frame.get());
    }
    MainView& view() { return frame->view(); }
    QTableView* list() { return view().list(); }
    int rows() { return list()->model()->rowCount(); }
    QString cell(int row, int column) {
        return list()->model()->index(row, column).data().toString();
    }
    QString timeLabel() { return qobject_cast<QLabel*>(view().control(1004))->text(); }
    Colours colours() {
        Colours all;
        for (int row = 0; row < rows(); ++row)
            all.push_back(list()->model()->index(row, 0).data(Qt::BackgroundRole).value<QColor>());
        return all;
    }
    bool manual() { return view().blinkTimerId() == BlinkTimerId && view().clock().isPaused(); }

    void click(int id) { QTest::mouseClick(view().control(id), Qt::LeftButton); }
    // Focuses the control `id` (0: the list) and presses `pressed` there.
    void key(int id, Qt::Key pressed, Qt::KeyboardModifiers modifiers = {}) {
        QWidget* target = id ? view().control(id) : list();
        target->setFocus();
        QTest::keyClick(target, pressed, modifiers);
    }
    // A click on the row, then a double click if asked (the first click selects).
    void clickRow(int row, bool twice = false) {
        const QPoint at = list()->visualRect(list()->model()->index(row, 1)).center();
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, at);
        if (twice)
            QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, at);
    }
    // Load with the dialog answering a file holding `text`.
    void loadSequence(const std::string& text) {
        answer = directory.write("run.txt", text);
        click(1007);
    }
    // Runs the loop until `done` holds or ten seconds have passed; whether `done` held.
    bool runUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (done() || std::chrono::steady_clock::now() > deadline)
                loop.quit(0);
        });
        watch.start(2);
        return done() || (loop.run(), done());
    }
    bool runUntilManual() {
        return runUntil([&] { return manual(); });
    }

    Pty pty0;
    Pty pty1;
    TempDir directory;
    ScopedProgramDirectory programDirectory{directory.path()};
    RecordingReporter reporter;
    PortSet ports;
    SequenceClock clock;
    AppMessageLoop loop;
    std::optional<std::string> answer; // what the file dialog answers; nothing = cancel
    int dialogs = 0;
    std::unique_ptr<MainFrame> frame;
};

// A test over a form whose Command.def holds `commands`.
class FormTest : public ::testing::Test, public FormFixture {
protected:
    explicit FormTest(const std::string& commands) : FormFixture(commands) {}
};

} // namespace cadentor::test
