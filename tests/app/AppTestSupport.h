#pragma once
// What the desktop program's tests share: one QApplication for the whole test program, and a
// form over two ptys with a recording reporter, driven through the real widgets by name.

#include "app/AppMessageLoop.h"
#include "app/MainFrame.h"
#include "app/MainView.h"
#include "ports/PortSet.h"
#include "sequence/SequenceClock.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <gtest/gtest.h>

// Lets the test framework print Qt strings and colours in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QColor& colour, std::ostream* out) {
    *out << colour.name().toStdString();
}

namespace cadentor::test {

// A first member (or base) that makes sure the one application exists before anything else.
struct ApplicationFirst {
    ApplicationFirst() {
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) {
            new QApplication(argc, argv); // lives as long as the test program
            // From here on, a warning from Qt fails the test that caused it.
            qInstallMessageHandler(
                [](QtMsgType type, const QMessageLogContext&, const QString& text) {
                    if (type != QtDebugMsg && type != QtInfoMsg)
                        ADD_FAILURE() << "Qt: " << text.toStdString();
                });
        }
        QApplication::setQuitOnLastWindowClosed(false);
    }
};

using Colours = std::vector<QColor>;
inline const QColor white(255, 255, 255), paleBlue(204, 204, 255), paleRed(255, 153, 153);

// A program directory with `commands` as Command.def and a Config.ini naming the two ptys (the
// first with the `port0` lines too, the second at 38400 bps, odd parity, two stop bits), the
// frame over them, and what an operator does with it; the frame is open and shown when the test
// starts.
class FormTest : public ::testing::Test, private ApplicationFirst {
protected:
    explicit FormTest(const std::string& commands, const std::string& port0 = "") {
        directory.write("Command.def", commands);
        directory.write("Config.ini", "[Common]\r\nRequire=2\r\n[Port0]\r\n" + port0 +
                                          "Device=" + pty0.slavePath() +
                                          "\r\n[Port1]\r\nDevice=" + pty1.slavePath() +
                                          "\r\nBaudRate=38400\r\nParity=3\r\nStopBits=2\r\n");
    }
    // The frame's view initialises: ports opened, Command.def read.
    void SetUp() override {
        frame = std::make_unique<MainFrame>(
            ViewServices{ports, clock, &loop, [this](QWidget*) { return answer; }});
        frame->show();
        QApplication::setActiveWindow(frame.get());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(frame.get()));
    }
    MainView& view() { return frame->view(); }
    RunControl& run() { return view().run(); }
    QAbstractItemModel& model() { return *view().list()->model(); }
    int rows() { return model().rowCount(); }
    template <typename T = QWidget> T* control(const char* name) {
        return view().findChild<T*>(QLatin1String(name));
    }
    QString timeLabel() { return control<TimeLabel>("timeLabel")->text(); }
    Colours colours() {
        Colours all;
        for (int row = 0; row < rows(); ++row)
            all.push_back(model().index(row, 0).data(Qt::BackgroundRole).value<QColor>());
        return all;
    }
    void click(const char* name) { QTest::mouseClick(control(name), Qt::LeftButton); }
    void key(const char* name, Qt::Key pressed, Qt::KeyboardModifiers modifiers = {}) {
        control(name)->setFocus();
        QTest::keyClick(control(name), pressed, modifiers);
    }
    // A click on the row, then a double click if asked (the first click selects).
    void clickRow(int row, bool twice = false) {
        QWidget* viewport = view().list()->viewport();
        const QPoint at = view().list()->visualRect(model().index(row, 1)).center();
        QTest::mouseClick(viewport, Qt::LeftButton, {}, at);
        if (twice)
            QTest::mouseDClick(viewport, Qt::LeftButton, {}, at);
    }
    // Load with the dialog answering a file holding `text`.
    void loadSequence(const std::string& text) {
        answer = directory.write("run.txt", text);
        click("load");
    }
    // Runs the loop until `done` holds, it ends or 10 s have passed; whether `done` held.
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
        return runUntil([&] { return run().mode() == Mode::Manual && clock.isPaused(); });
    }
    std::string sent0(int bytes) { return pty0.read(bytes, bytes ? 2000 : 50); }

    Pty pty0;
    Pty pty1;
    TempDir directory;
    ScopedProgramDirectory programDirectory{directory.path()};
    RecordingReporter reporter;
    PortSet ports;
    SequenceClock clock;
    AppMessageLoop loop;
    std::optional<std::string> answer; // what the file dialog answers; nothing = cancel
    std::unique_ptr<MainFrame> frame;
};

} // namespace cadentor::test
