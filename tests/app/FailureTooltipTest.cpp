// A failed row's tooltip tells why the event failed, as the list view shows it.
#include "AppTestSupport.h"

#include <QHelpEvent>
#include <QTableView>
#include <QToolTip>

namespace cadentor::test {
namespace {

// Rows in time order: 0 A (port 0), 1 Run (exec), 2 Gone (exec of a missing program),
// 3 Doc (open of a missing target).
class FailureTooltip : public FormTest {
protected:
    FailureTooltip()
        : FormTest("A: 0: 41\r\nRun: exec: /bin/true\r\nGone: exec: /nonexistent/program\r\n"
                   "Doc: open: /nonexistent/target.txt\r\n") {}
    QString tip(int row, int column) {
        return model().index(row, column).data(Qt::ToolTipRole).toString();
    }
    // What the view itself shows when the pointer rests on the cell.
    QString shownTip(int row, int column) {
        QWidget* viewport = view().list()->viewport();
        const QPoint at = view().list()->visualRect(model().index(row, column)).center();
        QHelpEvent event(QEvent::ToolTip, at, viewport->mapToGlobal(at));
        QApplication::sendEvent(viewport, &event);
        const QString shown = QToolTip::isVisible() ? QToolTip::text() : QString();
        QToolTip::hideText();
        return shown;
    }
};

TEST_F(FailureTooltip, FailedRowsAddTheirReasonBelowTheCellText) {
    loadSequence("0:0:0 A\r\n0:0:1 Run\r\n0:0:2 Gone\r\n0:0:3 Doc\r\n");
    ASSERT_EQ(rows(), 4);
    for (int row = 0; row < 4; ++row) {
        clickRow(row);
        click("manualExec");
    }
    ASSERT_EQ(colours(), (Colours{paleBlue, paleBlue, paleRed, paleRed}));
    const struct {
        int row, column;
        QString text;
    } cases[] = {{0, 0, "0:0:0.000"},
                 {1, 2, "Run"},
                 {2, 2, "Gone\n/nonexistent/program: No such file or directory"},
                 {2, 1, "Exec\n/nonexistent/program: No such file or directory"},
                 {3, 2, "Doc\n/nonexistent/target.txt: No such file or directory"}};
    for (const auto& c : cases)
        EXPECT_EQ(tip(c.row, c.column), c.text) << c.row << "," << c.column;
    EXPECT_EQ(shownTip(2, 2), tip(2, 2));

    click("resetSeq"); // the rows are pending again: the reason goes with the failure
    EXPECT_EQ(tip(2, 2), "Gone");
    EXPECT_TRUE(reporter.reports().empty());
}

} // namespace
} // namespace cadentor::test
