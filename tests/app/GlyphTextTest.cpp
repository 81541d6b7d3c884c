// Texts placed from cached glyphs look exactly as Qt's own text drawing makes them: alone, in the
// time label and in the list's cells.

#include "app/GlyphText.h"

#include "AppTestSupport.h"
#include "app/FormTemplate.h"

#include <QPainter>
#include <QStyledItemDelegate>

namespace cadentor::test {
namespace {

QImage blank(QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    return image;
}

QImage grabbed(QWidget* widget) {
    return widget->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

TEST(GlyphText, DrawsPrintableAsciiAsQtDrawsTextAndLeavesOtherTextToIt) {
    ApplicationFirst application;
    GlyphText glyphs;
    for (const QFont& font : {formFont(), QFont(QStringLiteral("DejaVu Serif"), 13)}) {
        // Kerned pairs (AV, To, Wa, Te), a space at either end, punctuation, every digit; then
        // pairs that many fonts join into one glyph, placed only where the font does not.
        const struct {
            const char* text;
            bool placed;
        } cases[] = {{"CurrentTime=1:23:45.678", true},
                     {"AV To Wave, Te.", true},
                     {" 0:0:0.000 ", true},
                     {"!\"#$%&'()*+-<>?@[\\]^_`{|}~", true},
                     {"9876543210", true},
                     {"office", false},
                     {"Shuffle", false}};
        for (const auto& c : cases) {
            SCOPED_TRACE(c.text);
            const QString shown = QString::fromLatin1(c.text);
            const std::optional<GlyphText::Line> line = glyphs.layout(font, shown);
            ASSERT_TRUE(line || !c.placed);
            if (!line)
                continue;
            QImage expected = blank({400, 40}), drawn = blank({400, 40});
            QPainter reference(&expected);
            reference.setFont(font);
            reference.drawText(QPointF(3, 25), shown);
            reference.end();
            QPainter painter(&drawn);
            painter.drawGlyphRun(QPointF(3, 25), line->glyphs);
            painter.end();
            EXPECT_EQ(drawn, expected);
            EXPECT_NEAR(line->width, QFontMetricsF(font).horizontalAdvance(shown), 0.01);
        }
    }
    for (const char16_t* other : {u"", u"caf\u00E9", u"\u30E9\u30F3\u30D7", u"a\tb", u"x\x7F"})
        EXPECT_FALSE(glyphs.layout(formFont(), QString::fromUtf16(other)));
}

class GlyphPaintingTest : public FormTest {
protected:
    GlyphPaintingTest() : FormTest("A: 0: 41\r\nAVToWave: 1: 42\r\n\x83\x65: 0: 43\r\n") {}
};

TEST_F(GlyphPaintingTest, LabelAndListLookAsTheStyleDrawsThem) {
    loadSequence("0:0:0 A\r\n0:0:1 AVToWave\r\n0:0:2 \x83\x65\r\n0:0:3 A\r\n");
    ASSERT_EQ(rows(), 4);
    clickRow(0, true);                    // sent: in the colours of a row that ran
    clickRow(2);                          // selected, and the current cell has the focus
    view().list()->setColumnWidth(1, 20); // the port text does not fit: elided by the style
    QTableView* list = view().list();
    const auto sameAsStyle = [&] {
        const QImage own = grabbed(list->viewport());
        QAbstractItemDelegate* delegate = list->itemDelegate();
        QStyledItemDelegate plain;
        list->setItemDelegate(&plain);
        const bool same = own == grabbed(list->viewport());
        list->setItemDelegate(delegate);
        return same;
    };
    EXPECT_TRUE(sameAsStyle());
    // In a window that is not active, in colours of its own.
    QPalette palette = list->palette();
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText, Qt::red);
    list->setPalette(palette);
    QApplication::setActiveWindow(nullptr);
    EXPECT_TRUE(sameAsStyle());

    TimeLabel* label = control<TimeLabel>("timeLabel");
    label->setText(QStringLiteral("CurrentTime=1:02:03.456"));
    // In the form's font, and in another set later.
    for (const QFont& font : {label->font(), QFont(QStringLiteral("DejaVu Serif"), 13)}) {
        label->setFont(font);
        QImage expected = blank(label->size());
        QPainter painter(&expected);
        painter.fillRect(expected.rect(), label->palette().window());
        painter.setFont(font);
        painter.setPen(label->palette().color(QPalette::WindowText));
        painter.drawText(expected.rect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                         label->text());
        painter.end();
        EXPECT_EQ(grabbed(label), expected);
    }
}

TEST_F(GlyphPaintingTest, ALabelRepaintedWhereItsTextChangedLooksAsOneDrawnWhole) {
    TimeLabel* label = control<TimeLabel>("timeLabel");
    const QRect where(label->mapTo(label->window(), QPoint(0, 0)), label->size());
    // What the window shows of the label once the repaints asked for are done.
    const auto shown = [&] {
        QApplication::processEvents();
        return label->screen()->grabWindow(label->window()->winId()).toImage().copy(where);
    };
    // The last digits, the width of the number, a kerned pair, a shorter text, and one that
    // GlyphText leaves to Qt.
    for (const char* text : {"CurrentTime=0:0:9.999", "CurrentTime=0:0:10.000",
                             "CurrentTime=0:0:10.017", "CurrentTime=0:1:10.017", "AV",
                             "AVToWave 7.7", "AVTo", "CurrentTime=\xe9", "CurrentTime=0:0:0.001"}) {
        SCOPED_TRACE(text);
        label->setText(QString::fromLatin1(text));
        const QImage changed = shown();
        label->update();
        EXPECT_EQ(changed, shown());
    }
}

} // namespace
} // namespace cadentor::test
