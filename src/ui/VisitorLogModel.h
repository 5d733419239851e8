#pragma once

#include "records/Records.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QList>
#include <optional>

// The visitor log's rows for a table: Name, Visiting, Signed In, Signed Out, Device.
// Dates are formatted once when rows arrive, not on every paint.
class VisitorLogModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { name, visiting, signedIn, signedOut, device, columnCount_ };

    explicit VisitorLogModel(Clock clock = {}, QObject *parent = nullptr);

    const QList<VisitorRow> &rows() const { return m_rows; }
    // Replaces every row (a reload from the first page).
    void setRows(QList<VisitorRow> rows);
    // Adds a further page at the end.
    void appendRows(const QList<VisitorRow> &rows);
    // The row index of the record with this id, or -1.
    int indexOf(const QUuid &id) const;
    // "On site" is drawn in this colour; the application's highlight colour by default.
    void setAccent(const QColor &colour) { m_accent = colour; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The log's date style: abbreviated date and short time in the clock's locale.
    static QString dateText(const QDateTime &moment, const Clock &clock);

private:
    struct Dates {
        QString signedIn;
        std::optional<QString> signedOut;
    };
    Dates datesOf(const VisitorRow &row) const;

    Clock m_clock;
    QList<VisitorRow> m_rows;
    QList<Dates> m_dates;
    QColor m_accent;
};
