#include "AppTestSupport.h"

#include <QScreen>

namespace cadentor::test {
namespace {

constexpr const char* commands =
    "P0a: 0: 41\r\nP0b: 0: 42\r\nP0c: 0: 43\r\nP1a: 1: 61 62\r\nRun: exec: /bin/true\r\n";
// In time order: P0a 0, P0b 300, P0c 600, P1a 600.
constexpr const char* sequenceText = "0:0:0.3 P0b\r\n0:0:0 P0a\r\n0:0:0.6 P0c\r\n0:0:0.6 P1a\r\n";

const QColor white(255, 255, 255), paleBlue(204, 204, 255), paleRed(255, 153, 153);

class ViewTest : public FormTest {
protected:
    ViewTest() : FormTest(commands) {}
    void SetUp() override {
        open();
        ASSERT_TRUE(show());
    }
    using FormFixture::loadSequence;
    void loadSequence() { loadSequence(sequenceText); }
    std::string sent0(int bytes) { return pty0.read(bytes, bytes ? 2000 : 50); }
};

TEST_F(ViewTest, StartsInManualModeWithZeroTimeAnEmptyListAndThePortsListedAndBlinks) {
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.000");
    EXPECT_EQ(rows(), 0);
    EXPECT_TRUE(manual());
    EXPECT_EQ(view().shownBitmap(), 102);
    EXPECT_FALSE(qobject_cast<QCheckBox*>(view().control(1012))->isChecked());
    EXPECT_EQ(view().portInformation(), pty0.slavePath() + " : 9600 bps / NoParity / 1bit\r\n" +
                                            pty1.slavePath() + " : 38400 bps / Even / 2bits\r\n");
    EXPECT_EQ(view().findChild<QPlainTextEdit*>("1011")->toPlainText().count('\n'), 1);
    EXPECT_TRUE(reporter.reports().empty());
    // The picture blinks between the two manual pictures.
    EXPECT_TRUE(runUntil([&] { return view().shownBitmap() == 103; }));
    EXPECT_TRUE(runUntil([&] { return view().shownBitmap() == 102; }));
    EXPECT_EQ(view().findChild<QLabel*>("1003")->pixmap().size(), QSize(200, 50));
}

TEST_F(ViewTest, CommandListByItsMnemonicThenAutomaticSendsEveryCommandInListOrder) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame.get()));
    QTest::keyClick(frame.get(), Qt::Key_C, Qt::AltModifier); // the underlined letter
    ASSERT_TRUE(runUntil([&] { return rows() == 5; }));
    std::string expected0; // what port 0 receives, in list order
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(cell(row, 0), "0:0:0.000");
        if (cell(row, 2).startsWith("P0"))
            expected0 += cell(row, 2).back().toUpper().toLatin1();
    }
    click(1001);
    EXPECT_EQ(view().shownBitmap(), 105);
    EXPECT_EQ(view().blinkTimerId(), 0);
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(sent0(3), expected0);
    EXPECT_EQ(pty1.read(2), "ab");
    EXPECT_EQ(colours(), Colours(5, paleBlue));
    EXPECT_EQ(view().selectedRow(), 4);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST_F(ViewTest, AutomaticRunsALoadedSequenceOnTimeEndsInManualModeAndResetSeqRewinds) {
    loadSequence();
    ASSERT_EQ(rows(), 4);
    EXPECT_EQ(cell(3, 2), "P1a");
    click(1001);
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(sent0(3), "ABC");
    EXPECT_EQ(pty1.read(2), "ab");
    EXPECT_EQ(view().sequence().currentIndex(), 3);
    EXPECT_EQ(view().selectedRow(), 3);
    EXPECT_GE(view().clock().elapsed(), 600u);
    // The label shows the time at which the clock stopped.
    EXPECT_EQ(timeLabel().toStdString(), timeLabelText(view().clock().elapsed()));
    // Nothing is left: Automatic returns to manual mode in the next pass.
    click(1001);
    EXPECT_EQ(view().shownBitmap(), 105);
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(sent0(0), "");
    click(1010); // Reset Seq.
    EXPECT_EQ(colours(), Colours(4, white));
    EXPECT_EQ(view().selectedRow(), -1);
    EXPECT_FALSE(list()->currentIndex().isValid());
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.000");
    EXPECT_EQ(view().sequence().currentIndex(), -1);
    EXPECT_TRUE(manual());
}

TEST_F(ViewTest, ManualExecAndDoubleClickExecuteTheRowAndMoveTheClockToIt) {
    loadSequence();
    click(1008); // no row selected: nothing runs
    EXPECT_EQ(sent0(0), "");
    clickRow(1);
    click(1008);
    EXPECT_EQ(sent0(1), "B");
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.300");
    EXPECT_TRUE(view().clock().isPaused());
    EXPECT_EQ(view().clock().elapsed(), 300u);
    EXPECT_EQ(colours(), (Colours{white, paleBlue, white, white}));
    EXPECT_EQ(view().selectedRow(), 1); // the selection stays on the executed row
    clickRow(3, true);
    EXPECT_EQ(pty1.read(2), "ab");
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.600");
    EXPECT_EQ(view().sequence().currentIndex(), 3);
    EXPECT_EQ(colours()[3], paleBlue);
}

// What the screen shows, not what the model answers: the rows that ran in one pass are redrawn.
TEST_F(ViewTest, RowsThatRanDuringARunAreRedrawnInTheirColours) {
    loadSequence("0:0:0 P0a\r\n0:0:0 P0b\r\n0:0:0.2 P0c\r\n1:0:0 P1a\r\n");
    const auto shown = [&](int row) {
        const QRect cell = list()->visualRect(list()->model()->index(row, 2));
        const QPoint at =
            list()->viewport()->mapTo(frame.get(), QPoint(cell.right() - 2, cell.center().y()));
        const QImage screen = frame->screen()->grabWindow(frame->winId()).toImage();
        return QColor(screen.pixel(at * screen.devicePixelRatio()));
    };
    EXPECT_EQ(shown(0), white);
    click(1001);
    ASSERT_TRUE(runUntil([&] { return view().sequence().currentIndex() == 2; }));
    QTest::qWait(100); // let the pending repaints reach the screen
    EXPECT_EQ(shown(0), paleBlue);
    EXPECT_EQ(shown(1), paleBlue);
    EXPECT_EQ(shown(3), white);
    EXPECT_EQ(view().selectedRow(), 2);
}

TEST_F(ViewTest, ManualExecDuringARunStopsItFirst) {
    loadSequence("0:0:0 P0a\r\n0:0:30 P0b\r\n");
    clickRow(0);
    click(1001);
    ASSERT_TRUE(runUntil([&] { return colours()[0] == paleBlue; }));
    EXPECT_EQ(sent0(1), "A");
    clickRow(1);
    click(1008);
    EXPECT_TRUE(manual());
    EXPECT_EQ(sent0(1), "B");
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:30.000");
}

TEST_F(ViewTest, LoadWithACancelledDialogStillReinitialisesEverything) {
    loadSequence();
    clickRow(0);
    click(1008);
    ASSERT_EQ(sent0(1), "A");
    // First with a port that cannot open and no Command.def: both reported, port first.
    directory.write("Config.ini",
                    "[Common]\r\nRequire=1\r\n[Port0]\r\nDevice=/nonexistent/tty\r\n");
    std::remove(directory.file("Command.def").c_str());
    answer.reset();
    click(1007);
    EXPECT_EQ(dialogs, 2);
    EXPECT_EQ(reporter.ids(),
              (std::vector<MessageId>{MessageId::PortOpenFailed, MessageId::CommandReadFailed}));
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.000");
    EXPECT_TRUE(manual());
    EXPECT_EQ(view().portInformation(), "");
    // Then with both files in order again.
    directory.write("Command.def", "Fresh: 0: 46\r\n");
    directory.write("Config.ini",
                    "[Common]\r\nRequire=1\r\n[Port0]\r\nDevice=" + pty1.slavePath() + "\r\n");
    click(1007);
    EXPECT_EQ(view().portInformation(), pty1.slavePath() + " : 9600 bps / NoParity / 1bit\r\n");
    click(1009); // the new Command.def was read
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, 2), "Fresh");
    EXPECT_EQ(cell(0, 1), QString::fromStdString(pty1.slavePath()));
}

TEST_F(ViewTest, EnterExecutesShiftEnterRunsAndOnAButtonEnterPressesItAndEscapeDoesNothing) {
    loadSequence();
    clickRow(1);
    key(0, Qt::Key_Return);
    EXPECT_EQ(sent0(1), "B");
    EXPECT_EQ(view().sequence().currentIndex(), 1);
    EXPECT_TRUE(view().clock().isPaused());
    key(0, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(view().blinkTimerId(), 0);
    EXPECT_FALSE(view().clock().isPaused());
    ASSERT_TRUE(runUntilManual());
    // The run continues after the executed row: row 0 never runs.
    EXPECT_EQ(sent0(1), "C");
    EXPECT_EQ(pty1.read(2), "ab");
    EXPECT_EQ(colours()[0], white);
    clickRow(0);
    key(1012, Qt::Key_Enter); // on the check box, Enter is the OK command too
    EXPECT_EQ(sent0(1), "A");
    key(1010, Qt::Key_Escape);
    EXPECT_EQ(colours()[0], paleBlue);
    key(1010, Qt::Key_Return); // Reset Seq., and not the OK command
    EXPECT_EQ(colours(), Colours(4, white));
    EXPECT_EQ(sent0(0), "");
}

class FailingPortTest : public ViewTest {
protected:
    // Row 1 goes to port 1, whose far end is gone, so that its write fails.
    void SetUp() override {
        ViewTest::SetUp();
        loadSequence("0:0:0 P0a\r\n0:0:0.1 P1a\r\n0:0:0.2 P0b\r\n");
        pty1.closeMaster();
    }
};

TEST_F(FailingPortTest, AFailureStopsTheRunWithoutSkipError) {
    click(1001);
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(pty0.read(0, 300), "A");
    ASSERT_EQ(reporter.ids(), std::vector<MessageId>{MessageId::PortWriteFailed});
    EXPECT_EQ(colours(), (Colours{paleBlue, paleRed, white}));
    EXPECT_EQ(view().sequence().currentIndex(), 0);
    // Automatic again retries the failed event first.
    click(1001);
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(reporter.ids().size(), 2u);
    EXPECT_EQ(pty0.read(0, 300), "");
}

TEST_F(FailingPortTest, SkipErrorPassesOverTheFailureAndNoPassRunsWhileAMessageIsOpen) {
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
    click(1012);
    ASSERT_TRUE(qobject_cast<QCheckBox*>(view().control(1012))->isChecked());
    click(1001);
    ASSERT_TRUE(runUntilManual());
    setReporter(recording);
    // B fell due while the box was open; it is sent only once the box has closed.
    EXPECT_EQ(sentBeforeClosing, "A");
    EXPECT_EQ(sent0(1), "B");
    EXPECT_EQ(reporter.ids(), std::vector<MessageId>{MessageId::PortWriteFailed});
    EXPECT_EQ(colours(), (Colours{paleBlue, paleRed, paleBlue}));
    EXPECT_EQ(view().sequence().currentIndex(), 2);
}

} // namespace
} // namespace cadentor::test
