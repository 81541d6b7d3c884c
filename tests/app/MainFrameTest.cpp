#include "AppTestSupport.h"

#include <QFontMetrics>
#include <QMenuBar>
#include <QProcess>
#include <filesystem>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace cadentor::test {
namespace {

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZeroAndBaseUnitsComeFromTheFont) {
    const int cases[][4] = {{309, 6, 4, 464}, {309, 7, 4, 541}, {50, 6, 4, 75}, {5, 13, 8, 8},
                            {3, 13, 8, 5},    {-3, 13, 8, -5},  {0, 9, 4, 0},   {7, 1, 0, -1}};
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
    FrameTest() : FormTest("A: 0: 41\r\n") { open(); }
};

TEST_F(FrameTest, HasTitleAndIconsAndIsTheFormPlusOneMenuBarFixedInSizeAndNotMaximisable) {
    EXPECT_EQ(frame->windowTitle(), "Cadentor Ver.0.02");
    const QList<QSize> sizes = frame->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(48, 48)) && sizes.contains(QSize(32, 32)));
    EXPECT_TRUE(frame->findChildren<QMenuBar*>().isEmpty()); // the height is kept, not the menu
    const Qt::WindowFlags flags = frame->windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    const QSize form = unitsToPixels(formUnits, dialogBaseUnits(formFont()));
    EXPECT_GT(MainFrame::menuBarHeight(), 0);
    EXPECT_EQ(frame->size(), QSize(form.width(), form.height() + MainFrame::menuBarHeight()));
    EXPECT_EQ(frame->minimumSize(), frame->maximumSize());
    ASSERT_TRUE(show());
    const QSize before = frame->size();
    frame->resize(before + QSize(100, 100));
    EXPECT_EQ(frame->size(), before);
    // The view covers the whole window, also after a restore.
    EXPECT_EQ(view().geometry(), frame->rect());
    frame->showMinimized();
    QTest::qWait(20);
    frame->showNormal();
    QTest::qWait(20);
    EXPECT_EQ(view().geometry(), frame->rect());
}

TEST_F(FrameTest, EveryControlOfTheFormSitsAtItsConvertedRectangle) {
    const DialogBaseUnits base = dialogBaseUnits(formFont());
    int found = 0;
    for (const ControlTemplate& entry : formControls()) {
        const QString name = entry.id ? QString::number(entry.id) : QStringLiteral("title");
        SCOPED_TRACE(name.toStdString());
        auto* widget = view().findChild<QWidget*>(name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), unitsToPixels(entry.units, base));
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            EXPECT_EQ(button->text(), QString::fromUtf8(entry.text));
        }
        ++found;
    }
    EXPECT_EQ(found, 14);
    EXPECT_TRUE(
        view().findChild<QLabel*>("title")->text().startsWith(QStringLiteral("COMポート制御")));
    // The list: three columns at fifths of its width, one row selected at a time, unsorted.
    QTableView* list = view().list();
    const int width = list->contentsRect().width();
    const QStringList headers{"Time Code", "Port", "Event"};
    for (int column = 0; column < 3; ++column) {
        EXPECT_EQ(list->columnWidth(column), (column == 2 ? 3 : 1) * width / 5);
        EXPECT_EQ(list->model()->headerData(column, Qt::Horizontal).toString(), headers[column]);
    }
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_FALSE(list->isSortingEnabled());
}

TEST_F(FrameTest, TabVisitsTheTabStopsInTemplateOrderFromLoad) {
    ASSERT_TRUE(show(true));
    const std::vector<int> order{1007, 1009, 1006, 1001, 1002, 1005, 1008, 1010, 1011, 1000, 1012};
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "1007");
    for (std::size_t i = 1; i <= order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName(),
                  QString::number(order[i % order.size()]));
    }
    for (std::size_t i = order.size(); i-- > 0;) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), QString::number(order[i]));
    }
}

TEST(FrameEnd, ExitButtonAndClosingTheWindowEndTheLoopWithCodeOne) {
    for (bool viaExit : {true, false}) {
        FormFixture form("A: 0: 41\r\n");
        form.open();
        ASSERT_TRUE(form.show());
        QTimer::singleShot(0, &form.loop,
                           [&] { viaExit ? form.click(1006) : void(form.frame->close()); });
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
