#include "AppTestSupport.h"
#include "app/FormTemplate.h"
#include "messages/Messages.h"

#include <QFontMetrics>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace cadentor::test {
namespace {

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZero) {
    const struct {
        int a, b, c, result;
    } cases[] = {{309, 6, 4, 464}, {309, 7, 4, 541}, {50, 6, 4, 75}, {5, 13, 8, 8},
                 {3, 13, 8, 5},    {-3, 13, 8, -5},  {0, 9, 4, 0},   {7, 1, 0, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(mulDiv(c.a, c.b, c.c), c.result) << c.a << "*" << c.b << "/" << c.c;
}

TEST(DialogUnits, BaseUnitsComeFromTheFontsLettersAndHeight) {
    testApplication();
    const QFont font = formFont();
    const QFontMetrics metrics(font);
    const DialogBaseUnits base = dialogBaseUnits(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    EXPECT_EQ(base.x, (letters / 26 + 1) / 2);
    EXPECT_EQ(base.y, metrics.height());
    EXPECT_EQ(unitsToPixels(QRect(4, 8, 40, 16), base),
              QRect(base.x, base.y, 10 * base.x, 2 * base.y));
}

class FrameTest : public ::testing::Test {
protected:
    FrameTest() : fixture("A: 0: 41\r\n") { fixture.open(); }
    MainFrame& frame() { return *fixture.frame; }
    FormFixture fixture;
};

TEST_F(FrameTest, HasTheTitleAndIconAndNoMenuBar) {
    EXPECT_EQ(frame().windowTitle(), "Cadentor Ver.0.02");
    EXPECT_EQ(frame().windowTitle().toStdString(), loadMessage(MessageId::AppTitle));
    const QList<QSize> sizes = frame().windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(48, 48)));
    EXPECT_TRUE(sizes.contains(QSize(32, 32)));
    EXPECT_TRUE(frame().findChildren<QMenuBar*>().isEmpty());
}

TEST_F(FrameTest, CannotBeResizedOrMaximisedButCanBeMinimised) {
    const Qt::WindowFlags flags = frame().windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_EQ(frame().minimumSize(), frame().maximumSize());
    frame().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame()));
    const QSize before = frame().size();
    frame().resize(before + QSize(100, 100));
    EXPECT_EQ(frame().size(), before);
}

TEST_F(FrameTest, IsTheFormPlusOneMenuBarAndTheViewCoversItAllAfterRestore) {
    const QSize form = unitsToPixels(formUnits, dialogBaseUnits(formFont()));
    EXPECT_GT(MainFrame::menuBarHeight(), 0);
    EXPECT_EQ(frame().size(), QSize(form.width(), form.height() + MainFrame::menuBarHeight()));
    frame().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame()));
    EXPECT_EQ(fixture.view().geometry(), frame().rect());
    frame().showMinimized();
    QTest::qWait(20);
    frame().showNormal();
    QTest::qWait(20);
    EXPECT_EQ(fixture.view().geometry(), frame().rect());
}

TEST_F(FrameTest, EveryControlOfTheFormSitsAtItsConvertedRectangle) {
    const DialogBaseUnits base = dialogBaseUnits(formFont());
    int found = 0;
    for (const ControlTemplate& entry : formControls()) {
        const QString name = entry.id ? QString::number(entry.id) : QStringLiteral("title");
        auto* widget = fixture.view().findChild<QWidget*>(name);
        ASSERT_NE(widget, nullptr) << name.toStdString();
        EXPECT_EQ(widget->geometry(), unitsToPixels(entry.units, base)) << name.toStdString();
        if (entry.kind == ControlKind::PushButton || entry.kind == ControlKind::CheckBox) {
            EXPECT_EQ(qobject_cast<QAbstractButton*>(widget)->text(),
                      QString::fromUtf8(entry.text));
        }
        ++found;
    }
    EXPECT_EQ(found, 14);
    auto* title = fixture.view().findChild<QLabel*>("title");
    EXPECT_TRUE(title->text().startsWith(QStringLiteral("COMポート制御")));
}

TEST_F(FrameTest, ListHasItsColumnsAtFifthsOfItsWidth) {
    QTableView* list = fixture.view().list();
    const int width = list->contentsRect().width();
    EXPECT_EQ(list->columnWidth(0), width / 5);
    EXPECT_EQ(list->columnWidth(1), width / 5);
    EXPECT_EQ(list->columnWidth(2), 3 * width / 5);
    const QStringList headers{"Time Code", "Port", "Event"};
    for (int column = 0; column < 3; ++column)
        EXPECT_EQ(list->model()->headerData(column, Qt::Horizontal).toString(), headers[column]);
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_FALSE(list->isSortingEnabled());
}

TEST_F(FrameTest, TabVisitsTheTabStopsInTemplateOrderFromLoad) {
    frame().show();
    QApplication::setActiveWindow(&frame());
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame()));
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

TEST_F(FrameTest, ExitButtonEndsTheLoopWithCodeOne) {
    frame().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame()));
    QTimer::singleShot(0, &fixture.loop,
                       [&] { QTest::mouseClick(fixture.view().control(1006), Qt::LeftButton); });
    QTimer::singleShot(5000, &fixture.loop, [&] { fixture.loop.quit(99); });
    EXPECT_EQ(fixture.loop.run(), 1);
    EXPECT_FALSE(frame().isVisible());
}

TEST_F(FrameTest, ClosingTheWindowEndsTheLoopWithCodeOne) {
    frame().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame()));
    QTimer::singleShot(0, &fixture.loop, [&] { frame().close(); });
    QTimer::singleShot(5000, &fixture.loop, [&] { fixture.loop.quit(99); });
    EXPECT_EQ(fixture.loop.run(), 1);
}

// The real program, copied next to its own Config.ini and Command.def, started offscreen.
class ProgramProcess {
public:
    ProgramProcess(const std::string& config, std::vector<std::string> arguments = {}) {
        const std::string program = directory.file("cadentor");
        std::filesystem::copy_file(CADENTOR_APP_BINARY, program);
        directory.write("Config.ini", config);
        directory.write("Command.def", "A: exec: /bin/true\n");
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~ProgramProcess() {
        if (pid > 0 && !ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
    }
    // Whether the process ended within `timeoutMs`.
    bool waitForEnd(int timeoutMs) {
        for (int waited = 0; waited <= timeoutMs && !ended; waited += 10) {
            ended = ::waitpid(pid, &status, WNOHANG) == pid;
            if (!ended)
                ::usleep(10000);
        }
        return ended;
    }

    TempDir directory;
    pid_t pid = -1;
    int status = 0;
    bool ended = false;
};

bool heldExclusively(const Pty& pty) {
    int held = 0;
    return ::ioctl(pty.slaveFd(), TIOCGEXCL, &held) == 0 && held != 0;
}

// Options that would make Qt fail if it saw them.
TEST(Program, IgnoresItsCommandLine) {
    ProgramProcess process("[Common]\nRequire=0\n",
                           {"-platform", "no-such-platform", "-style", "no-such-style", "--bogus"});
    ASSERT_GT(process.pid, 0);
    EXPECT_FALSE(process.waitForEnd(1500))
        << "the program ended at once, status " << process.status;
}

TEST(Program, SigtermClosesTheWindowAndThePortsAndExitsWithOne) {
    Pty pty;
    ProgramProcess process("[Common]\nRequire=1\n[Port0]\nDevice=" + pty.slavePath() + "\n");
    ASSERT_GT(process.pid, 0);
    bool opened = false;
    for (int waited = 0; waited < 10000 && !opened; waited += 10) {
        opened = heldExclusively(pty);
        if (!opened)
            ::usleep(10000);
    }
    ASSERT_TRUE(opened) << "the program never opened its port";
    ::kill(process.pid, SIGTERM);
    ASSERT_TRUE(process.waitForEnd(10000));
    ASSERT_TRUE(WIFEXITED(process.status)) << process.status;
    EXPECT_EQ(WEXITSTATUS(process.status), 1);
    EXPECT_FALSE(heldExclusively(pty));
}

} // namespace
} // namespace cadentor::test
