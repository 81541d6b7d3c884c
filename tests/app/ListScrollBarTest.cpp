// The event list's scroll bar looks exactly as the application's style draws it, and nothing
// behind it is painted while it covers it.

#include "AppTestSupport.h"
#include "app/ViewForm.h"

#include <QPainter>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QStyleOptionSlider>

namespace cadentor::test {
namespace {

QStyleOptionSlider optionOf(const QScrollBar* bar) {
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.orientation = bar->orientation();
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = option.sliderValue = bar->value();
    option.singleStep = bar->singleStep();
    option.pageStep = bar->pageStep();
    option.subControls = QStyle::SC_All;
    return option;
}

// The bar as `style` draws it at `scale` times the resolution of its coordinates, on an image
// like a window's, with or without alpha.
QImage drawing(const QStyle* style, const QScrollBar* bar, int scale, QImage::Format format) {
    const QStyleOptionSlider option = optionOf(bar);
    QImage image(bar->size() * scale, format);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::white);
    QPainter painter(&image);
    // As a window's clip often is, not one rectangle.
    painter.setClipRegion(QRegion(bar->rect()) - QRegion(0, 0, 2, 2));
    style->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, bar);
    return image;
}

// An event list of many rows, shown.
class ListScrollBar : public testing::Test {
protected:
    ListScrollBar() {
        view.setModel(&model);
        view.resize(320, 480);
        view.show();
    }
    ApplicationFirst application;
    QStandardItemModel model{1000, 3};
    EventListView view{nullptr};
};

TEST_F(ListScrollBar, LooksAsTheStyleDrawsIt) {
    QScrollBar* bar = view.verticalScrollBar();
    const QStyle* style = bar->style();
    ASSERT_TRUE(dynamic_cast<const ScrollBarStyle*>(style));
    // A short slider, the same in other colours (which is all that changes from the case
    // before), one taller than a band, and a bar disabled.
    const struct {
        const char* what;
        int rows;
        bool enabled;
        QColor button;
    } cases[] = {{"long list", 1000, true, {}},
                 {"coloured", 1000, true, QColor(40, 90, 160)},
                 {"short list", 30, true, {}},
                 {"disabled", 1000, false, {}}};
    for (const auto format : {QImage::Format_RGB32, QImage::Format_ARGB32_Premultiplied})
        for (const int scale : {1, 2})
            for (const auto& c : cases) {
                SCOPED_TRACE(testing::Message() << c.what << " at " << scale << "x on " << format);
                model.setRowCount(c.rows);
                QApplication::processEvents(); // the bar's range follows
                bar->setEnabled(c.enabled);
                QPalette palette = QApplication::palette(bar);
                if (c.button.isValid())
                    palette.setColor(QPalette::Button, c.button);
                bar->setPalette(palette);
                const QStyleOptionSlider option = optionOf(bar);
                const QRect slider = style->subControlRect(QStyle::CC_ScrollBar, &option,
                                                           QStyle::SC_ScrollBarSlider, bar);
                ASSERT_TRUE(c.rows >= 100 || slider.height() * scale > ScrollBarStyle::bandRows);
                drawing(style, bar, scale, format); // the first drawing at a size, state or palette
                const int values[] = {0, bar->maximum() / 3, bar->maximum()};
                for (const int value : values) {
                    bar->setValue(value);
                    EXPECT_EQ(drawing(style, bar, scale, format),
                              drawing(QApplication::style(), bar, scale, format))
                        << value;
                }
            }
}

// Qt paints what is behind a bar only while the bar may not cover it: drawn on its kept opaque
// groove it is marked as covering all; drawn by the style (here at a scale that is not whole),
// it is not, and it is painted again with what is behind.
TEST_F(ListScrollBar, IsMarkedOpaqueOnlyWhileDrawnOnItsGroove) {
    QApplication::processEvents();
    QScrollBar* bar = view.verticalScrollBar();
    const QStyleOptionSlider option = optionOf(bar);
    for (const qreal scale : {1.0, 1.5, 2.0}) {
        SCOPED_TRACE(scale);
        QImage image(bar->size() * 2, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        painter.scale(scale, scale);
        bar->style()->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, bar);
        EXPECT_EQ(bar->testAttribute(Qt::WA_OpaquePaintEvent), scale != 1.5);
    }
}

} // namespace
} // namespace cadentor::test
