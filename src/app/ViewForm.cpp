#include "app/ViewForm.h"

#include "app/EventListModel.h"
#include "app/FormTemplate.h"
#include "app/TextDecoding.h"
#include "sequence/SequenceEvent.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace cadentor {

PortInfoEdit::PortInfoEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void PortInfoEdit::setRawText(const std::string& text) {
    raw_ = text;
    QString shown = decodeLines(text);
    if (shown.endsWith(QLatin1Char('\n')))
        shown.chop(1);
    setPlainText(shown);
}

void EventListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    // A selected failed row still shows that it failed: its selection is deep red.
    if ((cell.state & QStyle::State_Selected) &&
        index.data(EventListModel::StatusRole).toInt() == static_cast<int>(EventStatus::Failed))
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            cell.palette.setColor(group, QPalette::Highlight, failedSelection);
            cell.palette.setColor(group, QPalette::HighlightedText, Qt::white);
        }
    const QWidget* widget = cell.widget;
    const QStyle* style = widget ? widget->style() : QApplication::style();
    // Where the style puts the text of an item without icon or check box: inside a margin,
    // vertically aligned as a box of the line's height.
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const QRect textRect = cell.rect.adjusted(margin, 0, -margin, 0);
    const bool plain = !(cell.features & (QStyleOptionViewItem::HasCheckIndicator |
                                          QStyleOptionViewItem::HasDecoration)) &&
                       cell.direction == Qt::LeftToRight &&
                       (cell.displayAlignment & Qt::AlignHorizontal_Mask) == Qt::AlignLeft;
    const std::optional<GlyphText::Line> line =
        plain ? glyphs_.layout(cell.font, cell.text) : std::nullopt;
    const QRect box =
        line ? QStyle::alignedRect(Qt::LeftToRight, cell.displayAlignment,
                                   QSizeF(line->width, line->ascent + line->descent).toSize(),
                                   textRect)
             : QRect();
    if (!line || line->width > textRect.width() || box.height() > textRect.height()) {
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
        return;
    }
    cell.text.clear();
    cell.features &= ~QStyleOptionViewItem::HasDisplay;
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
    QPalette::ColorGroup group = QPalette::Disabled;
    if (cell.state & QStyle::State_Enabled)
        group = cell.state & QStyle::State_Active ? QPalette::Normal : QPalette::Inactive;
    painter->setPen(cell.palette.color(
        group, cell.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawGlyphRun(QPointF(textRect.x(), box.top() + line->ascent), line->glyphs);
}

namespace {

bool opaque(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        if (!std::all_of(row, row + image.width(), [](QRgb pixel) { return qAlpha(pixel) == 255; }))
            return false;
    }
    return true;
}

} // namespace

const QImage& ScrollBarStyle::groove(const QStyleOptionSlider& bar, int ratio,
                                     const QWidget* widget) const {
    const GrooveKey key{bar.rect,
                        ratio,
                        bar.state,
                        bar.activeSubControls,
                        bar.orientation,
                        bar.direction,
                        bar.palette.cacheKey()};
    if (grooveKey_ == key)
        return groove_;
    grooveKey_ = key;
    QStyleOptionSlider only = bar;
    only.subControls = SC_ScrollBarGroove;
    groove_ = QImage(bar.rect.size() * ratio, QImage::Format_ARGB32_Premultiplied);
    groove_.setDevicePixelRatio(ratio);
    groove_.fill(Qt::transparent);
    QPainter painter(&groove_);
    painter.translate(-bar.rect.topLeft());
    QProxyStyle::drawComplexControl(CC_ScrollBar, &only, &painter, widget);
    painter.end();
    if (!opaque(groove_))
        groove_ = QImage();
    return groove_;
}

void ScrollBarStyle::markOpaque(const QWidget& bar, bool opaque) {
    if (bar.testAttribute(Qt::WA_OpaquePaintEvent) == opaque)
        return;
    auto& changed = const_cast<QWidget&>(bar);
    changed.setAttribute(Qt::WA_OpaquePaintEvent, opaque);
    // This drawing was planned as covering all, and may lie on what it covered before.
    if (!opaque)
        changed.update();
}

void ScrollBarStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                        QPainter* painter, const QWidget* widget) const {
    // Device pixels to a unit of the painter's coordinates, up and down: the screen's ratio,
    // taken when whole, so that bands begin on whole units and whole device pixels.
    const QTransform toDevice = painter->deviceTransform();
    const int ratio = static_cast<int>(toDevice.m22());
    const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
    const bool kept = control == CC_ScrollBar && bar && (bar->subControls & SC_ScrollBarGroove) &&
                      toDevice.type() <= QTransform::TxScale && ratio >= 1 &&
                      toDevice.m22() == ratio && toDevice.m11() == ratio;
    const QImage* below = kept ? &groove(*bar, ratio, widget) : nullptr;
    if (control == CC_ScrollBar && widget)
        markOpaque(*widget, below && !below->isNull());
    if (!below || below->isNull()) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    QStyleOptionSlider rest = *bar;
    rest.subControls &= ~SC_ScrollBarGroove;
    const QRect& whole = bar->rect;
    const int band = std::max(1, bandRows / ratio); // in units
    const int sliderRows =
        subControlRect(CC_ScrollBar, bar, SC_ScrollBarSlider, widget).height() * ratio;
    // The slider and the buttons go on a copy of the groove: at once, or a band at a time
    // into the part of the copy that band covers.
    QImage image = below->copy();
    const int drawnBand = sliderRows < bandRows ? whole.height() : band;
    for (int top = 0; top < whole.height(); top += drawnBand) {
        const int rows = std::min(drawnBand, whole.height() - top) * ratio;
        QImage part(image.scanLine(top * ratio), image.width(), rows, image.bytesPerLine(),
                    image.format());
        part.setDevicePixelRatio(ratio);
        QPainter partPainter(&part);
        partPainter.setRenderHints(painter->renderHints());
        partPainter.translate(-whole.left(), -whole.top() - top);
        QProxyStyle::drawComplexControl(control, &rest, &partPainter, widget);
    }
    // Put on the painter a band at a time too: under a clip that is not one rectangle, Qt
    // blends an image row by row, and shares many rows out as well.
    for (int top = 0; top < whole.height(); top += band) {
        const int rows = std::min(band, whole.height() - top);
        painter->drawImage(QRect(whole.left(), whole.top() + top, whole.width(), rows), image,
                           QRect(0, top * ratio, image.width(), rows * ratio));
    }
}

EventListView::EventListView(QWidget* parent) : QTableView(parent) {
    setItemDelegate(new EventListDelegate(this));
    auto* barStyle = new ScrollBarStyle;
    barStyle->setParent(verticalScrollBar());
    verticalScrollBar()->setStyle(barStyle);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
    setSortingEnabled(false);
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    verticalHeader()->hide();
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
}

void EventListView::setSelectionModel(QItemSelectionModel* selection) {
    QTableView::setSelectionModel(selection);
    if (!horizontalHeader()->model()) // no model left: the view is being taken apart
        return;
    QItemSelectionModel* previous = horizontalHeader()->selectionModel();
    horizontalHeader()->setSelectionModel(
        new QItemSelectionModel(horizontalHeader()->model(), horizontalHeader()));
    if (previous != selection && previous->parent() == horizontalHeader())
        delete previous;
}

QModelIndex EventListView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    const int rows = model() ? model()->rowCount(rootIndex()) : 0;
    if ((action == MoveHome || action == MoveEnd) && rows > 0)
        return model()->index(action == MoveHome ? 0 : rows - 1,
                              std::max(currentIndex().column(), 0), rootIndex());
    return QTableView::moveCursor(action, modifiers);
}

namespace {

// A screen reader reads the label's text as its name, whenever it asks: the label changes too
// often to announce each change.
class TimeLabelAccessible : public QAccessibleWidget {
public:
    explicit TimeLabelAccessible(TimeLabel* label)
        : QAccessibleWidget(label, QAccessible::StaticText) {}
    QString text(QAccessible::Text kind) const override {
        return kind == QAccessible::Name ? static_cast<const TimeLabel*>(widget())->text()
                                         : QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* timeLabelAccessible(const QString&, QObject* object) {
    auto* label = dynamic_cast<TimeLabel*>(object);
    return label ? new TimeLabelAccessible(label) : nullptr;
}

} // namespace

TimeLabel::TimeLabel(const QString& text, QWidget* parent) : QWidget(parent), text_(text) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Before anything asks for (and caches) the label's interface.
    static const bool accessible = (QAccessible::installFactory(timeLabelAccessible), true);
    (void)accessible;
    setAccessibleDescription(QStringLiteral("The sequence time"));
}

const std::optional<GlyphText::Line>& TimeLabel::line() {
    if (!placed_) {
        line_ = glyphs_.layout(font(), text_);
        placed_ = true;
    }
    return line_;
}

void TimeLabel::setText(const QString& text) {
    if (text == text_)
        return;
    qsizetype same = 0;
    while (same < text.size() && same < text_.size() && text[same] == text_[same])
        ++same;
    text_ = text;
    placed_ = false;
    // During a run only the last digits change. The glyphs before the first character that
    // changed keep their places, and the label repaints from the one before it, whose ink may
    // meet the new neighbour's; everything is drawn there, so ink reaching in from further left
    // stays.
    if (same > 1 && line()) {
        const int from = static_cast<int>(std::floor(line()->glyphs.positions()[same - 1].x()));
        repaint(QRect(from, 0, width() - from, height()));
    } else {
        repaint();
    }
}

void TimeLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        placed_ = false;
        update();
    }
    QWidget::changeEvent(event);
}

void TimeLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    painter.setPen(palette().color(QPalette::WindowText));
    if (const std::optional<GlyphText::Line>& placed = line())
        painter.drawGlyphRun(QPointF(0, placed->ascent), placed->glyphs);
    else
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text_);
}

namespace {

QWidget* makeControl(const ControlTemplate& entry, QWidget& view, QAbstractItemModel& model,
                     ViewForm& form) {
    const QString text = QString::fromUtf8(entry.text);
    switch (entry.kind) {
    case ControlKind::StaticText: {
        if (std::strcmp(entry.name, "timeLabel") == 0)
            return form.timeLabel = new TimeLabel(text, &view);
        auto* label = new QLabel(text, &view);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setTextFormat(Qt::PlainText);
        return label;
    }
    case ControlKind::PushButton: {
        auto* button = new QPushButton(text, &view);
        button->setAutoDefault(false);
        button->setDefault(false);
        return button;
    }
    case ControlKind::Picture:
        form.picture = new QLabel(&view);
        form.picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return form.picture;
    case ControlKind::Edit:
        return form.portInfo = new PortInfoEdit(&view);
    case ControlKind::ListView:
        form.list = new EventListView(&view);
        form.list->setModel(&model);
        form.list->verticalHeader()->setDefaultSectionSize(QFontMetrics(view.font()).height() + 4);
        return form.list;
    case ControlKind::CheckBox:
        return form.skipError = new QCheckBox(text, &view);
    }
    return nullptr;
}

} // namespace

ViewForm buildViewForm(QWidget& view, QAbstractItemModel& model) {
    view.setFont(formFont());
    const DialogBaseUnits base = dialogBaseUnits(view.font());
    view.resize(unitsToPixels(formUnits, base));
    ViewForm form;
    QWidget* previousTabStop = nullptr;
    for (const ControlTemplate& entry : formControls()) {
        QWidget* widget = makeControl(entry, view, model, form);
        widget->setObjectName(QString::fromUtf8(entry.name));
        widget->setGeometry(unitsToPixels(entry.units, base));
        widget->setFocusPolicy(entry.tabStop ? Qt::StrongFocus : Qt::NoFocus);
        if (entry.tabStop) {
            if (previousTabStop)
                QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        }
    }
    return form;
}

} // namespace cadentor
