#include "AppTestSupport.h"

namespace cadentor::test {
namespace {

constexpr const char* commands =
    "P0a: 0: 41\r\nP0b: 0: 42\r\nP0c: 0: 43\r\nP1a: 1: 61 62\r\nRun: exec: /bin/true\r\n";
// In time order: P0a 0, P0b 300, P0c 600, P1a 600.
constexpr const char* sequenceText = "0:0:0.3 P0b\r\n0:0:0 P0a\r\n0:0:0.6 P0c\r\n0:0:0.6 P1a\r\n";

const QColor white(255, 255, 255), paleBlue(204, 204, 255), paleRed(255, 153, 153);

class ViewTest : public ::testing::Test {
protected:
    ViewTest() : fixture(commands) {}
    void SetUp() override {
        fixture.open();
        frame().show();
        QApplication::setActiveWindow(&frame());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame()));
    }

    MainFrame& frame() { return *fixture.frame; }
    MainView& view() { return fixture.view(); }
    QTableView* list() { return view().list(); }
    int rows() { return list()->model()->rowCount(); }
    QString cell(int row, int column) {
        return view().listModel().index(row, column).data().toString();
    }
    QString timeLabel() { return qobject_cast<QLabel*>(view().control(1004))->text(); }
    std::string sent0(int bytes) { return fixture.pty0.read(bytes, bytes ? 2000 : 50); }
    void click(int id) { fixture.click(id); }
    void key(int id, Qt::Key k, Qt::KeyboardModifiers modifiers = {}) {
        QWidget* target = id ? view().control(id) : list();
        target->setFocus();
        QTest::keyClick(target, k, modifiers);
    }
    void loadSequence(const std::string& text = sequenceText) {
        fixture.answer = fixture.directory.write("run.txt", text);
        click(1007);
    }
    QPoint rowCentre(int row) {
        return list()->visualRect(view().listModel().index(row, 1)).center();
    }
    void clickRow(int row) {
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, rowCentre(row));
    }
    QColor background(int row) {
        return view().listModel().index(row, 0).data(Qt::BackgroundRole).value<QColor>();
    }
    bool runUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
        return runLoopUntil(fixture.loop, done, timeoutMs);
    }
    bool runUntilManual() {
        return runUntil([&] { return view().blinkTimerId() == BlinkTimerId; });
    }
    bool manualAndPaused() {
        return view().blinkTimerId() == BlinkTimerId && view().clock().isPaused();
    }

    FormFixture fixture;
};

TEST_F(ViewTest, StartsInManualModeWithZeroTimeAnEmptyListAndThePortsListedAndBlinks) {
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.000");
    EXPECT_EQ(rows(), 0);
    EXPECT_TRUE(manualAndPaused());
    EXPECT_EQ(view().shownBitmap(), 102);
    EXPECT_FALSE(qobject_cast<QCheckBox*>(view().control(1012))->isChecked());
    EXPECT_EQ(view().portInformation(),
              fixture.pty0.slavePath() + " : 9600 bps / NoParity / 1bit\r\n" +
                  fixture.pty1.slavePath() + " : 38400 bps / Even / 2bits\r\n");
    const auto* edit = view().findChild<QPlainTextEdit*>("1011");
    EXPECT_EQ(edit->toPlainText().count('\n'), 1);
    EXPECT_TRUE(edit->isReadOnly());
    EXPECT_TRUE(fixture.reporter.reports().empty());
    // The picture blinks between the two manual pictures.
    EXPECT_TRUE(runUntil([&] { return view().shownBitmap() == 103; }, 3000));
    EXPECT_TRUE(runUntil([&] { return view().shownBitmap() == 102; }, 3000));
    const auto* picture = view().findChild<QLabel*>("1003");
    EXPECT_EQ(picture->pixmap().size(), QSize(200, 50));
    EXPECT_FALSE(picture->hasScaledContents());
}

TEST_F(ViewTest, CommandListByItsMnemonicThenAutomaticSendsEveryCommandInListOrder) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame()));
    QTest::keyClick(&frame(), Qt::Key_C, Qt::AltModifier); // Alt and the underlined letter
    ASSERT_TRUE(runUntil([&] { return rows() == 5; }, 3000));
    std::string expected0, expected1;
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(cell(row, 0), "0:0:0.000");
        const std::string name = cell(row, 2).toStdString();
        if (name == "P1a")
            expected1 += "ab";
        else if (name != "Run")
            expected0 += char('A' + name[2] - 'a');
    }
    click(1001);
    EXPECT_EQ(view().shownBitmap(), 105);
    EXPECT_EQ(view().blinkTimerId(), 0);
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(sent0(3), expected0);
    EXPECT_EQ(fixture.pty1.read(2), expected1);
    for (int row = 0; row < 5; ++row)
        EXPECT_EQ(background(row), paleBlue) << row;
    EXPECT_EQ(view().selectedRow(), 4);
    EXPECT_TRUE(fixture.reporter.reports().empty());
}

TEST_F(ViewTest, AutomaticRunsALoadedSequenceOnTimeEndsInManualModeAndResetSeqRewinds) {
    loadSequence();
    EXPECT_EQ(fixture.dialogs, 1);
    ASSERT_EQ(rows(), 4);
    EXPECT_EQ(cell(3, 2), "P1a");
    click(1001);
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(sent0(3), "ABC");
    EXPECT_EQ(fixture.pty1.read(2), "ab");
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
    // Reset Seq.: every row white, nothing selected, the time back to zero.
    click(1010);
    for (int row = 0; row < 4; ++row)
        EXPECT_EQ(background(row), white) << row;
    EXPECT_EQ(view().selectedRow(), -1);
    EXPECT_FALSE(list()->currentIndex().isValid());
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.000");
    EXPECT_EQ(view().sequence().currentIndex(), -1);
    EXPECT_TRUE(manualAndPaused());
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
    EXPECT_EQ(background(1), paleBlue);
    EXPECT_EQ(background(0), white);
    EXPECT_EQ(view().selectedRow(), 1); // the selection stays on the executed row
    // A double click: the first click selects, the second arrives as the double click.
    clickRow(3);
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, rowCentre(3));
    EXPECT_EQ(fixture.pty1.read(2), "ab");
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.600");
    EXPECT_EQ(view().sequence().currentIndex(), 3);
    EXPECT_EQ(background(3), paleBlue);
}

TEST_F(ViewTest, ManualExecDuringARunStopsItFirst) {
    loadSequence("0:0:0 P0a\r\n0:0:30 P0b\r\n");
    clickRow(0);
    click(1001);
    ASSERT_TRUE(runUntil([&] { return background(0) == paleBlue; }));
    EXPECT_EQ(sent0(1), "A");
    clickRow(1);
    click(1008);
    EXPECT_TRUE(manualAndPaused());
    EXPECT_EQ(sent0(1), "B");
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:30.000");
}

TEST_F(ViewTest, LoadWithACancelledDialogStillReinitialisesEverything) {
    loadSequence();
    clickRow(0);
    click(1008);
    ASSERT_EQ(sent0(1), "A");
    fixture.directory.write("Command.def", "Fresh: 0: 46\r\n");
    fixture.directory.write("Config.ini", "[Common]\r\nRequire=1\r\n[Port0]\r\nDevice=" +
                                              fixture.pty1.slavePath() + "\r\n");
    fixture.answer.reset();
    click(1007);
    EXPECT_EQ(fixture.dialogs, 2);
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(timeLabel(), "CurrentTime=0:0:0.000");
    EXPECT_EQ(view().blinkTimerId(), BlinkTimerId);
    EXPECT_EQ(view().portInformation(),
              fixture.pty1.slavePath() + " : 9600 bps / NoParity / 1bit\r\n");
    click(1009); // the new Command.def was read
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, 2), "Fresh");
    EXPECT_EQ(cell(0, 1), QString::fromStdString(fixture.pty1.slavePath()));
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
    EXPECT_EQ(fixture.pty1.read(2), "ab");
    EXPECT_EQ(background(0), white);
    // Enter on the check box is the OK command too.
    clickRow(0);
    key(1012, Qt::Key_Enter);
    EXPECT_EQ(sent0(1), "A");
    key(1010, Qt::Key_Escape);
    EXPECT_EQ(background(0), paleBlue);
    EXPECT_EQ(rows(), 4);
    key(1010, Qt::Key_Return); // Reset Seq., and not the OK command
    EXPECT_EQ(background(0), white);
    EXPECT_EQ(sent0(0), "");
}

class FailingPortTest : public ViewTest {
protected:
    // Row 1 goes to port 1, whose far end is gone, so that its write fails.
    void SetUp() override {
        ViewTest::SetUp();
        loadSequence("0:0:0 P0a\r\n0:0:0.1 P1a\r\n0:0:0.2 P0b\r\n");
        fixture.pty1.closeMaster();
    }
    std::vector<QColor> colours() { return {background(0), background(1), background(2)}; }
};

TEST_F(FailingPortTest, AFailureStopsTheRunWithoutSkipError) {
    click(1001);
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(fixture.pty0.read(0, 300), "A");
    ASSERT_EQ(fixture.reporter.ids(), std::vector<MessageId>{MessageId::PortWriteFailed});
    EXPECT_EQ(colours(), (std::vector<QColor>{paleBlue, paleRed, white}));
    EXPECT_EQ(view().sequence().currentIndex(), 0);
    EXPECT_TRUE(view().clock().isPaused());
    // Automatic again retries the failed event first.
    click(1001);
    ASSERT_TRUE(runUntilManual());
    EXPECT_EQ(fixture.reporter.ids().size(), 2u);
    EXPECT_EQ(fixture.pty0.read(0, 300), "");
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
        sentBeforeClosing = fixture.pty0.read(0, 1);
    });
    click(1012);
    ASSERT_TRUE(qobject_cast<QCheckBox*>(view().control(1012))->isChecked());
    click(1001);
    ASSERT_TRUE(runUntilManual());
    setReporter(recording);
    // B fell due while the box was open; it is sent only once the box has closed.
    EXPECT_EQ(sentBeforeClosing, "A");
    EXPECT_EQ(sent0(1), "B");
    EXPECT_EQ(fixture.reporter.ids(), std::vector<MessageId>{MessageId::PortWriteFailed});
    EXPECT_EQ(colours(), (std::vector<QColor>{paleBlue, paleRed, paleBlue}));
    EXPECT_EQ(view().sequence().currentIndex(), 2);
}

TEST(ViewStartUp, ReportsThePortFailureFirstThenTheCommandFileAndCarriesOn) {
    FormFixture fixture("", "[Common]\r\nRequire=1\r\n[Port0]\r\nDevice=/nonexistent/tty\r\n");
    std::remove(fixture.directory.file("Command.def").c_str());
    fixture.open();
    EXPECT_EQ(fixture.reporter.ids(),
              (std::vector<MessageId>{MessageId::PortOpenFailed, MessageId::CommandReadFailed}));
    EXPECT_EQ(fixture.view().portInformation(), "");
    EXPECT_EQ(fixture.view().list()->model()->rowCount(), 0);
    EXPECT_EQ(fixture.view().blinkTimerId(), BlinkTimerId);
}

} // namespace
} // namespace cadentor::test
