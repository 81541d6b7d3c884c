#pragma once
// The widgets of the main form, made from the form template: every control at its rectangle in
// the form font's dialog units, named as in the template, in Tab order. The push buttons are
// made but not connected; the view binds them by name.

#include "app/GlyphText.h"

#include <QPlainTextEdit>
#include <QStyledItemDelegate>
#include <QTableView>
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

// Paints the list's cells as the style does, placing a text that fits its cell with GlyphText.
class EventListDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    mutable GlyphText glyphs_;
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
// size and paints its own background, so a new text repaints its rectangle alone: no layout
// request to the form and nothing behind it painted first. Its text is placed with GlyphText.
class TimeLabel : public QWidget {
public:
    TimeLabel(const QString& text, QWidget* parent);
    const QString& text() const { return text_; }
    void setText(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    GlyphText glyphs_;
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
