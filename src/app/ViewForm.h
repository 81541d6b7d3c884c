#pragma once
// The widgets of the main form, made from the form template: every control at its rectangle in
// the form font's dialog units, named as in the template, in Tab order. The push buttons are
// made but not connected; the view binds them by name.

#include "app/GlyphText.h"

#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QStyleOptionSlider>
#include <QStyledItemDelegate>
#include <QTableView>
#include <optional>
#include <string>

class QAbstractItemModel;
class QCheckBox;
class QLabel;

namespace cadentor {

// The port information box: read-only, it keeps the text exactly as it was set (CR LF line
// ends) and shows it line by line.
class PortInfoEdit : public QPlainTextEdit {
public:
    explicit PortInfoEdit(QWidget* parent);
    void setRawText(const std::string& text);
    const std::string& rawText() const { return raw_; }

private:
    std::string raw_;
};

// Paints the list's cells as the style does, placing a text that fits its cell with GlyphText;
// a selected failed row is highlighted in failedSelection.
class EventListDelegate : public QStyledItemDelegate {
public:
    static inline const QColor failedSelection{153, 0, 0};
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    mutable GlyphText glyphs_;
};

// Draws a scroll bar as the application's style does, for less. The list's bar repaints as a
// run goes on. Most of each repaint was its groove, which changes only with the bar's size, state
// and palette: it is kept as an image, when the style paints it opaque, and the rest is drawn on
// a copy of it. And Qt's raster engine shares a fill or blend of many pixel rows out among helper
// threads and waits for them, which cost more than the drawing: a tall slider is drawn, and the
// image put on the painter, band by band, each band too short for that with shapes of up to two
// spans a row (a rectangle's outline). At a screen's ratio that is not whole, the style draws.
// A bar drawn on an opaque groove covers every pixel of it, and is marked so: Qt then paints
// nothing behind it (the list's frame, the form) when only the bar changes.
class ScrollBarStyle : public QProxyStyle {
public:
    static constexpr int bandRows = 47; // of device pixels
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override;

private:
    struct GrooveKey {
        QRect rect;
        int ratio = 0;
        State state;
        SubControls active;
        Qt::Orientation orientation = Qt::Vertical;
        Qt::LayoutDirection direction = Qt::LeftToRight;
        qint64 palette = 0;
        bool operator==(const GrooveKey&) const = default;
    };
    // Marks `bar` as covering all of its pixels when it paints, or not.
    static void markOpaque(const QWidget& bar, bool opaque);
    // The groove of `bar` at `ratio` device pixels a unit; null when not opaque.
    const QImage& groove(const QStyleOptionSlider& bar, int ratio, const QWidget* widget) const;

    mutable std::optional<GrooveKey> grooveKey_;
    mutable QImage groove_;
};

// The event list: whole rows, one at a time; Home and End go to the first and the last row.
class EventListView : public QTableView {
public:
    explicit EventListView(QWidget* parent);
    // The header gets a selection model of its own: it shows no selection, and a selection that
    // spans every column would otherwise repaint the whole header whenever the row moves.
    void setSelectionModel(QItemSelectionModel* selection) override;

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
};

// The time display, which changes at the screen's rate during a run. Unlike a QLabel it keeps its
// size and paints its own background, so a new text repaints its rectangle alone, from the
// glyph before the first that changed: no layout request to the form and nothing behind it
// painted first. It repaints at once, as an animation does: a repaint left to the loop would
// cost the loop another turn for each frame. Its text is placed with GlyphText. Its accessible
// name is its text.
class TimeLabel : public QWidget {
public:
    TimeLabel(const QString& text, QWidget* parent);
    const QString& text() const { return text_; }
    void setText(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The text placed in the label's font, when GlyphText can place it.
    const std::optional<GlyphText::Line>& line();

    QString text_;
    GlyphText glyphs_;
    std::optional<GlyphText::Line> line_;
    bool placed_ = false; // line_ is for the text and the font of now
};

struct ViewForm {
    QLabel* picture = nullptr;
    TimeLabel* timeLabel = nullptr;
    EventListView* list = nullptr;
    QCheckBox* skipError = nullptr;
    PortInfoEdit* portInfo = nullptr;
};

// Makes the controls as children of `view`, sized to the form, the list over `model`.
ViewForm buildViewForm(QWidget& view, QAbstractItemModel& model);

} // namespace cadentor
