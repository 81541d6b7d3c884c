#include "app/EventListModel.h"

#include "app/TextDecoding.h"
#include "sequence/EventSequence.h"
#include "sequence/SequenceEvent.h"

#include <algorithm>

namespace cadentor {

namespace {

RowColours coloursFor(EventStatus status) {
    switch (status) {
    case EventStatus::Done:
        return {QColor(51, 51, 51), QColor(204, 204, 255)};
    case EventStatus::Failed:
        return {QColor(0, 0, 102), QColor(255, 153, 153)};
    case EventStatus::Missed:
        return {QColor(102, 102, 102), QColor(230, 230, 230)};
    case EventStatus::Pending:
        break;
    }
    return {QColor(0, 0, 0), QColor(255, 255, 255)};
}

} // namespace

EventListModel::EventListModel(const EventSequence& sequence, QObject* parent)
    : QAbstractTableModel(parent), sequence_(sequence) {}

void EventListModel::setItemCount(int count) {
    beginResetModel();
    itemCount_ = count < 0 ? 0 : count;
    endResetModel();
}

void EventListModel::refreshRows(int first, int last) {
    first = std::max(first, 0);
    last = std::min(last, itemCount_ - 1);
    if (first <= last)
        emit dataChanged(index(first, 0), index(last, 2));
}

std::optional<std::string> EventListModel::getCellText(int row, int column) const {
    if (row < 0 || row >= sequence_.count())
        return std::nullopt;
    const SequenceEvent* event = sequence_.eventAt(row);
    if (!event)
        return std::nullopt;
    switch (column) {
    case 0:
        return formatTimeCode(event->timeCode());
    case 1:
        return event->portText();
    case 2:
        return event->name();
    default:
        return std::nullopt;
    }
}

std::optional<RowColours> EventListModel::getRowColours(int row) const {
    if (row < 0 || row >= sequence_.count())
        return std::nullopt;
    const SequenceEvent* event = sequence_.eventAt(row);
    if (!event)
        return std::nullopt;
    return coloursFor(event->status());
}

const std::string* EventListModel::getFailureReason(int row) const {
    const SequenceEvent* event =
        row >= 0 && row < sequence_.count() ? sequence_.eventAt(row) : nullptr;
    if (!event || event->status() != EventStatus::Failed || event->failureReason().empty())
        return nullptr;
    return &event->failureReason();
}

int EventListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : itemCount_;
}

int EventListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 3;
}

QVariant EventListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= itemCount_)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        if (std::optional<std::string> text = getCellText(index.row(), index.column()))
            return decodeBytes(*text);
        return {};
    case Qt::ToolTipRole:
        if (std::optional<std::string> text = getCellText(index.row(), index.column())) {
            const std::string* reason = getFailureReason(index.row());
            return reason ? decodeBytes(*text) + '\n' + decodeBytes(*reason) : decodeBytes(*text);
        }
        return {};
    case Qt::ForegroundRole:
        if (std::optional<RowColours> colours = getRowColours(index.row()))
            return colours->text;
        return {};
    case Qt::BackgroundRole:
        if (std::optional<RowColours> colours = getRowColours(index.row()))
            return colours->background;
        return {};
    case Qt::AccessibleDescriptionRole:
        return outcomeText(index.row());
    case StatusRole:
        if (const SequenceEvent* event = sequence_.eventAt(index.row()))
            return static_cast<int>(event->status());
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}

QVariant EventListModel::outcomeText(int row) const {
    const SequenceEvent* event = row < sequence_.count() ? sequence_.eventAt(row) : nullptr;
    if (!event)
        return {};
    switch (event->status()) {
    case EventStatus::Done:
        return QStringLiteral("Done");
    case EventStatus::Failed:
        if (const std::string* reason = getFailureReason(row))
            return QStringLiteral("Failed: ") + decodeBytes(*reason);
        return QStringLiteral("Failed");
    case EventStatus::Missed:
        return QStringLiteral("Missed");
    case EventStatus::Pending:
        break;
    }
    return QStringLiteral("Not run yet");
}

QVariant EventListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    if (role != Qt::DisplayRole)
        return {};
    switch (section) {
    case 0:
        return QStringLiteral("Time Code");
    case 1:
        return QStringLiteral("Port");
    case 2:
        return QStringLiteral("Event");
    default:
        return {};
    }
}

Qt::ItemFlags EventListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

} // namespace cadentor
