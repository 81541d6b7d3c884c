#pragma once
// The event list as a virtual table: three columns (time code, port, event name) whose texts and
// row colours are asked of the EventSequence whenever the view paints a cell. A cell's tooltip
// is its text, followed on a failed row by the reason the failure kept; for a screen reader,
// a cell's accessible text is its text and its description the row's outcome ("Done",
// "Failed: reason", "Not run yet"). StatusRole gives the row's EventStatus, for the delegate.
//
// The row count is the list's item count, set by setItemCount() after every operation that
// replaces the events; a row the sequence no longer holds answers with nothing, so a repaint in
// the middle of an operation never reads a missing event.

#include "sequence/TimeCode.h"

#include <QAbstractTableModel>
#include <QColor>
#include <optional>
#include <string>

namespace cadentor {

class EventSequence;

struct RowColours {
    QColor text;
    QColor background;
};

class EventListModel : public QAbstractTableModel {
public:
    static constexpr int StatusRole = Qt::UserRole;

    explicit EventListModel(const EventSequence& sequence, QObject* parent = nullptr);

    // Sets the number of rows and makes the view ask again for every visible cell.
    void setItemCount(int count);
    int itemCount() const { return itemCount_; }
    // Repaints the rows first..last (clipped to the list).
    void refreshRows(int first, int last);

    // The text of one cell: column 0 the time code, 1 the port text, 2 the event name (bytes as
    // the files hold them); nothing for a row or column outside the list.
    std::optional<std::string> getCellText(int row, int column) const;
    // The colours of a row by its event's status; nothing for a row outside the list.
    std::optional<RowColours> getRowColours(int row) const;
    // Why the row's event failed, for its tooltip below the cell text: null unless the event
    // is Failed and kept a reason (an exec or open that did not start; see SequenceEvent).
    const std::string* getFailureReason(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    QVariant outcomeText(int row) const;

    const EventSequence& sequence_;
    int itemCount_ = 0;
};

} // namespace cadentor
