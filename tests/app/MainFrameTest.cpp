#include "AppTestSupport.h"

#include <QMenuBar>

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

TEST_F(FrameTest, ControlsSitAtTheirConvertedRectanglesAndTheListHasItsColumns) {
    for (const ControlTemplate& entry : formControls()) {
        QWidget* widget = control(entry.name);
        ASSERT_NE(widget, nullptr) << entry.name;
        EXPECT_EQ(widget->geometry(), unitsToPixels(entry.units, dialogBaseUnits(formFont())));
    }
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

} // namespace
} // namespace cadentor::test
