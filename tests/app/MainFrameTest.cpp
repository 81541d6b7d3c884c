#include "AppTestSupport.h"

#include <QMenuBar>
#include <QProcess>
#include <filesystem>
#include <sys/ioctl.h>

namespace cadentor::test {
namespace {

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZeroAndBaseUnitsComeFromTheFont) {
    const int cases[][4] = {{309, 6, 4, 464}, {309, 7, 4, 541}, {5, 13, 8, 8},
                            {3, 13, 8, 5},    {-3, 13, 8, -5},  {7, 1, 0, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(mulDiv(c[0], c[1], c[2]), c[3]) << c[0] << "*" << c[1] << "/" << c[2];
    testApplication();
    const DialogBaseUnits base = dialogBaseUnits(formFont());
    EXPECT_EQ(base.y, QFontMetrics(formFont()).height());
    EXPECT_EQ(unitsToPixels(QRect(4, 8, 40, 16), base),
              QRect(base.x, base.y, 10 * base.x, 2 * base.y));
}

class FrameTest : public FormTest {
protected:
    FrameTest() : FormTest("A: 0: 41\r\n") {}
};

TEST_F(FrameTest, HasTitleAndIconsAndIsTheFormPlusOneMenuBarFixedInSizeAndNotMaximisable) {
    EXPECT_EQ(frame->windowTitle(), "Cadentor Ver.0.02");
    const QList<QSize> sizes = frame->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(48, 48)) && sizes.contains(QSize(32, 32)));
    EXPECT_TRUE(frame->findChildren<QMenuBar*>().isEmpty()); // the height is kept, not the menu
    const Qt::WindowFlags flags = frame->windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    const QSize form = unitsToPixels(formUnits, dialogBaseUnits(formFont()));
    EXPECT_GT(MainFrame::menuBarHeight(), 0);
    EXPECT_EQ(frame->size(), QSize(form.width(), form.height() + MainFrame::menuBarHeight()));
    frame->resize(frame->size() + QSize(100, 100));
    EXPECT_EQ(frame->size(), QSize(form.width(), form.height() + MainFrame::menuBarHeight()));
    // The view covers the whole window, also after a restore.
    frame->showMinimized();
    QTest::qWait(20);
    frame->showNormal();
    QTest::qWait(20);
    EXPECT_EQ(view().geometry(), frame->rect());
}

TEST_F(FrameTest, EveryControlSitsAtItsConvertedRectangleAndTheListHasItsColumns) {
    const DialogBaseUnits base = dialogBaseUnits(formFont());
    for (const ControlTemplate& entry : formControls()) {
        SCOPED_TRACE(entry.name);
        QWidget* widget = control(entry.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), unitsToPixels(entry.units, base));
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            EXPECT_EQ(button->text(), QString::fromUtf8(entry.text));
        }
    }
    EXPECT_EQ(formControls().size(), 14u);
    EXPECT_TRUE(control<QLabel>("title")->text().startsWith(QStringLiteral("COMポート制御")));
    const int width = view().list()->contentsRect().width();
    const QStringList headers{"Time Code", "Port", "Event"};
    for (int column = 0; column < 3; ++column) {
        EXPECT_EQ(view().list()->columnWidth(column), (column == 2 ? 3 : 1) * width / 5);
        EXPECT_EQ(model().headerData(column, Qt::Horizontal).toString(), headers[column]);
    }
    EXPECT_EQ(view().list()->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(view().list()->selectionBehavior(), QAbstractItemView::SelectRows);
}

TEST_F(FrameTest, TabVisitsTheTabStopsInTemplateOrderFromLoad) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame.get()));
    const QStringList order{"load",     "commandList", "exit",       "automatic",
                            "manual",   "initialize",  "manualExec", "resetSeq",
                            "portInfo", "list",        "skipError"};
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "load");
    for (qsizetype i = 1; i <= order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), order[i % order.size()]);
    }
    for (qsizetype i = order.size(); i-- > 0;) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), order[i]);
    }
}

TEST(FrameEnd, ExitButtonAndClosingTheWindowEndTheLoopWithCodeOne) {
    for (bool viaExit : {true, false}) {
        FormFixture form("A: 0: 41\r\n");
        ASSERT_TRUE(form.open());
        QTimer::singleShot(0, &form.loop,
                           [&] { viaExit ? form.click("exit") : void(form.frame->close()); });
        QTimer::singleShot(5000, &form.loop, [&] { form.loop.quit(99); });
        EXPECT_EQ(form.loop.run(), 1) << viaExit;
        EXPECT_FALSE(form.frame->isVisible());
    }
}

// The real program, copied next to its own Config.ini and Command.def, started offscreen.
struct Program : QProcess {
    Program(const std::string& config, const QStringList& arguments = {}) {
        const std::string program = directory.file("cadentor");
        std::filesystem::copy_file(CADENTOR_APP_BINARY, program);
        directory.write("Config.ini", config);
        directory.write("Command.def", "A: exec: /bin/true\n");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        setProcessEnvironment(environment);
        start(QString::fromStdString(program), arguments);
    }
    ~Program() override {
        kill();
        waitForFinished();
    }
    ApplicationFirst application;
    TempDir directory;
};

TEST(Program, RefusesArgumentsItDoesNotKnowBeforeQtSeesThem) {
    // Options that Qt would take are not ours: a usage error, not Qt's.
    Program program("[Common]\nRequire=0\n", {"-platform", "no-such-platform"});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 2);
    EXPECT_TRUE(
        program.readAllStandardError().startsWith("cadentor: unknown argument '-platform'"));
}

TEST(Program, SigtermClosesTheWindowAndThePortsAndExitsWithOne) {
    Pty pty;
    const auto heldExclusively = [&] {
        int held = 0;
        return ::ioctl(pty.slaveFd(), TIOCGEXCL, &held) == 0 && held != 0;
    };
    Program program("[Common]\nRequire=1\n[Port0]\nDevice=" + pty.slavePath() + "\n");
    for (int waited = 0; !heldExclusively(); waited += 10, ::usleep(10000))
        ASSERT_LT(waited, 10000) << "the program never opened its port";
    program.terminate(); // SIGTERM
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    EXPECT_FALSE(heldExclusively());
}

} // namespace
} // namespace cadentor::test
