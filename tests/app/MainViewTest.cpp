#include "AppTestSupport.h"

#include <QAccessible>
#include <QScreen>
#include <fcntl.h>
#include <poll.h>

namespace cadentor::test {
namespace {

constexpr const char* commands =
    "P0a: 0: 41\r\nP0b: 0: 42\r\nP0c: 0: 43\r\nP1a: 1: 61 62\r\nRun: exec: /bin/true\r\n";
// In time order: P0a 0, P0b 300, P0c 600, P1a 600.
constexpr const char* sequenceText = "0:0:0.3 P0b\r\n0:0:0 P0a\r\n0:0:0.6 P0c\r\n0:0:0.6 P1a\r\n";

class ViewTest : public FormTest {
protected:
    ViewTest() : FormTest(commands) {}
};

TEST_F(ViewTest, StartsInManualModeWithZeroTimeAnEmptyListAndThePortsListedAndBlinks) {
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.000");
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(run().mode(), Mode::Manual);
    EXPECT_TRUE(clock.isPaused());
    EXPECT_EQ(view().portInformation(), pty0.slavePath() + " : 9600 bps / NoParity / 1bit\r\n" +
                                            pty1.slavePath() + " : 38400 bps / Odd / 2bits\r\n");
    EXPECT_EQ(control<QPlainTextEdit>("portInfo")->toPlainText().count('\n'), 1);
    EXPECT_TRUE(runUntil([&] { return run().modePicture() == ModePicture::ManualBlink; }));
    EXPECT_TRUE(runUntil([&] { return run().modePicture() == ModePicture::Manual; }));
}

TEST_F(ViewTest, ManualExecutionByButtonDoubleClickAndKeysAndHomeAndEndInTheList) {
    loadSequence(sequenceText);
    click("manualExec"); // no row selected: nothing runs
    EXPECT_EQ(sent0(0), "");
    clickRow(1);
    click("manualExec");
    EXPECT_EQ(sent0(1), "B");
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.300");
    EXPECT_EQ(run().mode(), Mode::Manual);
    EXPECT_TRUE(clock.isPaused());
    EXPECT_EQ(colours(), (Colours{white, paleBlue, white, white}));
    EXPECT_EQ(run().selectedRow(), 1); // the selection stays on the executed row
    clickRow(3, true);
    EXPECT_EQ(pty1.read(2), "ab");
    key("list", Qt::Key_Home);
    EXPECT_EQ(run().selectedRow(), 0);
    key("list", Qt::Key_End);
    EXPECT_EQ(run().selectedRow(), 3);
    clickRow(1);
    key("list", Qt::Key_Return);
    EXPECT_EQ(sent0(1), "B");
    key("list", Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(run().mode(), Mode::Automatic);
    ASSERT_TRUE(runUntilManual());
    // The run continues after the executed row: neither row 0 nor row 1 runs again.
    EXPECT_EQ(sent0(1), "C");
    clickRow(2);
    key("skipError", Qt::Key_Enter); // on the check box, Enter is the OK command too
    EXPECT_EQ(sent0(1), "C");
    key("resetSeq", Qt::Key_Escape);
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.600");
    key("resetSeq", Qt::Key_Return); // Reset Seq., and not the OK command
    EXPECT_EQ(colours(), Colours(4, white));
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.000");
    EXPECT_EQ(sent0(0), "");
}

// What the screen shows, not what the model answers: the rows that ran are redrawn.
TEST_F(ViewTest, RowsThatRanDuringARunAreRedrawnInTheirColours) {
    loadSequence("0:0:0 P0a\r\n0:0:0.2 P0b\r\n0:0:0.25 P0c\r\n1:0:0 P1a\r\n");
    const auto shown = [&](int row) {
        const QRect cell = view().list()->visualRect(model().index(row, 2));
        const QPoint at = view().list()->viewport()->mapTo(
            frame.get(), QPoint(cell.right() - 2, cell.center().y()));
        const QImage screen = frame->screen()->grabWindow(frame->winId()).toImage();
        return QColor(screen.pixel(at * screen.devicePixelRatio()));
    };
    EXPECT_EQ(shown(0), white);
    click("automatic");
    ASSERT_TRUE(runUntil([&] { return run().selectedRow() >= 1; }));
    // Stopped before the list followed the last row that ran: it catches up at once.
    ASSERT_TRUE(runUntil([&] { return view().sequence().currentIndex() == 2; }));
    click("manual");
    EXPECT_EQ(run().selectedRow(), 2);
    QTest::qWait(100); // let the pending repaints reach the screen
    EXPECT_EQ((Colours{shown(0), shown(1), shown(3)}), (Colours{paleBlue, paleBlue, white}));
}

TEST_F(ViewTest, AFailureStopsTheRunUnlessSkipErrorPassesOverItWhileNoPassRunsInItsBox) {
    loadSequence("0:0:0 P0a\r\n0:0:0.1 P1a\r\n0:0:0.2 P0b\r\n");
    pty1.closeMaster(); // row 1 goes to port 1, whose far end is gone: its write fails
    click("automatic");
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(pty0.read(0, 300), "A");
    ASSERT_EQ(reporter.ids(), std::vector<MessageId>{MessageId::PortWriteFailed});
    EXPECT_EQ(colours(), (Colours{paleBlue, paleRed, white}));
    EXPECT_EQ(model().index(1, 2).data(Qt::ToolTipRole).toString(),
              QString::fromStdString("P1a\n" + pty1.slavePath() +
                                     ": the device hung up (the port opens it again before a "
                                     "later write, at most once a second)"));
    clickRow(1); // selected, it still shows that it failed
    const QRect cell = view().list()->visualRect(model().index(1, 2));
    EXPECT_EQ(QColor(view().list()->viewport()->grab().toImage().pixel(cell.right() - 2,
                                                                       cell.center().y())),
              EventListDelegate::failedSelection);
    // A reporter that stays open for 300 ms with its own event loop, as a message box does.
    std::string sentBeforeClosing = "none";
    Reporter recording;
    recording = setReporter([&](const ErrorReport& report) {
        recording(report);
        QEventLoop box;
        QTimer::singleShot(300, &box, &QEventLoop::quit);
        box.exec();
        sentBeforeClosing = pty0.read(0, 1);
    });
    click("skipError");
    click("automatic");
    ASSERT_TRUE(runUntilManual());
    setReporter(recording);
    // B fell due while the box was open; it is sent only once the box has closed.
    EXPECT_EQ(sentBeforeClosing, "");
    EXPECT_EQ(sent0(1), "B");
    EXPECT_EQ(reporter.ids().size(), 2u); // Automatic tried the failed row again
    EXPECT_EQ(colours(), (Colours{paleBlue, paleRed, paleBlue}));
}

TEST_F(ViewTest, TabFollowsTheFormAndAScreenReaderGetsTheModeTheTimeAndTheOutcomes) {
    std::vector<QString> order;
    QWidget* widget = control("load");
    do {
        if (widget->parentWidget() == &view() && (widget->focusPolicy() & Qt::TabFocus))
            order.push_back(widget->objectName());
    } while ((widget = widget->nextInFocusChain()) != control("load") && order.size() < 20);
    EXPECT_EQ(order, (std::vector<QString>{"load", "automatic", "manual", "commandList",
                                           "initialize", "manualExec", "resetSeq", "portInfo",
                                           "exit", "skipError", "list"}));
    const auto spoken = [&](const char* name) {
        return QAccessible::queryAccessibleInterface(control(name))->text(QAccessible::Name);
    };
    EXPECT_EQ(spoken("picture"), "Mode: MANUAL");
    EXPECT_EQ(spoken("timeLabel"), "CurrentTime=0:0:0.000");
    click("automatic");
    EXPECT_EQ(spoken("picture"), "Mode: AUTOMATIC");
}

// Port 0 takes no data (its buffer is full) and gives up after 300 ms; port 1 takes everything.
class StalledPortTest : public FormTest {
protected:
    StalledPortTest() : FormTest(commands, "WriteTimeout=300\r\n") {}
    // After the port has opened, which drops what waited; until the pty takes nothing more
    // for 100 ms (it makes room a little later a few times).
    void fill() {
        ::fcntl(pty0.slaveFd(), F_SETFL, ::fcntl(pty0.slaveFd(), F_GETFL) | O_NONBLOCK);
        const std::string block(4096, 'x');
        pollfd writable{pty0.slaveFd(), POLLOUT, 0};
        do {
            while (::write(pty0.slaveFd(), block.data(), block.size()) > 0) {
            }
        } while (::poll(&writable, 1, 100) > 0);
    }
};

// While the write waits, the window handles the operator's input: MANUAL holds, and Manual
// Exec and Reset Seq. do nothing then. A failure that halts the run shows MANUAL before its box.
TEST_F(StalledPortTest, ManualPressedWhileAWriteWaitsHoldsAndAHaltingFailureShowsManual) {
    loadSequence("0:0:0 P0a\r\n0:0:0.1 P1a\r\n");
    fill();
    std::vector<QString> atBox; // the mode shown, and the clock
    Reporter recording;
    recording = setReporter([&](const ErrorReport& report) {
        recording(report);
        atBox.push_back(control("picture")->accessibleName() + (clock.isPaused() ? " paused" : ""));
    });
    click("automatic");
    ASSERT_TRUE(runUntilManual());
    // The port is stalled until it has taken its queue: loading again opens it anew.
    loadSequence("0:0:0 P0a\r\n0:0:0.1 P1a\r\n");
    fill();
    click("skipError");
    clickRow(1);
    QTimer::singleShot(100, [&] {
        click("manualExec");
        click("resetSeq");
        click("manual");
    });
    click("automatic");
    ASSERT_TRUE(runUntilManual());
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    runUntil([&] { return std::chrono::steady_clock::now() > until; });
    setReporter(recording);
    EXPECT_EQ(atBox, std::vector<QString>(2, "Mode: MANUAL paused"));
    EXPECT_EQ(pty1.read(0, 100), "");                // neither P1a's time nor Manual Exec sent it
    EXPECT_NE(timeLabel(), "CurrentTime=0:0:0.000"); // not reset
}

// MANUAL holds for the events due with the one whose write waited, when that write goes through.
TEST_F(StalledPortTest, ManualPressedWhileAWriteWaitsStopsTheEventsDueWithIt) {
    loadSequence("0:0:0 P0a\r\n0:0:0 P1a\r\n");
    fill();
    QTimer::singleShot(100, [&] {
        click("manual");
        pty0.read(0, 20); // the device takes data again
    });
    click("automatic");
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(colours(), (Colours{paleBlue, white}));
    EXPECT_EQ(pty1.read(0, 100), "");
}

} // namespace
} // namespace cadentor::test
