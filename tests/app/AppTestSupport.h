#pragma once
// What the desktop program's tests share: one QApplication for the whole test program, and a
// form over ptys with a recording reporter, driven through the real widgets.

#include "app/AppMessageLoop.h"
#include "app/MainFrame.h"
#include "app/MainView.h"
#include "ports/PortSet.h"
#include "sequence/SequenceClock.h"
#include "support/Pty.h"
#include "support/RecordingReporter.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

// Lets the test framework print Qt strings in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace cadentor::test {

inline QApplication& testApplication() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* application = [] {
        auto* app = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return app;
    }();
    return *application;
}

// A first member (or base) that makes sure the application exists before anything else.
struct ApplicationFirst {
    ApplicationFirst() { testApplication(); }
};

// Runs `loop` until `done` holds or `timeoutMs` has passed; returns whether `done` held.
inline bool runLoopUntil(AppMessageLoop& loop, const std::function<bool()>& done,
                         int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (done() || std::chrono::steady_clock::now() > deadline)
            loop.quit(0);
    });
    watch.start(2);
    if (!done())
        loop.run();
    return done();
}

// A program directory with Config.ini naming two ptys, a Command.def, and the frame over them.
class FormFixture : private ApplicationFirst {
public:
    explicit FormFixture(const std::string& commands, const std::string& config = {}) {
        directory.write("Command.def", commands);
        directory.write("Config.ini", config.empty() ? defaultConfig() : config);
    }

    std::string defaultConfig() const {
        return "[Common]\r\nRequire=2\r\n[Port0]\r\nDevice=" + pty0.slavePath() +
               "\r\n[Port1]\r\nDevice=" + pty1.slavePath() +
               "\r\nBaudRate=38400\r\nParity=1\r\nStopBits=2\r\n";
    }

    // Creates the frame (its view initialises: ports opened, Command.def read).
    MainFrame& open() {
        ViewServices services;
        services.ports = &ports;
        services.clock = &clock;
        services.loop = &loop;
        services.chooseFile = [this](QWidget*) {
            ++dialogs;
            return answer;
        };
        frame = std::make_unique<MainFrame>(std::move(services));
        return *frame;
    }

    MainView& view() { return frame->view(); }

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

} // namespace cadentor::test
