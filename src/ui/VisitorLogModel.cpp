#include "VisitorLogModel.h"

#include "model/Export.h"

#include <QGuiApplication>
#include <QPalette>

VisitorLogModel::VisitorLogModel(Clock clock, QObject *parent)
    : QAbstractTableModel(parent), m_clock(std::move(clock)),
      m_accent(QGuiApplication::palette().color(QPalette::Highlight)) {}

QString VisitorLogModel::dateText(const QDateTime &moment, const Clock &clock) {
    return reportDateText(moment, clock);
}

VisitorLogModel::Dates VisitorLogModel::datesOf(const VisitorRow &row) const {
    Dates dates{dateText(row.signedInAt, m_clock), std::nullopt};
    if (row.signedOutAt)
        dates.signedOut = dateText(*row.signedOutAt, m_clock);
    return dates;
}

void VisitorLogModel::setRows(QList<VisitorRow> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    m_dates.clear();
    m_dates.reserve(m_rows.size());
    for (const VisitorRow &row : std::as_const(m_rows))
        m_dates.append(datesOf(row));
    endResetModel();
}

void VisitorLogModel::appendRows(const QList<VisitorRow> &rows) {
    if (rows.isEmpty())
        return;
    beginInsertRows({}, int(m_rows.size()), int(m_rows.size() + rows.size() - 1));
    for (const VisitorRow &row : rows) {
        m_rows.append(row);
        m_dates.append(datesOf(row));
    }
    endInsertRows();
}

int VisitorLogModel::indexOf(const QUuid &id) const {
    for (qsizetype i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].id == id)
            return int(i);
    return -1;
}

int VisitorLogModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int VisitorLogModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : columnCount_;
}

QVariant VisitorLogModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const VisitorRow &row = m_rows[index.row()];
    const Dates &dates = m_dates[index.row()];
    const QString dash = QStringLiteral("\u2014");
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (Column(index.column())) {
        case name:
            return row.visitorName;
        case visiting:
            return row.hostName.value_or(dash);
        case signedIn:
            return dates.signedIn;
        case signedOut:
            return dates.signedOut.value_or(QStringLiteral("On site"));
        case device:
            return row.deviceName.value_or(dash);
        case columnCount_:
            break;
        }
    }
    if (role == Qt::ForegroundRole && index.column() == signedOut && !dates.signedOut)
        return m_accent;
    return {};
}

QVariant VisitorLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (Column(section)) {
    case name:
        return QStringLiteral("Name");
    case visiting:
        return QStringLiteral("Visiting");
    case signedIn:
        return QStringLiteral("Signed In");
    case signedOut:
        return QStringLiteral("Signed Out");
    case device:
        return QStringLiteral("Device");
    case columnCount_:
        break;
    }
    return {};
}
