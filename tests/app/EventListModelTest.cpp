// The list model, and how the bytes of names are shown as text.

#include "AppTestSupport.h"
#include "app/TextDecoding.h"

#include <QAbstractItemModelTester>

namespace cadentor::test {
namespace {

// Rows after loading, in time order: 0 A (port 0), 59,999 Run (exec), 60,000 Doc (open),
// 3,725,500 Fail (exec of a program that does not exist).
constexpr const char* commands = "A: 0: 41 42\r\nRun: exec: /bin/true\r\n"
                                 "Doc: open: /nonexistent/target.txt\r\n"
                                 "Fail: exec: /nonexistent/program\r\n";
constexpr const char* sequenceText = "1:2:5.5 Fail\r\n0:0:59.9995 Run\r\n0:0:0 A\r\n0:1:0 Doc\r\n";

class ListModelTest : public FormTest {
protected:
    ListModelTest() : FormTest(commands) {}
    QVariant data(int row, int column, int role) { return model().index(row, column).data(role); }
};

TEST_F(ListModelTest, CellsShowTimeCodePortAndNameInTheColoursOfTheirStatusAndWhyOneFailed) {
    QAbstractItemModelTester tester(&model(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    loadSequence(sequenceText);
    ASSERT_EQ(rows(), 4);
    clickRow(0, true); // sent: Done
    clickRow(3, true); // no such program: Failed
    const QColor doneText(51, 51, 51), pendingText(0, 0, 0), failedText(0, 0, 102);
    const struct {
        QString cells[3];
        QColor text, background;
        QString outcome; // for a screen reader
    } expected[] = {
        {{"0:0:0.000", QString::fromStdString(pty0.slavePath()), "A"}, doneText, paleBlue, "Done"},
        {{"0:0:59.999", "Exec", "Run"}, pendingText, white, "Not run yet"},
        {{"0:1:0.000", "Open", "Doc"}, pendingText, white, "Not run yet"},
        {{"1:2:5.500", "Exec", "Fail"},
         failedText,
         paleRed,
         "Failed: /nonexistent/program: No such file or directory"}};
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 3; ++column) {
            SCOPED_TRACE(row * 10 + column);
            EXPECT_EQ(data(row, column, Qt::DisplayRole).toString(), expected[row].cells[column]);
            EXPECT_EQ(data(row, column, Qt::ForegroundRole).value<QColor>(), expected[row].text);
            EXPECT_EQ(data(row, column, Qt::BackgroundRole).value<QColor>(),
                      expected[row].background);
            EXPECT_EQ(data(row, column, Qt::AccessibleDescriptionRole), expected[row].outcome);
        }
    EXPECT_EQ(data(0, 2, Qt::ToolTipRole).toString(), "A");
    view().sequence().clear(); // the item count still says four rows: they answer with nothing
    for (int role : {int(Qt::DisplayRole), int(Qt::BackgroundRole), int(Qt::ForegroundRole)})
        EXPECT_FALSE(data(2, 0, role).isValid());
    click("commandList");
    answer.reset();
    click("load"); // cancelled: an empty list
    EXPECT_EQ(rows(), 0);
    EXPECT_TRUE(reporter.reports().empty());
}

TEST(TextDecoding, ShowsUtf8ThenShiftJisThenLatin1AndDecodesEachLineOnItsOwn) {
    const struct {
        const char* bytes;
        const char16_t* shown;
        bool needsShiftJis;
    } cases[] = {{"\xE3\x83\xA9\xE3\x83\xB3\xE3\x83\x97", u"ランプ", false},
                 {"\x83\x65\x83\x58\x83\x67", u"テスト", true},
                 {"\xB1\xB2", u"ｱｲ", true}, // half-width katakana in Shift_JIS, not valid UTF-8
                 // A surrogate in UTF-8 form and 0xFF are valid in neither: Latin-1.
                 {"\xED\xA0\x80\xFF", u"\u00ED\u00A0\u0080\u00FF", false},
                 {"caf\xE9!\xFF", u"caf\u00E9!\u00FF", false}};
    for (const auto& c : cases) {
        if (!c.needsShiftJis || shiftJisAvailable()) {
            EXPECT_EQ(decodeBytes(c.bytes), QString::fromUtf16(c.shown)) << c.bytes;
        }
    }
    // Overlong forms of '/' are no UTF-8: shown as bytes, never as replacement characters.
    for (const char* overlong : {"\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xC0\xAF"})
        EXPECT_FALSE(decodeBytes(overlong).contains(QChar(0xFFFD))) << overlong;
    EXPECT_EQ(decodeLines("a\r\nb\rc\n\nd"), "a\nb\nc\n\nd");
    // A UTF-8 line followed by a Latin-1 one: decoded together, neither would survive.
    EXPECT_EQ(decodeLines("\xE3\x83\xA9\r\ncaf\xE9"), QStringLiteral("ラ\ncafé"));
}

} // namespace
} // namespace cadentor::test
