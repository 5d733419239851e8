#pragma once

#include <QList>
#include <QScrollArea>

class QVBoxLayout;

// A vertical scrolling list of row widgets with a divider between each two. The rows
// are the caller's: it creates them with rowParent() and deletes those it drops.
class RowList : public QScrollArea {
    Q_OBJECT
public:
    explicit RowList(QWidget *parent = nullptr);
    QWidget *rowParent() const { return widget(); }
    // Shows exactly these rows, in this order.
    void setRows(const QList<QWidget *> &rows);

private:
    QVBoxLayout *m_layout;
};
