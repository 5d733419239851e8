#include "RowList.h"

#include <QFrame>
#include <QVBoxLayout>

RowList::RowList(QWidget *parent) : QScrollArea(parent) {
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *rows = new QWidget(this);
    m_layout = new QVBoxLayout(rows);
    m_layout->setContentsMargins(4, 0, 4, 0);
    m_layout->setSpacing(0);
    setWidget(rows);
    viewport()->setAutoFillBackground(false);
    rows->setAutoFillBackground(false);
}

void RowList::setRows(const QList<QWidget *> &rows) {
    while (QLayoutItem *item = m_layout->takeAt(0)) {
        if (item->widget() && item->widget()->objectName() == QLatin1String("rowDivider"))
            item->widget()->deleteLater();
        delete item;
    }
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (i > 0) {
            auto *divider = new QFrame(widget());
            divider->setObjectName(QStringLiteral("rowDivider"));
            divider->setFrameShape(QFrame::HLine);
            divider->setFrameShadow(QFrame::Plain);
            divider->setForegroundRole(QPalette::Midlight);
            m_layout->addWidget(divider);
        }
        m_layout->addWidget(rows[i]);
    }
    m_layout->addStretch(1);
}
